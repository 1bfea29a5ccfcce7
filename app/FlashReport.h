#pragma once
// What one upgrade tells the program that runs it as part of a shelf: a line
// per fact on its standard output, "<key> <value>", while the person's own
// lines go to its standard error.
//
//   image 2.00          the image's version
//   version 1.10        the instrument's version before the upgrade
//   page 64 446         pages acknowledged of all
//   box Error <text>    a message box the operator would have seen
//   error 204 <text>    a failure, with its code (platform/ErrorEvent.h)
//
// The upgrade's end is its exit status (TFlashStatus).

#include "platform/Dialogs.h"

#include <QByteArray>
#include <QString>
#include <functional>

namespace FlashReport {

inline constexpr char Image[] = "image";
inline constexpr char Version[] = "version";
inline constexpr char Page[] = "page";
inline constexpr char Box[] = "box";
inline constexpr char Error[] = "error";

// One line, without its line break; the value's control characters escaped,
// so that a line break in it cannot start a false line.
QByteArray Line(const char* Key, const QString& Value);

// Splits a line into key and value; false for a line that is none.
bool Parse(const QByteArray& Line, QString* Key, QString* Value);

// The caption of a box kind in a "box" line ("Error", "Information", ...).
QString KindName(TMsgDlgType Type);

}  // namespace FlashReport

// A dialog service that lets another back end answer and tells an observer
// every message box shown (the trace file, the shelf's report).
class TObservedDialogs : public TDialogService {
public:
    using TObserver = std::function<void(TMsgDlgType Type, const QString& Text)>;
    TObservedDialogs(std::unique_ptr<TDialogService> Inner, TObserver Observer)
        : FInner(std::move(Inner)), FObserver(std::move(Observer))
    {
    }

    TModalResult MessageDlg(const QString& Msg, TMsgDlgType Type, TMsgDlgButtons Buttons) override
    {
        FObserver(Type, Msg);
        return FInner->MessageDlg(Msg, Type, Buttons);
    }
    std::optional<QString> OpenFile(const QString& Filter) override { return FInner->OpenFile(Filter); }
    int SelectComPort(const QList<int>& Available) override { return FInner->SelectComPort(Available); }

private:
    std::unique_ptr<TDialogService> FInner;
    TObserver FObserver;
};
