#include "upgrade/UpgradeSession.h"

#include "dock/CorvaneKelo6Dock.h"
#include "dock/KeloExpressDock.h"
#include "dock/MPKeloExpressDock.h"
#include "dock/USBDockDevice.h"
#include "upgrade/ImageChecksum.h"
#include "upgrade/UpgradeTexts.h"
#include "usb/USBPipe.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <memory>
#include <utility>

namespace {

const QByteArray BlankLine(14, ' ');

}  // namespace

int PagesFromAddress(int Address)
{
    return Address / FlashPageSize - TUpgradeSession::FirstPage;
}

TUpgradeSession::TUpgradeSession(TUpgradeOperator& Operator, QObject* Owner) : QObject(Owner), FOperator(Operator)
{
    FLink = new TKeskLink(this);
    FLink->SetInstrumentType(tpKT4Head);
    FLink->SetRS232Port(1);
    FLink->SetRS232BaudRate(115200);
    FLink->SetDefaultTimeOut(10);
    FLink->SetLogging(tlOff);
    FHead = new TKT4Head(this);
    FHead->SetKeskLink(FLink);
    WireComponents();

    FConnectTimer.setSingleShot(true);
    connect(&FConnectTimer, &QTimer::timeout, this, [this] { ConnectTimedOut(); });
    FEndTimer.setSingleShot(true);
    connect(&FEndTimer, &QTimer::timeout, this, [this] {
        if (FStage == TUpgradeStage::Ending)
            InstrumentOffline();  // the dock never let the instrument go: the upgrade ends all the same
    });
    FDockProgressTimer.setSingleShot(true);
    FDockProgressTimer.setInterval(DockProgressMs);
    connect(&FDockProgressTimer, &QTimer::timeout, this, [this] { ShowDockProgress(); });
    FVerifyTimer.setSingleShot(true);
    connect(&FVerifyTimer, &QTimer::timeout, this, [this] {
        if (FStage == TUpgradeStage::Verifying)
            LetInstrumentGo();  // it did not come back: said as such at the end
    });
    FHistoryFlushTimer.setSingleShot(true);
    connect(&FHistoryFlushTimer, &QTimer::timeout, this, [this] { HistoryFlushed(); });
}

TUpgradeSession::~TUpgradeSession()
{
    ForgetDock();
    if (FMadeDock)
        FMadeDock->SetUSBDevice(nullptr);  // the dock lets go of the device before the device goes
    delete FMadeDock;
    if (FHistory && FHistoryFlushed)
        FHistory->SetEndWaitMs(0);  // its wait at the end was cut short: not waited for again
}

void TUpgradeSession::WireComponents()
{
    const auto tell = [this](QObject*, const TErrorInfo& Error) { Tell(Error.Code, Error.Text); };
    FLink->OnError = [this, tell](QObject* Sender, const TErrorInfo& Error) {
        if (Error.Code == ecDockNoAnswer)
            DockUnavailable();
        else
            tell(Sender, Error);
    };
    // The head ends the session itself when the upload fails or the
    // instrument is of the wrong type: from then on the end is bounded too.
    FHead->OnError = [this, tell](QObject* Sender, const TErrorInfo& Error) {
        tell(Sender, Error);
        if (Error.Code == ecHeadPageNotAccepted || Error.Code == ecHeadWrongInstrument)
            LetInstrumentGo();
    };
    FHead->OnNote = [this](QObject*, const QString& Text) { OnNote(this, Text); };
    FHead->OnIsOnline = [this](QObject*, bool Status) { InstrumentOnline(Status); };
    FHead->OnFlashProgress = [this](QObject*, int Position, int Total) { Progress(Position, Total); };
    FHead->OnProgFlashSent = [this](QObject*, int Error) { ProgramSent(Error); };
}

void TUpgradeSession::Tell(int Code, const QString& Text)
{
    if (FFirstError.isEmpty() && Code != ecSessionHistory && Code != ecSessionHandBackFailed)
        FFirstError = Text;  // the cause, kept with the record
    RaiseError(OnError, this, Code, Text);
}

void TUpgradeSession::SetStage(TUpgradeStage Stage)
{
    FStage = Stage;
    OnStageChanged(this, Stage);
}

// ---------------------------------------------------------------- the dock

