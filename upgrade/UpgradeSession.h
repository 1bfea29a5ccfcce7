#pragma once
// One upgrade, from Start to its end, for the window and the command line
// alike: the session owns the link, the head model and the optional dock (of
// any kind, on the network or the USB bus), runs the road (connect,
// handshake, version question, image, upload, program command, hand-back,
// end), tells its stage through one value with a change event, asks its
// operator for every decision and reports progress, errors and the outcome.
// The window and kt4-flash only draw, ask and print.
//
// Nothing here waits on the event loop: each step follows an answer, a
// timer or the operator's reply. The operator's questions may open modal
// boxes (the window's run their own loop): after each one the road goes on
// only if nothing moved it on meanwhile.

#include "dock/KeloDock.h"
#include "history/HistoryRecorder.h"
#include "head/KT4Head.h"
#include "link/KeskLink.h"
#include "platform/ErrorEvent.h"
#include "platform/Events.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <memory>
#include <optional>

class TUSBDevice;
class TUSBDockDevice;

enum class TUpgradeStage {
    Waiting,        // no upgrade under way
    Connecting,     // the instrument is asked for (through the dock when there is one)
    Online,         // the handshake brought it online; the image follows a moment later
    ChoosingImage,  // the operator picks and confirms the image
    Uploading,      // pages, then the program command
    Verifying,      // the restarted instrument is asked for again and its version compared
    Ending,         // the instrument is let go of
    HandingBack,    // the dock is given back to its own control
};

// Skipped: already at the image's version, nothing written; Identified: asked
// who it is and let go of, nothing written.
enum class TUpgradeOutcome { Completed, Skipped, Identified, Cancelled, ImageRefused, NotConnected, Failed };

// An outcome that is neither an upgrade nor a decision to write nothing.
inline bool Failure(TUpgradeOutcome Outcome)
{
    return Outcome != TUpgradeOutcome::Completed && Outcome != TUpgradeOutcome::Skipped
           && Outcome != TUpgradeOutcome::Identified;
}

// The session's own error codes (the components' are in platform/ErrorEvent.h).
enum TSessionErrorCode {
    ecSessionImageRefused = 500,
    ecSessionProgramFailed,
    ecSessionNoAnswer,       // the instrument did not answer in the connect time-out
    ecSessionDockUnavailable,
    ecSessionHandBackFailed,
    ecSessionHistory,        // the upgrade history could not be written (the upgrade goes on)
};

// The decisions the operator takes. The window asks in its boxes, the
// command line on the terminal (or answers from its options).
class TUpgradeOperator {
public:
    virtual ~TUpgradeOperator() = default;
    // "This operation will erase the Datalogger data. ...": true to go on.
    virtual bool ConfirmErase() = 0;
    // The prompt to place the instrument (in the dock, or before the port).
    virtual void AskToPlace(bool InDock) = 0;
    // The image to upload; nothing when the operator gives up.
    virtual std::optional<QString> ChooseImage() = 0;
    // "Upgrade To Version ...": true for Yes.
    virtual bool ConfirmVersion(const QString& Version) = 0;
    // The older-image question: true for Yes.
    virtual bool ConfirmOlderImage() = 0;
    // The infrared driver's COM port, when none is set: its number, 0 for none
    // (the connect then fails with "No serial port selected").
    virtual int ChoosePort() = 0;
};

struct TUpgradeSettings {
    int ConnectTimeOutMs = 0;     // the instrument must come online in this time (0: no limit)
    int AnswerTimeOutMs = 0;      // replaces the instrument's answer time-outs (0: its own)
    bool HandBackAtEnd = true;    // the dock is handed back when the upgrade ends (else only by HandBack())
    QString Port;                 // a serial device instead of the link's own choice
    QString DockAddress;          // a network dock's address
    QString DockKind = "kelo6";   // "kelo6", "express" or "mp-express"
    bool UsbDock = false;         // the dock on the USB bus
    bool Identify = false;        // only who the instrument is: no warning, nothing written
    QString Image;                // identifying: the image it is compared with (may be empty)
    bool SkipCurrent = false;     // an instrument already at the image's version is left alone
    QString ExpectSha256;         // the image's bytes must have this SHA-256 (lower-case hex; empty: any)
    bool ChecksumBesideImage = false;  // without ExpectSha256: the one in IMAGE.sha256, when there is one
    bool Verify = false;          // the upgrade counts only once the restarted instrument reports the image's version
    int VerifyTimeOutMs = 60000;  // how long the restart is waited for
    bool RecordFromOnline = false;  // an attempt begins when an instrument answers (a bench waiting for one)
    QString HistoryFile = TUpgradeHistory::DefaultPath();  // each attempt recorded there (empty: nowhere)
};

