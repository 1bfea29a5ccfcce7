#pragma once
// What one upgrade tells the program that runs it (a shelf; later a bench
// that upgrades instrument after instrument): a structured report, one JSON
// object per line on the member's standard output, while the person's own
// lines go to its standard error. Every object names its "event"; a reader
// passes over events and fields it does not know. For one upgrade, in order:
//
//   {"event":"image","version":"2.00","date":"...","file":"/img/zra.bin","sha256":"..."}
//   {"event":"stage","stage":"connecting"}    every stage: connecting, online,
//                                              choosing-image, uploading, ending,
//                                              handing-back, waiting
//   {"event":"way","way":"serial","port":"/dev/ttyUSB0","dock_address":"","dock_kind":""}
//                                              also "infrared", "dock-network", "dock-usb"
//   {"event":"version","instrument_type":"KT4 head","version":"1.10"}
//                                              the instrument, before the upgrade
//   {"event":"page","done":64,"total":446,"resends":0}
//   {"event":"box","kind":"Error","text":"..."}   a message box the operator would
//                                              have seen (never a failure's source)
//   {"event":"error","code":108,"text":"..."}  a failure, with its code
//                                              (platform/ErrorEvent.h, upgrade/UpgradeSession.h)
//   {"event":"end","outcome":"failed","status":4,"message":"...","pages_sent":85,"resends":0,
//    "record":{...}}                           the last line: the outcome as the
//                                              history names it, the exit status,
//                                              the attempt's row (history/AttemptRows.h)
//
// Watching (--watch), the stages and pages of one instrument after another;
// each instrument's end is
//   {"event":"attempt","record":{...}}         its row
// a dock that failed three in a row says
//   {"event":"parked","text":"..."}
// and "end" comes once, when the member stops.
//
// Texts are JSON strings: a line break or a control character in one is
// escaped and cannot start a false line.

#include "platform/Dialogs.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <functional>

namespace FlashReport {

inline constexpr char Image[] = "image";
inline constexpr char Stage[] = "stage";
inline constexpr char Way[] = "way";
inline constexpr char Version[] = "version";
inline constexpr char Page[] = "page";
inline constexpr char Box[] = "box";
inline constexpr char Error[] = "error";
inline constexpr char End[] = "end";
inline constexpr char Attempt[] = "attempt";  // watching: one instrument ended ("record": its row)
inline constexpr char Parked[] = "parked";    // watching: failures in a row, no more instruments taken

// A reader takes lines up to this long; a longer one is dropped whole.
inline constexpr qsizetype MaxLine = 16 * 1024;

// One line, without its line break: the event's name first, then Fields.
QByteArray Line(const char* Event, const QJsonObject& Fields);

// A line's event name, and its fields as one compact JSON text; false for a
// line that holds no event (an object with an "event" text).
bool Parse(const QByteArray& Line, QString* Event, QString* Fields);

// The report as it arrives, in pieces of any size: the event of each line
// completed, in order. A line longer than MaxLine is dropped up to its line
// break, and so is one that holds no event.
class TReader {
public:
    QList<QJsonObject> Add(const QByteArray& Bytes);

private:
    QByteArray FPending;     // the line begun
    bool FTooLong = false;   // the line begun passed MaxLine: dropped up to its break
};

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