namespace {

// The dock kinds by the names the settings give them; the first is the default.
struct TDockKind {
    const char* Name;
    TDockFamily Family;
    TKeloDock* (*Make)(QObject* Owner);
};

const TDockKind DockKinds[] = {
    {"kelo6", TDockFamily::tpCorvaneKelo6, [](QObject* Owner) -> TKeloDock* { return new TCorvaneKelo6Dock(Owner); }},
    {"express", TDockFamily::tpKeloExpress, [](QObject* Owner) -> TKeloDock* { return new TKeloExpressDock(Owner); }},
    {"mp-express", TDockFamily::tpMPKeloExpress,
     [](QObject* Owner) -> TKeloDock* { return new TMPKeloExpressDock(Owner); }},
};

const TDockKind& KindNamed(const QString& Name)
{
    for (const TDockKind& kind : DockKinds)
        if (Name == QLatin1String(kind.Name))
            return kind;
    return DockKinds[0];
}

}  // namespace

QString DockKindName(const TKeloDock& Dock)
{
    for (const TDockKind& kind : DockKinds)
        if (kind.Family == Dock.Description().DeviceType)
            return kind.Name;
    return QString();
}

bool TUpgradeSession::MakeDock(const TUpgradeSettings& Settings)
{
    FSettings = Settings;
    const TDockKind& kind = KindNamed(Settings.DockKind);
    if (FMadeDock && FMadeDock->Description().DeviceType != kind.Family) {
        ForgetDock();
        FMadeDock->SetUSBDevice(nullptr);  // the dock lets go of the device before the device goes
        delete FMadeDock;
        FMadeDock = nullptr;
    }
    if (!FMadeDock)
        FMadeDock = kind.Make(this);
    AttachDock(FMadeDock);
    if (!Settings.UsbDock) {
        FMadeDock->SetUSBDevice(nullptr);
        FMadeDock->SetEthernetAddress(Settings.DockAddress);
        return true;
    }
    return ChooseUsbDock(FMadeDock);
}

// The dock is given the session's USB device, on the device chosen before
// while the bus still lists it, else on the first one listed.
bool TUpgradeSession::ChooseUsbDock(TKeloDock* Dock)
{
    TUSBDockDevice* device = UsbDockDevice();
    device->SetDeviceType(Dock->Description().DeviceType);
    const QStringList docks = device->RefreshDeviceList();
    if (docks.isEmpty()) {
        Tell(ecSessionDockUnavailable, "No docks connected to the USB bus were found.");
        return false;
    }
    if (!docks.contains(device->DeviceName()))
        device->SetDeviceName(docks.first());
    Dock->SetUSBDevice(device);
    return true;
}

// The session's one USB device, made when first needed, with the values the
// window's design gives it.
TUSBDockDevice* TUpgradeSession::UsbDockDevice()
{
    if (!FUsbDockDevice) {
        FUsbDevice = new TUSBDevice(this);
        FUsbDevice->SetReceiveBufferSize(szAuto);
        FUsbDevice->SetUseWindowsMsgs(false);
        FUsbDevice->OnError = [this](QObject*, const TErrorInfo& Error) { Tell(Error.Code, Error.Text); };
        FUsbDockDevice = std::make_unique<TUSBDockDevice>(FUsbDevice);
    }
    return FUsbDockDevice.get();
}

QStringList TUpgradeSession::UsbDocks(const QString& Kind)
{
    TUSBDockDevice* device = UsbDockDevice();
    device->SetDeviceType(KindNamed(Kind).Family);
    return device->RefreshDeviceList();
}

void TUpgradeSession::LeaveDock()
{
    ForgetDock();
}

// The link goes through the dock, whatever its kind.
void TUpgradeSession::AttachDock(TKeloDock* Dock)
{
    ForgetDock();
    FDock = Dock;
    FLink->SetDock(Dock);
    FDock->OnError = [this](QObject*, const TErrorInfo& Error) { Tell(Error.Code, Error.Text); };
}

void TUpgradeSession::ForgetDock()
{
    if (!FDock)
        return;
    FDock->OnError = nullptr;
    FLink->SetDock(nullptr);
    FDock = nullptr;
}

QString TUpgradeSession::DockName() const
{
    if (FDock && FDock->HasUSBDevice())
        return "The dock on the USB bus";
    return "The dock at " + (FDock ? FDock->EthernetAddress() : QString());
}

// The dock opened, with the request to insert the instrument on its display.
void TUpgradeSession::PrepareDock()
{
    QPointer<TKeloDock> dock(FDock);
    FDock->Open([this, dock](bool Enabled) {
        if (!dock || dock != FDock)
            return;
        if (!Enabled)
            return;  // told by the link, which asks the same dock
        if (FDock->HasUSBDevice())
            FDock->SetUSBDeviceHalted(false);
        FDock->QueueLcdLine(2, " Insert KT4   ");
        FDock->QueueLcdLine(3, "   To FLASH    ");
    });
}