using TStageEvent = TEvent<QObject*, TUpgradeStage>;
// Sender, pages done, pages in all, the image address of the next page.
using TPageProgressEvent = TEvent<QObject*, int, int, int>;
// Sender, outcome, the message the operator is shown.
using TUpgradeEndEvent = TEvent<QObject*, TUpgradeOutcome, const QString&>;

class TUpgradeSession : public QObject {
public:
    static constexpr int FirstPage = 66;
    static constexpr int DeferMs = 100;            // reactions to the head's events follow this much later
    static constexpr int PumpDelayMs = 1000;       // the dock's pump is switched off after the instrument came online
    static constexpr int DockProgressMs = 100;     // the dock's display shows the count at most this often
    static constexpr int EndBoundMs = 9000;        // the instrument is let go of within this, whatever the dock does
    static constexpr int HandBackBoundMs = 5000;   // the hand-back is waited for at most this long
    static constexpr int HandBackStepMs = 1000;    // and each of its four commands at most this long
    static constexpr int PagesPerRecord = 64;      // the history learns the pages sent this often
    static constexpr int RestartPauseMs = 500;     // verifying: the restarting instrument is asked for after this

    explicit TUpgradeSession(TUpgradeOperator& Operator, QObject* Owner = nullptr);
    ~TUpgradeSession() override;

    // ---- what the session owns ----
    TKeskLink* Link() const { return FLink; }
    TKT4Head* Head() const { return FHead; }
    TKeloDock* Dock() const { return FDock; }

    // The dock to go through, made here for the window and the command line
    // alike from the settings: of their kind, on the USB bus (the device
    // chosen before while it is still there, else the first of the kind's
    // family) or at their address. The dock made before is kept when it is
    // of the same kind, enabled or not, and aimed anew; a dock of another kind
    // replaces it. False with the reason told as an error when no dock of
    // the family is on the bus.
    bool MakeDock(const TUpgradeSettings& Settings);
    // The link goes through no dock. The dock made stays the session's, as
    // it is: Shutdown hands it back when it is still enabled.
    void LeaveDock();
    // The docks of a kind ("kelo6", "express", "mp-express") on the USB bus
    // now, by device path.
    QStringList UsbDocks(const QString& Kind);
    void SetSettings(const TUpgradeSettings& Settings) { FSettings = Settings; }
    const TUpgradeSettings& Settings() const { return FSettings; }

    // ---- the road ----
    // Start: the erase warning, the dock prepared, the prompt, then the
    // instrument asked for. A second Start while connecting starts again.
    // False when the operator answered the warning with Cancel.
    bool Start();
    // Stop: the upload is given up and the instrument let go of.
    void Stop();
    // The dock goes back to its own control: pump off (the Kelo6 dock), "MST",
    // then its first two display lines blanked, each queued behind what is
    // already queued, which is bounded to HandBackStepMs first; Done once the
    // last has ended or HandBackBoundMs passed (at once without an enabled dock). A
    // refusal or no answer is told as an error and changes no outcome.
    void HandBack(std::function<void()> Done);
    // The program is closing: whatever is under way is given up without any
    // more events, the instrument let go of and the dock handed back; Done
    // once that has ended (within HandBackBoundMs).
    void Shutdown(std::function<void()> Done);
    // The program is ending: the history's records still on their way are
    // written, within THistoryRecorder::FlushBoundMs; a record that another
    // program's lock keeps out that long is told as lost. Done follows from
    // the event loop.
    void FlushHistory(std::function<void()> Done);

    // The file choice of the road on its own (a "Load File" button): true
    // when an image was accepted.
    bool OfferImageChoice() { return ChooseImage(FTurn); }

    TUpgradeStage Stage() const { return FStage; }
    bool Busy() const { return FStage != TUpgradeStage::Waiting; }
    QByteArray FlashVersion() const { return FHead->FlashVersion(); }
    QString ImageFile() const { return FImageFile; }
    int PagesDone() const { return FPagesDone; }
    int Resends() const { return FResends; }
    bool ProgramAcknowledged() const { return FProgramAcknowledged; }
    // Enquiries went out and nothing answered them within the connect
    // time-out (not a port that could not be opened, nor one never asked).
    bool NothingAnswered() const { return FSilent; }
    TUpgradeOutcome Outcome() const { return FOutcome; }
    // The attempt as it stands (the history's row, whether or not a history is kept).
    const TUpgradeAttempt& Attempt() const { return FAttempt; }
    // "The dock at ADDRESS" or "The dock on the USB bus".
    QString DockName() const;
    qint64 UploadMs() const { return FUploadClock.isValid() ? FUploadClock.elapsed() : 0; }

