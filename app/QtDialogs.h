#pragma once
// The Qt back end of the dialog service: modal windows with a nested event loop,
// so timers keep running underneath them.

#include "platform/Dialogs.h"

class TQtDialogs : public TDialogService {
public:
    TModalResult MessageDlg(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons) override;
    std::optional<QString> OpenFile(const QString& Filter) override;
    int SelectComPort(const QList<int>& Available) override;
};

// "Binary File|*.bin" in the file dialog's own notation: "Binary File (*.bin)".
QString QtFileFilter(const QString& Filter);