// The dock could not be reached: the instrument will not come online.
void TUpgradeSession::DockUnavailable()
{
    if (FStage != TUpgradeStage::Connecting || FDockFailed)
        return;
    FDockFailed = true;
    // Told once, as the upgrade's end: no instrument came online.
    FEndMessage = DockName() + (FDock && FDock->HasUSBDevice() ? " could not be opened." : " did not answer.");
    LetInstrumentGo();
}

void TUpgradeSession::StopPump()
{
    if (FPumpStopped || !FDock || !FDock->Enabled() || FDock->Description().PumpOffCommand.isEmpty())
        return;
    if (FStage == TUpgradeStage::HandingBack || FStage == TUpgradeStage::Waiting)
        return;  // the hand-back switched it off already
    FPumpStopped = true;
    FDock->Queue(FDock->Description().PumpOffCommand, rkPlain);
}

// The count reached, on the dock's display (at most every DockProgressMs).
// One pair of lines at a time: a dock slow to answer shows the count reached
// when it has taken the last one, not a queue of old counts.
void TUpgradeSession::ShowDockProgress(bool Last)
{
    if (!FDock || !FDock->Enabled() || FLastCount == FShownCount)
        return;
    if (!Last && (FDockProgressQueued || FStage == TUpgradeStage::HandingBack || FStage == TUpgradeStage::Waiting))
        return;
    FDockProgressQueued = true;
    const QString shown = FLastCount;
    FShownCount = shown;
    QPointer<TUpgradeSession> self(this);
    FDock->QueueLcdLine(0, "   Upgrading    ");
    FDock->QueueLcdLine(1, "KT4   " + shown.toLatin1() + " ", [self, shown](const TDockReply& Reply) {
        if (!self)
            return;
        self->FDockProgressQueued = false;
        if (Reply.Acknowledged() && shown != self->FLastCount && !self->FDockProgressTimer.isActive())
            self->FDockProgressTimer.start();  // the count reached since, at the display's pace
    });
}

void TUpgradeSession::HandBack(std::function<void()> Done)
{
    if (!FDock || !FDock->Enabled()) {
        Done();
        return;
    }
    FDockProgressTimer.stop();
    struct THandBack {
        int Pending = 0;
        bool Ended = false;
        bool Told = false;
        QTimer Bound;
    };
    auto state = std::make_shared<THandBack>();
    QPointer<TUpgradeSession> self(this);
    const auto end = [self, state, Done] {
        if (state->Ended)
            return;
        state->Ended = true;
        state->Bound.stop();
        if (self)
            Done();
    };
    const auto told = [self, state](const QString& Text) {
        if (!state->Told && self) {
            state->Told = true;
            self->Tell(ecSessionHandBackFailed, Text);
        }
    };
    const auto step = [state, end, told](const QString& Command) {
        ++state->Pending;
        return [state, end, told, Command](const TDockReply& Reply) {
            if (!Reply.Acknowledged())
                told(QString("The dock did not take \"%1\" when it was handed back: it may still hold the instrument.")
                         .arg(Command));
            if (--state->Pending == 0)
                end();
        };
    };
    state->Bound.setSingleShot(true);
    connect(&state->Bound, &QTimer::timeout, this, [state, end, told] {
        told("The dock did not answer while it was handed back: it may still hold the instrument.");
        end();
    });
    state->Bound.start(HandBackBoundMs);
    // What is still queued or on the line (a display write the dock leaves
    // unanswered, say) ends within one step, and each step has a short time
    // of its own: nothing the dock leaves unanswered holds the hand-back back
    // past the bound.
    FDock->BoundQueued(HandBackStepMs);
    if (const QByteArray pumpOff = FDock->Description().PumpOffCommand; !pumpOff.isEmpty())
        FDock->Queue(pumpOff, rkPlain, step("PSS"), HandBackStepMs);
    FDock->Queue("MST", FDock->SlaveModeReplyKind(), step("MST"), HandBackStepMs);
    FDock->Queue(TKeloDock::LcdCommand(0, BlankLine), rkPlain, step("LCD0"), HandBackStepMs);
    FDock->Queue(TKeloDock::LcdCommand(1, BlankLine), rkPlain, step("LCD1"), HandBackStepMs);
}

// ---------------------------------------------------------------- the road

void TUpgradeSession::SetLinkWay()
{
    if (FSettings.Port.isEmpty())
        return;
    FLink->SetUseIrSocket(false);
    FLink->SetIrComPort(0);
    FLink->SetIrComDevice(FSettings.Port);
}

