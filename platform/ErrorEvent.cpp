#include "platform/ErrorEvent.h"

#include "platform/Dialogs.h"

void RaiseError(const TErrorEvent& Event, QObject* Sender, int Code, const QString& Text)
{
    if (Event) {
        Event(Sender, TErrorInfo{Code, Text});
        return;
    }
    Dialogs().ShowMessage(Text);
}
