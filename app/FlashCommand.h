#pragma once
// The upgrade without a window: the upgrade session with the operator's
// questions asked on the terminal (or answered by --yes), a live progress
// line and the result on standard output, errors and warnings on standard
// error, the exit status from the outcome, and the trace for support: a
// header with the way used and the options given, every text, a note for
// each time-out, page sent again, refusal, answer and signal, and the exit
// status last.

#include "app/SessionReport.h"
#include "app/SignalWatch.h"
#include "link/TraceLog.h"
#include "platform/Dialogs.h"
#include "upgrade/UpgradeSession.h"

#include <QEventLoop>
#include <QJsonObject>
#include <QObject>
#include <cstdio>
#include <memory>

struct TFlashOptions {
    QString Image;
    QString Port;               // a serial device to use instead of the link's own choice
    int ConnectTimeOutSeconds = 60;
    int AnswerTimeOutMs = 0;    // replaces the instrument's time-outs (0: its own 5 to 30 s)
    QString TraceFile;          // every text sent and received, with its time (empty: none)
    QString Dock;               // through a dock: its network address, or "usb" for the first on the USB bus
    QString DockKind = "kelo6"; // "kelo6", "express" or "mp-express"
    FILE* Report = nullptr;     // a shelf member's report, one JSON event a line (app/FlashReport.h), or none
    bool NoHistory = false;
    bool AssumeYes = false;     // --yes: the questions answered OK or Yes
    bool Identify = false;      // only who the instrument is (Image, when given, compared with it)
    bool Json = false;          // identifying: the instrument as one JSON object on standard output
    bool SkipCurrent = false;   // an instrument at the image's version is left alone
    QString ExpectSha256;       // the image must have this SHA-256 (lower-case hex)
    QString ReportFile;         // the attempt's row written there (CSV or JSON lines by its name)
    bool Watch = false;         // instrument after instrument until a signal (a bench's member)
    int VerifyTimeOutSeconds = 0;  // the restarted instrument must report the image's version within this (0: not checked)
    QStringList Arguments;      // the command line as given, for the trace
};

// Exit statuses of the command.
enum TFlashStatus {
    fsCompleted = 0,
    fsCancelled = 1,
    fsImageRefused = 2,
    fsNotConnected = 3,
    fsFailed = 4,
    fsTraceIncomplete = 5,  // upgraded as with 0, but the trace could not be written whole
    fsSignalled = 128,      // plus the signal's number: 129 SIGHUP, 130 SIGINT, 143 SIGTERM
};

class TFlashCommand : public QObject, private TUpgradeOperator {
public:
    explicit TFlashCommand(const TFlashOptions& Options, FILE* Out = stdout);
    ~TFlashCommand() override;

    // Runs the whole upgrade; the exit status.
    int Run();

    // A message box was shown (the dialog service tells): noted in the trace
    // and the report.
    void BoxShown(TMsgDlgType Type, const QString& Text);
    // A question was answered (the console tells how): noted in the trace.
    void AnswerGiven(const QString& Button, const QString& How);

    TUpgradeSession* Session() const { return FSession; }

private:
    // the operator's decisions
    bool ConfirmErase() override;
    void AskToPlace(bool InDock) override;
    std::optional<QString> ChooseImage() override;
    bool ConfirmVersion(const QString& Version) override;
    bool ConfirmOlderImage() override;
    int ChoosePort() override;

    // what the session tells
    void StageChanged(TUpgradeStage Stage);
    void Progress(int Done, int Total, int Address);
    void Error(const TErrorInfo& Error);
    void Finished(TUpgradeOutcome Outcome, const QString& Message);

    int Upgrade();
    bool LoadImage();

    // watching (app/FlashWatch.cpp)
    int Watch();
    void NextInstrument();
    void WatchFinished(TUpgradeOutcome Outcome, const QString& Message);
    void CountAttempt(TUpgradeOutcome Outcome, const QString& Message);
    void ShowOnDock(const QByteArray& First, const QByteArray& Second);
    void Park();
    void AwaitRemoval();
    void InstrumentRemoved();
    void ProbeForQuiet();
    void StartProbe();
    void ProbeFinished(TUpgradeOutcome Outcome);
    void Print(const QString& Line);  // control characters from outside shown escaped
    void EndProgressLine();           // a terminal's progress line ends before another line
    bool OpenTrace();
    void TraceHeader();
    void TraceFailed(const QString& Cause);
    void Note(const QString& Text);
    void Report(const char* Event, const QJsonObject& Fields);
    void ReportWay();
    void ReportEnd(int Status, int Outcome);
    // The attempt as it ended (a row even when no attempt was begun).
    TUpgradeAttempt EndedAttempt(int UpgradeStatus) const;
    bool WriteSessionReport(const TUpgradeAttempt& Attempt);
    // SIGINT, SIGTERM: the upgrade is stopped as Stop does, the dock handed
    // back through the session's end; a second one ends at once.
    void Signalled(int Signal);
    void NoteSignal(int Signal);

    TFlashOptions FOptions;
    FILE* FOut;
    bool FTty;
    TUpgradeSession* FSession;
    QEventLoop FLoop;
    std::unique_ptr<TTraceFile> FTrace;
    TSignalWatch* FSignals = nullptr;
    bool FImageOffered = false;
    bool FProgressShown = false;
    bool FStarted = false;         // the session's Start has been called
    int FSignal = 0;               // the first signal that stopped the upgrade
    int FStatus = fsFailed;
    QString FEndMessage;           // the message the upgrade ended with
    TUpgradeSettings FSettings;    // the session's, as the options give them
    std::unique_ptr<TSessionReport> FReport;
    // watching
    bool FRemoved = false;         // the dock said the instrument was taken out
    bool FProbing = false;         // a port is asked whether its instrument is still there
    bool FParked = false;
    int FFailuresInARow = 0;
    int FUpgraded = 0, FCurrent = 0, FFailed = 0;
};

// The exit status of an outcome.
int StatusOf(TUpgradeOutcome Outcome);