// Without a port set the operator chooses one, at every Start: the choice
// of the last Start is asked again, not taken for granted.
void TUpgradeSession::ChoosePort()
{
    if (!FSettings.Port.isEmpty())
        return;
    if (FPortChosen)
        FLink->SetIrComPort(0);
    if (!FLink->IrComPortMissing())
        return;
    FPortChosen = true;
    FLink->SetIrComPort(FOperator.ChoosePort());
}

bool TUpgradeSession::Start()
{
    const int turn = NextTurn();
    // Identifying writes nothing: there is nothing to warn of.
    if ((!FSettings.Identify && !FOperator.ConfirmErase()) || !StillAt(turn))
        return false;
    FOnlineSeen = false;
    FSilent = false;
    FUploadStarted = false;
    FProgramAcknowledged = false;
    FImageRefused = false;
    FCancelled = false;
    FLeftAlone = false;
    FImageChecked = false;
    FConfirmed = false;
    FVersionAfter.clear();
    FDockFailed = false;
    FPumpStopped = false;
    FDockProgressQueued = false;
    FLastCount.clear();
    FShownCount.clear();
    FPagesDone = 0;
    FResends = 0;
    FEndMessage.clear();
    FFirstError.clear();
    FUploadClock.invalidate();
    FHead->SetAnswerTimeOutMs(FSettings.AnswerTimeOutMs);
    RecordStart();
    if (FDock)
        PrepareDock();
    FOperator.AskToPlace(FDock != nullptr);
    if (!StillAt(turn))
        return true;
    SetStage(TUpgradeStage::Connecting);
    SetLinkWay();
    ChoosePort();
    if (!StillAt(turn))
        return true;
    if (FSettings.ConnectTimeOutMs > 0)
        FConnectTimer.start(FSettings.ConnectTimeOutMs);
    try {
        FHead->Connect(true);
    } catch (const std::exception& e) {
        FEndMessage = QString::fromLocal8Bit(e.what());
        Tell(ecLinkPortFailed, FEndMessage);
        LetInstrumentGo();
    }
    return true;
}

void TUpgradeSession::Stop()
{
    if (FStage == TUpgradeStage::Waiting || FStage == TUpgradeStage::HandingBack)
        return;
    FCancelled = !FUploadStarted;
    OnNote(this, FUploadStarted ? "stopped during the upload" : "stopped before the upload");
    LetInstrumentGo();
}

void TUpgradeSession::ConnectTimedOut()
{
    if (FOnlineSeen || FStage != TUpgradeStage::Connecting)
        return;
    FEndMessage = "The instrument did not answer.";
    FSilent = FHead->UnansweredEnquiries() > 0;  // asked, and nothing answered
    OnNote(this, QString("the instrument did not come online in %1 s").arg(FSettings.ConnectTimeOutMs / 1000.0));
    LetInstrumentGo();
}

void TUpgradeSession::InstrumentOnline(bool Status)
{
    if (FStage == TUpgradeStage::Verifying) {
        if (Status)
            Verified();
        return;  // offline: the restart
    }
    if (!Status) {
        const int turn = NextTurn();
        QTimer::singleShot(DeferMs, this, [this, turn] {
            if (StillAt(turn))
                InstrumentOffline();
        });
        return;
    }
    // Online again after its one upload (an instrument restarting in the dock)
    // starts nothing: one session uploads once.
    if (FUploadStarted || FStage != TUpgradeStage::Connecting)
        return;
    const int turn = NextTurn();
    FOnlineSeen = true;
    FConnectTimer.stop();
    SetStage(TUpgradeStage::Online);
    RecordOnline();
    RecordOnTheWay();
    if (FDock)
        QTimer::singleShot(PumpDelayMs, this, [this] { StopPump(); });
    QTimer::singleShot(DeferMs, this, [this, turn] {
        if (StillAt(turn))
            BeginFlashing();
    });
}

void TUpgradeSession::BeginFlashing()
{
    const int turn = NextTurn();
    SetStage(TUpgradeStage::ChoosingImage);
    if (FSettings.Identify) {
        Identify();
        return;
    }
    const bool accepted = ChooseImage(turn);
    if (!StillAt(turn))
        return;  // the instrument went offline (or Stop) while the operator chose
    if (!FHead->OnLine())
        return;  // lost meanwhile: its offline report follows
    if (!accepted || FLeftAlone) {
        LetInstrumentGo();
        return;
    }
    FUploadStarted = true;
    FUploadClock.start();
    SetStage(TUpgradeStage::Uploading);
    FHead->SendFlash();
}

