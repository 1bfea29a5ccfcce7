#pragma once
// A shelf of instruments upgraded at once: kt4-flash runs itself once per
// instrument (a member), each in its own process, so that one instrument's
// failure, hang or crash can neither stop nor disturb another's upgrade. The
// shelf shows one progress line per instrument and a summary table at the end,
// and ends with status 0 only when every member did (its program command was
// acknowledged).
//
// An entry says how a member reaches its instrument: a serial port or a
// docking station, each with its own member arguments and resource key.
//
// A member tells the shelf what happens through its report (app/FlashReport.h),
// never through the text meant for people: its failures are its "error"
// events, its end the "end" event and its exit status.

#include "app/FlashReport.h"
#include "app/SessionReport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <vector>

struct TShelfEntry {
    QString Label;          // how the rows name the instrument (the port as given)
    QString Resource;       // what no two entries may share (the device itself)
    QStringList Arguments;  // the member's arguments that reach the instrument
};

// A serial port as given on the command line (Port) and the device it names.
TShelfEntry PortEntry(const QString& Port, const QString& Device);
// A docking station: its network address, or "usb" for the one on the USB bus.
TShelfEntry DockEntry(const QString& Dock);

// Two entries that would reach the same instrument (one device under two
// names): a text naming them, or empty when every entry stands alone.
QString SharedResource(const QList<TShelfEntry>& Entries);

struct TShelfOptions {
    QString Program;             // kt4-flash itself
    QString Image;
    QList<TShelfEntry> Entries;
    QStringList MemberOptions;   // passed to every member (time-outs)
    QString TraceFile;           // each member traces into its own file named after it
    bool Identify = false;       // each member only identifies its instrument (Image may be empty)
    bool Watch = false;          // each member takes instrument after instrument until a signal
    bool Json = false;           // identifying: each instrument's object on a line, nothing else
    QString ReportFile;          // one row per instrument as it ends (app/SessionReport.h)
};

// The trace file of one member: Base with the entry's label worked into its
// name ("trace.txt" and "/dev/ttyUSB0" give "trace-ttyUSB0.txt").
QString MemberTraceFile(const QString& Base, const QString& Label);

// What a member has reported so far: the facts of its row and of the summary.
struct TMemberReport {
    QString OldVersion, ImageVersion;
    int Done = 0, Total = 0;
    QString FirstError;           // the first failure told: the cause its row shows
    QString EndMessage;           // the message it ended with: the cause when no failure was told
    QStringList HistoryProblems;  // not its failure (the upgrade went on): told once for the shelf
    QString Outcome;              // as the history names it, from the end event
    QJsonObject Record;           // the attempt's row, from the end event
    // watching: one instrument after another
    QString Stage;                // the member's last stage
    int Upgraded = 0, Current = 0, Failed = 0;
    QString LastResult;           // the last instrument's outcome, as the history names it
    bool Parked = false;
    QList<QJsonObject> Rows;      // instruments ended and not yet written to the report

    // How much an event changes the member's row.
    enum TChange { NoChange, Progress, Milestone };
    // Takes one event of the report; one it does not know changes nothing.
    TChange Take(const QJsonObject& Event);
};

class TShelf : public QObject {
public:
    TShelf(const TShelfOptions& Options, FILE* Out);
    ~TShelf() override;

    // The report file could be opened (told on standard error when not).
    bool ReportOk() const;
    // Runs every member to its end; the shelf's exit status.
    int Run();
    // A signal the shelf caught, passed to every member started and not yet
    // ended (each in its own process group, so that a terminal's Ctrl-C
    // reaches a member once, through the shelf): each stops as Stop does. A
    // member whose shelf is gone stops as after SIGHUP.
    void Forward(int Signal);

private:
    struct TMember {
        TShelfEntry Entry;
        QProcess* Process = nullptr;
        FlashReport::TReader Reader;
        TMemberReport Report;
        QElapsedTimer Clock;
        qint64 Milliseconds = 0;
        bool Ended = false;
        int Status = -1;            // the member's exit status; -1 when it did not exit by itself
        int Signal = 0;
    };

    void Start(TMember& Member);
    void ReadReport(TMember& Member);
    void MemberEnded(TMember& Member);
    QString ProgressLine(const TMember& Member) const;
    QString WatchLine(const TMember& Member) const;
    void PrintWatchSummary();
    QString ResultText(const TMember& Member) const;
    void Changed(TMember& Member, bool Milestone);
    void Redraw();
    void PrintSummary();
    void PrintHistoryProblems();
    int ShelfStatus() const;
    QJsonObject MemberRow(const TMember& Member) const;
    void WriteRow(const QJsonObject& Row);
    bool Upgraded(const TMember& Member) const;

    TShelfOptions FOptions;
    FILE* FOut;
    bool FTty;
    std::vector<std::unique_ptr<TMember>> FMembers;
    QEventLoop FLoop;
    QTimer FRedraw;
    bool FDrawn = false;
    QElapsedTimer FClock;
    std::unique_ptr<TSessionReport> FReport;
};
