#include "platform/ErrorDisplay.h"

void ShowException(const QString& Text)
{
    Dialogs().MessageDlg(Text, mtError, mbOK);
}