// The file dialog again after a version question answered No; a refused file
// or a cancelled dialog ends the choice.
bool TUpgradeSession::ChooseImage(int Turn)
{
    for (;;) {
        const std::optional<QString> file = FOperator.ChooseImage();
        if (!StillAt(Turn))
            return false;
        if (!file) {
            FCancelled = true;
            return false;
        }
        if (!FHead->LoadFlashFile(*file)) {
            FImageRefused = true;
            Tell(ecSessionImageRefused, UpgradeText::NotAFlashFile);
            return false;
        }
        const QString checksum = ImageChecksum::Problem(*file, FHead->FlashImage(), ExpectedSha256(*file));
        if (!checksum.isEmpty()) {
            FImageRefused = true;
            Tell(ecSessionImageRefused, checksum);
            return false;
        }
        FImageFile = *file;
        const QString version = QString::fromLatin1(FHead->FileVersion());
        if (FSettings.SkipCurrent && AlreadyCurrent()) {
            LeaveAlone(QString("The instrument is already at %1: nothing was written.").arg(version));
            return false;
        }
        const bool yes = FOperator.ConfirmVersion(version);
        if (!StillAt(Turn))
            return false;
        if (!yes)
            continue;
        if (IsOlderImage(QString::fromLatin1(FHead->FlashVersion()), version)) {
            const bool proceed = FOperator.ConfirmOlderImage();
            if (!StillAt(Turn))
                return false;
            if (!proceed)
                continue;
        }
        OnImageAccepted(this);
        RecordOnTheWay();
        return StillAt(Turn);
    }
}

// Who the instrument is, and (with the settings' image) what that image would
// be to it; nothing is written, and the instrument is let go of at once.
void TUpgradeSession::Identify()
{
    const QString version = QString::fromLatin1(FHead->FlashVersion());
    const QString way = !FDock                  ? (FSettings.Port.isEmpty() ? "the infrared port" : "port " + FSettings.Port)
                        : FDock->HasUSBDevice() ? QString("the dock on the USB bus")
                                                : "the dock at " + FDock->EthernetAddress();
    QString text = QString("KT4 head through %1, flash version %2").arg(way, version);
    if (!FSettings.Image.isEmpty() && FHead->LoadFlashFile(FSettings.Image)) {
        FImageFile = FSettings.Image;
        FImageChecked = true;
        const QString image = QString::fromLatin1(FHead->FileVersion());
        text += AlreadyCurrent()                       ? QString(": the image (%1) is the same version").arg(image)
                : IsOlderImage(version, image)          ? QString(": the image (%1) is older").arg(image)
                                                        : QString(": the image (%1) would be an upgrade").arg(image);
        RecordOnTheWay();
    }
    LeaveAlone(text + ".");
    LetInstrumentGo();
}

QString TUpgradeSession::ExpectedSha256(const QString& ImageFile) const
{
    if (!FSettings.ExpectSha256.isEmpty() || !FSettings.ChecksumBesideImage)
        return FSettings.ExpectSha256;
    return ImageChecksum::Beside(ImageFile);
}

bool TUpgradeSession::AlreadyCurrent() const
{
    return FHead->FlashVersion().trimmed() == FHead->FileVersion().trimmed();
}

void TUpgradeSession::LeaveAlone(const QString& Message)
{
    FLeftAlone = true;
    FImageChecked = !FImageFile.isEmpty();
    FEndMessage = Message;
    RecordOnTheWay();
}

void TUpgradeSession::Progress(int Position, int Total)
{
    FPagesDone = PagesFromAddress(Position);
    FResends = FHead->TotalResends();
    const int total = PagesFromAddress(Total);
    FLastCount = QString("%1/%2").arg(FPagesDone).arg(total);
    if (FDock && !FDockProgressTimer.isActive())
        FDockProgressTimer.start();  // a running one shows the count it finds
    OnProgress(this, FPagesDone, total, Position);
    if (FPagesDone % PagesPerRecord == 0)
        RecordOnTheWay();  // a program killed later leaves a row that says how far it got
}

void TUpgradeSession::ProgramSent(int Error)
{
    FResends = FHead->TotalResends();
    if (Error <= 0) {
        FProgramAcknowledged = true;
        if (FSettings.Verify) {
            AwaitRestart();
            return;
        }
    } else {
        Tell(ecSessionProgramFailed, UpgradeText::ProgramFailed);
    }
    LetInstrumentGo();
}