    // ---- events ----
    TStageEvent OnStageChanged;
    TNotifyEvent OnImageAccepted;        // FileVersion()/FileDate() of the head hold the image's
    TPageProgressEvent OnProgress;
    TErrorEvent OnError;                 // every failure to tell, the components' included
    TUpgradeEndEvent OnFinished;         // the upgrade's end, once per Start that got past the warning
    // For a support trace: the head's time-outs and pages sent again, the
    // connect time-out, a Stop. Nothing else hangs on it.
    TEvent<QObject*, const QString&> OnNote;

private:
    void SetStage(TUpgradeStage Stage);
    int NextTurn() { return ++FTurn; }
    bool StillAt(int Turn) const { return Turn == FTurn; }
    void Tell(int Code, const QString& Text);
    void WireComponents();
    void SetLinkWay();
    void ChoosePort();

    // dock
    void AttachDock(TKeloDock* Dock);
    TUSBDockDevice* UsbDockDevice();
    bool ChooseUsbDock(TKeloDock* Dock);
    void PrepareDock();
    void DockUnavailable();
    void StopPump();
    void ShowDockProgress(bool Last = false);
    void ForgetDock();

    // road
    void ConnectTimedOut();
    void InstrumentOnline(bool Status);
    void BeginFlashing();
    void Identify();
    bool AlreadyCurrent() const;
    QString ExpectedSha256(const QString& ImageFile) const;
    void LeaveAlone(const QString& Message);
    bool ChooseImage(int Turn);
    void Progress(int Position, int Total);
    void ProgramSent(int Error);
    void AwaitRestart();
    void Verified();
    void LetInstrumentGo();
    void InstrumentOffline();
    void Finish();
    TUpgradeOutcome EndOutcome(QString* Message) const;
    // the upgrade history: a row when the attempt starts, filled in on the way, completed at its end
    void RecordStart();
    void OpenHistory();
    void RecordOnline();
    void RecordOnTheWay();
    void RecordEnd(TUpgradeOutcome Outcome, const QString& Message);
    void TellHistoryProblem(int Attempt, const QString& Text);
    void HistoryFlushed();

    TUpgradeOperator& FOperator;
    TUpgradeSettings FSettings;
    TKeskLink* FLink;
    TKT4Head* FHead;
    TKeloDock* FDock = nullptr;      // the dock the link goes through (null: none)
    TKeloDock* FMadeDock = nullptr;  // the dock made, owned (it may be left aside)
    TUSBDevice* FUsbDevice = nullptr;
    std::unique_ptr<TUSBDockDevice> FUsbDockDevice;

    TUpgradeStage FStage = TUpgradeStage::Waiting;
    int FTurn = 0;                 // moves on with every step: a box answered late finds it moved
    QTimer FConnectTimer;
    QTimer FEndTimer;              // bounds letting the instrument go
    QTimer FDockProgressTimer;
    bool FPumpStopped = false;
    bool FDockProgressQueued = false;
    bool FOnlineSeen = false;
    bool FSilent = false;          // the connect time-out passed with the way open
    bool FUploadStarted = false;   // this Start's one upload has begun
    bool FProgramAcknowledged = false;
    bool FImageRefused = false;
    bool FCancelled = false;
    bool FLeftAlone = false;       // identified, or already current: nothing is written
    bool FImageChecked = false;    // an image was loaded to compare, not to send
    bool FConfirmed = false;       // verifying: the restarted instrument reports the image's version
    QString FVersionAfter;         // verifying: what the restarted instrument reports
    QTimer FVerifyTimer;
    bool FDockFailed = false;
    bool FPortChosen = false;      // the link's port is the operator's choice of an earlier Start
    QString FImageFile;
    QString FEndMessage;
    QString FFirstError;           // the first failure told in this attempt           // the end's message when no instrument came online
    TUpgradeOutcome FOutcome = TUpgradeOutcome::Failed;
    QString FLastCount;            // the count reached ("12/446")
    QString FShownCount;           // the count last put on the dock's display
    int FPagesDone = 0;
    int FResends = 0;
    QElapsedTimer FUploadClock;
    std::unique_ptr<THistoryRecorder> FHistory;
    TUpgradeAttempt FAttempt;
    int FHistoryTold = 0;          // a history problem is told once per attempt: the last attempt told
    std::function<void()> FHistoryFlushed;
    QTimer FHistoryFlushTimer;     // bounds the wait for a busy file at the end
};

// A dock's kind as the settings and the history name it ("kelo6", "express",
// "mp-express").
QString DockKindName(const TKeloDock& Dock);

// The way to the instrument as the history records it: Attempt's way, port,
// dock address and dock kind.
void RecordWay(TUpgradeAttempt& Attempt, TKeloDock* Dock, const TUpgradeSettings& Settings, const TKeskLink& Link);

// Where a page's image address puts it: pages done and in all, counted from
// the first page sent.
int PagesFromAddress(int Address);