// The instrument restarts into its new firmware: once it has let go of the
// line, it is asked for again (on the same port, or through the same dock),
// and the version it then reports confirms the upgrade or not. Its going
// offline meanwhile is the restart, not the end.
void TUpgradeSession::AwaitRestart()
{
    const int turn = NextTurn();
    SetStage(TUpgradeStage::Verifying);
    OnNote(this, QString("program command acknowledged: waiting up to %1 s for the restarted instrument")
                     .arg(FSettings.VerifyTimeOutMs / 1000.0));
    FVerifyTimer.start(FSettings.VerifyTimeOutMs);
    FHead->Connect(false);
    QTimer::singleShot(RestartPauseMs, this, [this, turn] {
        if (StillAt(turn))
            FHead->Connect(true);
    });
}

void TUpgradeSession::Verified()
{
    FVerifyTimer.stop();
    FVersionAfter = QString::fromLatin1(FHead->FlashVersion());
    FConfirmed = FHead->FlashVersion().trimmed() == FHead->FileVersion().trimmed();
    OnNote(this, "the restarted instrument reports " + FVersionAfter);
    LetInstrumentGo();
}

// The instrument is let go of; its offline report ends the upgrade, or the
// bound does when the dock never lets it go.
void TUpgradeSession::LetInstrumentGo()
{
    if (FStage == TUpgradeStage::Waiting || FStage == TUpgradeStage::HandingBack)
        return;
    NextTurn();
    FConnectTimer.stop();
    if (FStage != TUpgradeStage::Ending) {
        SetStage(TUpgradeStage::Ending);
        FEndTimer.start(EndBoundMs);
    }
    const bool wasUp = FLink->Connected();
    FHead->Connect(false);
    if (!wasUp) {
        FLink->SetConnected(false);  // a dock still asked to pass the instrument through stops being asked
        InstrumentOffline();         // nothing was up: no offline report will come
    }
}

void TUpgradeSession::InstrumentOffline()
{
    if (FStage == TUpgradeStage::Waiting || FStage == TUpgradeStage::HandingBack || FStage == TUpgradeStage::Verifying)
        return;
    NextTurn();
    FEndTimer.stop();
    FConnectTimer.stop();
    Finish();
}

// How the attempt ended, and the message the operator is shown.
TUpgradeOutcome TUpgradeSession::EndOutcome(QString* Message) const
{
    *Message = UpgradeText::Disconnected;
    if (FProgramAcknowledged && FSettings.Verify && !FConfirmed) {
        *Message = !FVersionAfter.isEmpty()
                       ? QString("The program command was acknowledged, but after its restart the instrument "
                                 "still reports %1: the upgrade failed.").arg(FVersionAfter)
                       : QString("The program command was acknowledged, but the instrument did not come back "
                                 "within %1 s of its restart: the upgrade is not confirmed.")
                             .arg(FSettings.VerifyTimeOutMs / 1000.0);
        return TUpgradeOutcome::Failed;
    }
    if (FProgramAcknowledged) {
        *Message = UpgradeText::Completed;
        return TUpgradeOutcome::Completed;
    }
    if (FLeftAlone) {
        *Message = FEndMessage;
        return FSettings.Identify ? TUpgradeOutcome::Identified : TUpgradeOutcome::Skipped;
    }
    if (FImageRefused)
        return TUpgradeOutcome::ImageRefused;
    if (FCancelled && !FUploadStarted)
        return TUpgradeOutcome::Cancelled;
    if (!FOnlineSeen) {
        if (!FEndMessage.isEmpty())
            *Message = FEndMessage;
        return TUpgradeOutcome::NotConnected;
    }
    return TUpgradeOutcome::Failed;
}

void TUpgradeSession::Finish()
{
    QString message;
    const TUpgradeOutcome outcome = EndOutcome(&message);
    FOutcome = outcome;
    RecordEnd(outcome, message);
    const auto report = [this, outcome, message] {
        SetStage(TUpgradeStage::Waiting);
        OnFinished(this, outcome, message);
    };
    if (FDock && FSettings.HandBackAtEnd) {
        FDockProgressTimer.stop();
        ShowDockProgress(true);  // the last count reached, before the dock is handed back
        SetStage(TUpgradeStage::HandingBack);
        QPointer<TUpgradeSession> self(this);
        HandBack([self, report] {
            if (self)
                report();
        });
        return;
    }
    report();
}

void TUpgradeSession::Shutdown(std::function<void()> Done)
{
    NextTurn();
    FConnectTimer.stop();
    FEndTimer.stop();
    FDockProgressTimer.stop();
    OnStageChanged = nullptr;
    OnFinished = nullptr;
    OnProgress = nullptr;
    if (FStage != TUpgradeStage::Waiting && FStage != TUpgradeStage::HandingBack) {
        QString message;
        const TUpgradeOutcome outcome = EndOutcome(&message);
        RecordEnd(outcome, "The program was closed during the upgrade.");
    }
    if (!FDock && FMadeDock && FMadeDock->Enabled())
        AttachDock(FMadeDock);  // left aside, still enabled: handed back as well
    if (FLink->Connected())
        FHead->Connect(false);
    else if (FDock && FDock->Enabled())
        FLink->SetConnected(false);  // a dock still asked to pass the instrument through stops being asked
    QPointer<TUpgradeSession> self(this);
    HandBack([self, Done = std::move(Done)] {
        if (self)
            self->FlushHistory(Done);
        else
            Done();
    });
}

// ---------------------------------------------------------------- the upgrade history

namespace {

QString OutcomeName(TUpgradeOutcome Outcome)
{
    switch (Outcome) {
    case TUpgradeOutcome::Completed:
        return HistoryOutcome::Completed;
    case TUpgradeOutcome::Skipped:
        return HistoryOutcome::Skipped;
    case TUpgradeOutcome::Identified:
        return HistoryOutcome::Identified;
    case TUpgradeOutcome::Cancelled:
        return HistoryOutcome::Cancelled;
    case TUpgradeOutcome::ImageRefused:
        return HistoryOutcome::ImageRefused;
    case TUpgradeOutcome::NotConnected:
        return HistoryOutcome::NotConnected;
    case TUpgradeOutcome::Failed:
        break;
    }
    return HistoryOutcome::Failed;
}

}  // namespace

// The way to the instrument: a dock (on the network or the USB bus, and its
// kind), the serial device the session was given, or the infrared road (the
// IrDA socket, or the infrared driver's COM port once the link fell back to
// it: its device, or its COM name).
void RecordWay(TUpgradeAttempt& Attempt, TKeloDock* Dock, const TUpgradeSettings& Settings, const TKeskLink& Link)
{
    Attempt.Port.clear();
    Attempt.DockAddress.clear();
    Attempt.DockKind.clear();
    if (Dock) {
        Attempt.Way = Dock->HasUSBDevice() ? "dock-usb" : "dock-network";
        Attempt.DockAddress = Dock->HasUSBDevice() ? Dock->USBDevice()->DeviceName() : Dock->EthernetAddress();
        Attempt.DockKind = DockKindName(*Dock);
        return;
    }
    if (!Settings.Port.isEmpty()) {
        Attempt.Way = "serial";
        Attempt.Port = Settings.Port;
        return;
    }
    Attempt.Way = "infrared";
    if (!Link.UseIrSocket())
        Attempt.Port = !Link.IrComDevice().isEmpty() ? Link.IrComDevice()
                       : Link.IrComPort() > 0        ? QString("COM%1").arg(Link.IrComPort())
                                                     : QString();
}

// The row is begun once the operator has confirmed the erase warning: an
// attempt starts there, whatever follows.
void TUpgradeSession::RecordStart()
{
    if (FSettings.HistoryFile.isEmpty())
        FHistory.reset();  // none for this attempt, whatever the last one had
    else
        OpenHistory();
    FAttempt = TUpgradeAttempt();
    // The program as it is called ("kt4-flash", "kt4-upgrade"), whatever it
    // calls itself in its window.
    FAttempt.Program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    FAttempt.ProgramVersion = QCoreApplication::applicationVersion();
    RecordWay(FAttempt, FDock, FSettings, *FLink);
    TUpgradeHistory::FillIn(FAttempt);
    if (FSettings.RecordFromOnline)
        FAttempt.Outcome.clear();  // begun once an instrument answers: RecordOnline
    else if (FHistory)
        FHistory->Begin(FAttempt);  // under way, "in progress", written now or later
}

// Watching for instruments, an attempt is an instrument that answered: the
// wait for one is none.
void TUpgradeSession::RecordOnline()
{
    if (!FSettings.RecordFromOnline || FAttempt.Outcome == HistoryOutcome::InProgress)
        return;
    FAttempt.Started = {};
    TUpgradeHistory::FillIn(FAttempt);
    if (FHistory)
        FHistory->Begin(FAttempt);
}

void TUpgradeSession::OpenHistory()
{
    const QString path = QFileInfo(FSettings.HistoryFile).absoluteFilePath();
    if (!FHistory || FHistory->Path() != path) {
        FHistory = std::make_unique<THistoryRecorder>(path);
        FHistoryTold = 0;
        FHistory->OnProblem = [this](int Attempt, const QString& Text) { TellHistoryProblem(Attempt, Text); };
        FHistory->OnIdle = [this] {
            if (FHistoryFlushed)
                HistoryFlushed();
        };
    }
}

// What was learnt on the way: the way the link took (known once it tried
// it), the instrument and its version once it answered, the image once the
// operator accepted it, with the SHA-256 of the bytes that are sent (the
// file may change later). Only while an attempt is under way: the window's
// Load File button offers an image between upgrades too, and the last
// attempt's row stays as it ended.
void TUpgradeSession::RecordOnTheWay()
{
    if (FAttempt.Outcome != HistoryOutcome::InProgress)
        return;
    RecordWay(FAttempt, FDock, FSettings, *FLink);
    FAttempt.PagesSent = FPagesDone;
    FAttempt.Resends = FResends;
    if (FOnlineSeen) {
        FAttempt.InstrumentType = "KT4 head";  // it answered the identity question with type 16
        FAttempt.VersionBefore = QString::fromLatin1(FHead->FlashVersion());
    }
    // This attempt's image: accepted just now (the file name of the last
    // attempt's stays in the session until another is loaded).
    if (FStage == TUpgradeStage::ChoosingImage && !FImageFile.isEmpty()) {
        FAttempt.ImageFile = QFileInfo(FImageFile).absoluteFilePath();
        FAttempt.ImageVersion = QString::fromLatin1(FHead->FileVersion());
        FAttempt.ImageSha256 = TUpgradeHistory::Sha256(FHead->FlashImage());
    }
    if (FHistory)
        FHistory->Update(FAttempt);
}

void TUpgradeSession::RecordEnd(TUpgradeOutcome Outcome, const QString& Message)
{
    if (FAttempt.Outcome != HistoryOutcome::InProgress)
        return;
    RecordWay(FAttempt, FDock, FSettings, *FLink);
    // A row written whole now (its start could not be) has nothing of the way.
    if (FOnlineSeen && FAttempt.VersionBefore.isEmpty()) {
        FAttempt.InstrumentType = "KT4 head";
        FAttempt.VersionBefore = QString::fromLatin1(FHead->FlashVersion());
    }
    if ((FUploadStarted || FImageChecked) && FAttempt.ImageFile.isEmpty()) {
        FAttempt.ImageFile = QFileInfo(FImageFile).absoluteFilePath();
        FAttempt.ImageVersion = QString::fromLatin1(FHead->FileVersion());
        FAttempt.ImageSha256 = TUpgradeHistory::Sha256(FHead->FlashImage());
    }
    FAttempt.PagesSent = FPagesDone;
    FAttempt.Resends = FResends;
    FAttempt.Outcome = Outcome == TUpgradeOutcome::Completed && FConfirmed ? HistoryOutcome::Confirmed : OutcomeName(Outcome);
    FAttempt.VersionAfter = FVersionAfter;
    // The final message, and the first failure told on the way (its cause).
    FAttempt.Message = FFirstError.isEmpty() || !Failure(Outcome) ? Message : Message + " (" + FFirstError + ")";
    FAttempt.Ended = QDateTime::currentDateTimeUtc();
    if (FHistory)
        FHistory->Finish(FAttempt);
}

// Once per attempt: a file that cannot be written fails every write of it,
// and the window shows each told problem as a box.
void TUpgradeSession::TellHistoryProblem(int Attempt, const QString& Text)
{
    if (Attempt <= FHistoryTold)
        return;
    FHistoryTold = Attempt;
    Tell(ecSessionHistory, Text);
}

void TUpgradeSession::FlushHistory(std::function<void()> Done)
{
    FHistoryFlushed = std::move(Done);
    if (FHistory && !FHistory->Idle())
        FHistoryFlushTimer.start(THistoryRecorder::FlushBoundMs);  // the recorder's wake-up or the bound ends it
    else
        QTimer::singleShot(0, this, [this] { HistoryFlushed(); });
}

// The wait at the end is over: everything written, or the bound passed with
// the file still held, and what is left is let go of.
void TUpgradeSession::HistoryFlushed()
{
    if (!FHistoryFlushed)
        return;
    const std::function<void()> done = std::exchange(FHistoryFlushed, nullptr);
    FHistoryFlushTimer.stop();
    if (FHistory && !FHistory->Idle()) {
        const QString text = QString("The upgrade history %1 is locked by another program; %2")
                                 .arg(FHistory->Path(), FHistory->StartWritten()
                                                            ? "the end of this upgrade is not recorded (it reads "
                                                              "unfinished)."
                                                            : "this upgrade is not recorded.");
        FHistory->SetEndWaitMs(0);
        FHistory.reset();
        Tell(ecSessionHistory, text);
    }
    done();
}
