#include "app/FlashCommand.h"

#include "app/FlashReport.h"
#include "app/SessionReport.h"
#include "history/AttemptRows.h"
#include "upgrade/ImageChecksum.h"
#include "upgrade/UpgradeTexts.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimer>
#include <unistd.h>

namespace {

// The link settles its way to the instrument 100 ms after it was made.
constexpr int SettleMs = 150;

QString Clock(qint64 Seconds)
{
    return QString("%1:%2").arg(Seconds / 60, 2, 10, QChar('0')).arg(Seconds % 60, 2, 10, QChar('0'));
}

// An argument as a shell would need it to be typed.
QString ShellWord(const QString& Word)
{
    static const QRegularExpression plain("^[A-Za-z0-9_./:=@%+,-]+$");
    if (plain.match(Word).hasMatch())
        return Word;
    return "'" + QString(Word).replace("'", "'\\''") + "'";
}

// A stage as the report names it.
QString StageName(TUpgradeStage Stage)
{
    switch (Stage) {
    case TUpgradeStage::Connecting: return "connecting";
    case TUpgradeStage::Online: return "online";
    case TUpgradeStage::ChoosingImage: return "choosing-image";
    case TUpgradeStage::Uploading: return "uploading";
    case TUpgradeStage::Verifying: return "verifying";
    case TUpgradeStage::Ending: return "ending";
    case TUpgradeStage::HandingBack: return "handing-back";
    case TUpgradeStage::Waiting: break;
    }
    return "waiting";
}

}  // namespace

int StatusOf(TUpgradeOutcome Outcome)
{
    switch (Outcome) {
    case TUpgradeOutcome::Completed:
    case TUpgradeOutcome::Skipped:
    case TUpgradeOutcome::Identified:
        return fsCompleted;
    case TUpgradeOutcome::Cancelled:
        return fsCancelled;
    case TUpgradeOutcome::ImageRefused:
        return fsImageRefused;
    case TUpgradeOutcome::NotConnected:
        return fsNotConnected;
    case TUpgradeOutcome::Failed:
        break;
    }
    return fsFailed;
}

TFlashCommand::TFlashCommand(const TFlashOptions& Options, FILE* Out)
    : FOptions(Options), FOut(Out), FTty(::isatty(fileno(Out)) != 0)
{
    FSession = new TUpgradeSession(*this, this);
    TUpgradeSettings settings;
    settings.ConnectTimeOutMs = Options.ConnectTimeOutSeconds * 1000;
    settings.AnswerTimeOutMs = Options.AnswerTimeOutMs;
    settings.Port = Options.Port;
    settings.DockAddress = Options.Dock == "usb" ? QString() : Options.Dock;
    settings.UsbDock = Options.Dock == "usb";
    settings.DockKind = Options.DockKind;
    settings.Identify = Options.Identify;
    settings.Image = Options.Identify ? Options.Image : QString();
    settings.SkipCurrent = Options.SkipCurrent;
    settings.ExpectSha256 = Options.ExpectSha256;
    settings.Verify = Options.VerifyTimeOutSeconds > 0;
    settings.VerifyTimeOutMs = Options.VerifyTimeOutSeconds * 1000;
    settings.RecordFromOnline = Options.Watch;
    if (Options.Watch)
        settings.ConnectTimeOutMs = 0;  // an instrument comes when it is placed
    FSettings = settings;
    FSession->SetSettings(settings);
    FSession->OnStageChanged = [this](QObject*, TUpgradeStage Stage) { StageChanged(Stage); };
    FSession->OnProgress = [this](QObject*, int Done, int Total, int Address) { Progress(Done, Total, Address); };
    FSession->OnError = [this](QObject*, const TErrorInfo& E) { Error(E); };
    FSignals = new TSignalWatch(this);
    FSignals->OnSignal = [this](int Signal) { Signalled(Signal); };
    FSession->OnNote = [this](QObject*, const QString& Text) { Note(Text); };
    FSession->OnFinished = [this](QObject*, TUpgradeOutcome Outcome, const QString& Message) {
        Finished(Outcome, Message);
    };
}

TFlashCommand::~TFlashCommand() = default;

void TFlashCommand::Print(const QString& Line)
{
    std::fprintf(FOut, "%s\n", qPrintable(TerminalSafe(Line)));
    std::fflush(FOut);
}

void TFlashCommand::EndProgressLine()
{
    if (FTty && FProgressShown) {
        std::fprintf(FOut, "\n");
        std::fflush(FOut);
    }
    FProgressShown = false;
}

void TFlashCommand::Note(const QString& Text)
{
    if (FTrace)
        FTrace->Note(Text);
}

void TFlashCommand::Report(const char* Event, const QJsonObject& Fields)
{
    if (!FOptions.Report)
        return;
    std::fprintf(FOptions.Report, "%s\n", FlashReport::Line(Event, Fields).constData());
    std::fflush(FOptions.Report);
}

// The way to the instrument as the history records it.
void TFlashCommand::ReportWay()
{
    if (!FOptions.Report)
        return;
    TUpgradeAttempt way;
    RecordWay(way, FSession->Dock(), FSession->Settings(), *FSession->Link());
    Report(FlashReport::Way, {{"way", way.Way},
                              {"port", way.Port},
                              {"dock_address", way.DockAddress},
                              {"dock_kind", way.DockKind}});
}

// The last event: what the upgrade came to (UpgradeStatus, as the history
// names it), the exit status (a signal's or an incomplete trace's too) and
// the final message.
void TFlashCommand::ReportEnd(int Status, int UpgradeStatus)
{
    if (FOptions.Watch) {
        Report(FlashReport::End, {{"status", Status},
                                  {"upgraded", FUpgraded},
                                  {"current", FCurrent},
                                  {"failed", FFailed},
                                  {"parked", FParked}});
        return;
    }
    const TUpgradeAttempt attempt = EndedAttempt(UpgradeStatus);
    Report(FlashReport::End, {{"outcome", attempt.Outcome},
                              {"status", Status},
                              {"message", FEndMessage},
                              {"pages_sent", FSession->PagesDone()},
                              {"resends", FSession->Resends()},
                              {"record", AttemptRows::Json(attempt)}});
}

TUpgradeAttempt TFlashCommand::EndedAttempt(int UpgradeStatus) const
{
    TUpgradeAttempt attempt = FSession->Attempt();
    if (!attempt.Outcome.isEmpty() && attempt.Outcome != HistoryOutcome::InProgress)
        return attempt;
    // Refused or stopped before the attempt began (or ended by a second signal).
    RecordWay(attempt, FSession->Dock(), FSession->Settings(), *FSession->Link());
    TUpgradeHistory::FillIn(attempt);
    attempt.Ended = QDateTime::currentDateTimeUtc();
    attempt.Outcome = HistoryOutcome::OfExitStatus(UpgradeStatus);
    attempt.Message = FEndMessage;
    if (attempt.ImageFile.isEmpty() && !FOptions.Image.isEmpty())
        attempt.ImageFile = QFileInfo(FOptions.Image).absoluteFilePath();
    return attempt;
}

// The attempt's row in the session report; a report that cannot be written
// is told, and changes no outcome.
bool TFlashCommand::WriteSessionReport(const TUpgradeAttempt& Attempt)
{
    if (FOptions.ReportFile.isEmpty())
        return true;
    if (!FReport)
        FReport = std::make_unique<TSessionReport>(FOptions.ReportFile, FOptions.Image);
    if (FReport->Ok() && FReport->Add(AttemptRows::Json(Attempt)))
        return true;
    std::fprintf(stderr, "kt4-flash: cannot write the report %s: %s\n",
                 qPrintable(OutsideText::OneLine(FOptions.ReportFile)), qPrintable(TerminalSafe(FReport->ErrorString())));
    return false;
}

void TFlashCommand::BoxShown(TMsgDlgType Type, const QString& Text)
{
    const QString kind = KindName(Type);
    if (Type == mtError || Type == mtWarning)
        EndProgressLine();  // the box may go to the other stream
    Note(QString("[%1] %2").arg(kind, Text));
    Report(FlashReport::Box, {{"kind", kind}, {"text", Text}});
}

void TFlashCommand::AnswerGiven(const QString& Button, const QString& How)
{
    Note(QString("[Answer] %1 (%2)").arg(Button, How));
}

// The trace starts before anything is sent, so that it holds every text. A
// trace that cannot be made (or would destroy what it names: the image, a
// device, a link's target) is refused before anything is opened; one that
// stops being written is told at once and the upgrade goes on.
bool TFlashCommand::OpenTrace()
{
    if (FOptions.TraceFile.isEmpty())
        return true;
    FTrace = std::make_unique<TTraceFile>(FOptions.TraceFile, FOptions.Image);
    if (!FTrace->Ok()) {
        std::fprintf(stderr, "kt4-flash: cannot write the trace %s: %s\n", qPrintable(OutsideText::OneLine(FOptions.TraceFile)),
                     qPrintable(FTrace->ErrorString()));
        FTrace.reset();
        return false;
    }
    FTrace->OnFailed = [this](const QString& Cause) { TraceFailed(Cause); };
    TKeskLink* link = FSession->Link();
    link->OnDebugSend = [this](QObject*, const QByteArray& Text) { FTrace->Sent(Text); };
    link->OnDebugReceive = [this](QObject*, const QByteArray& Text) { FTrace->Received(Text); };
    TraceHeader();
    return true;
}

// What the trace's reader needs before the first text: the program, the
// image, the way to the instrument, the command line and what it set.
void TFlashCommand::TraceHeader()
{
    QString way;
    if (FOptions.Dock == "usb")
        way = QString("USB dock, kind %1").arg(FOptions.DockKind);
    else if (!FOptions.Dock.isEmpty())
        way = QString("dock %1, kind %2").arg(FOptions.Dock, FOptions.DockKind);
    else if (!FOptions.Port.isEmpty())
        way = "port " + FOptions.Port;
    else if (!qEnvironmentVariableIsEmpty("KT4_IRDA_SIM"))
        way = "infrared, the simulated IrDA stack KT4_IRDA_SIM=" + qEnvironmentVariable("KT4_IRDA_SIM");
    else
        way = "infrared, else the infrared driver's port KT4_IRCOMM=" + qEnvironmentVariable("KT4_IRCOMM");
    Note(QString("kt4-flash %1, image %2, %3")
             .arg(QCoreApplication::applicationVersion(), OutsideText::OneLine(FOptions.Image), way));
    QStringList words{"kt4-flash"};
    for (const QString& argument : FOptions.Arguments)
        words << OutsideText::OneLine(ShellWord(argument));
    Note("command line: " + words.join(' '));
    Note(QString("settings: connect time-out %1 s; answer time-out %2; questions %3; history %4")
             .arg(FOptions.ConnectTimeOutSeconds)
             .arg(FOptions.AnswerTimeOutMs > 0
                      ? QString("%1 ms (instead of the instrument's own 5 to 30 s)").arg(FOptions.AnswerTimeOutMs)
                      : QString("the instrument's own (5 to 30 s)"))
             .arg(FOptions.AssumeYes ? "answered by --yes" : "asked on the terminal")
             .arg(FSession->Settings().HistoryFile.isEmpty() ? QString("not recorded")
                                                             : FSession->Settings().HistoryFile));
}

void TFlashCommand::TraceFailed(const QString& Cause)
{
    EndProgressLine();
    std::fprintf(stderr, "kt4-flash: the trace %s cannot be written (%s): it is incomplete from here on; "
                         "the upgrade goes on\n",
                 qPrintable(OutsideText::OneLine(FOptions.TraceFile)), qPrintable(TerminalSafe(Cause)));
    std::fflush(stderr);
}

int TFlashCommand::Run()
{
    const int upgraded = FOptions.Watch ? Watch() : Upgrade();
    int status = upgraded;
    // The history's last records are written, or their loss told, before the end.
    FSession->FlushHistory([this] { FLoop.exit(0); });
    FLoop.exec();
    if (FSignal == 0 && TSignalWatch::Caught() != 0)
        NoteSignal(TSignalWatch::Caught());  // caught while a question was asked, not yet told
    if (FSignal != 0)
        status = fsSignalled + FSignal;
    else if (status == fsCompleted && FTrace && FTrace->Failed())
        status = fsTraceIncomplete;
    FStatus = status;
    Note(QString("finished with exit status %1").arg(status));
    ReportEnd(status, upgraded);
    if (FOptions.Watch)
        return status;  // each instrument's row was written as it ended
    const TUpgradeAttempt attempt = EndedAttempt(upgraded);
    WriteSessionReport(attempt);
    if (FOptions.Identify && FOptions.Json && attempt.Outcome == HistoryOutcome::Identified) {
        std::printf("%s\n", QJsonDocument(AttemptRows::Json(attempt)).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    }
    return status;
}

// The image is checked before anything is sent: its form, and the checksum
// it must have (identifying needs no image).
bool TFlashCommand::LoadImage()
{
    if (FOptions.Identify && FOptions.Image.isEmpty())
        return true;
    TKT4Head* head = FSession->Head();
    if (!head->LoadFlashFile(FOptions.Image)) {
        FEndMessage = UpgradeText::NotAFlashFile;
        Dialogs().MessageDlg(FEndMessage, mtError, mbOK);
        return false;
    }
    FEndMessage = ImageChecksum::Problem(FOptions.Image, head->FlashImage(), FOptions.ExpectSha256);
    if (!FEndMessage.isEmpty()) {
        Dialogs().MessageDlg(FEndMessage, mtError, mbOK);
        return false;
    }
    Print(QString("Image: version %1 (%2)")
              .arg(OutsideText::OneLine(QString::fromLatin1(head->FileVersion())),
                   OutsideText::OneLine(QString::fromLatin1(head->FileDate()))));
    Report(FlashReport::Image, {{"version", QString::fromLatin1(head->FileVersion())},
                                {"date", QString::fromLatin1(head->FileDate())},
                                {"file", QFileInfo(FOptions.Image).absoluteFilePath()},
                                {"sha256", TUpgradeHistory::Sha256(head->FlashImage())}});
    return true;
}

int TFlashCommand::Upgrade()
{
    if (!OpenTrace())
        return fsImageRefused;
    if (!LoadImage())
        return fsImageRefused;
    if (!FOptions.Dock.isEmpty()) {
        if (!FSession->MakeDock(FSession->Settings()))
            return fsNotConnected;
        const QString dock = FOptions.Dock == "usb" ? FSession->Dock()->USBDevice()->DeviceName() : FOptions.Dock;
        Print("Dock: " + OutsideText::OneLine(dock));
        Note(QString("dock: %1 (%2), kind %3").arg(dock, FSession->DockName(), FOptions.DockKind));
    }
    bool started = true;
    QTimer::singleShot(SettleMs, this, [this, &started] {
        if (FSignal != 0) {
            started = false;
            FLoop.exit(fsCancelled);  // stopped before it began: nothing to end
            return;
        }
        FStarted = true;
        if (!FSession->Start()) {
            started = false;
            FLoop.exit(fsCancelled);
        }
    });
    const int status = FLoop.exec();
    return started ? FStatus : status;
}

void TFlashCommand::NoteSignal(int Signal)
{
    FSignal = Signal;
    EndProgressLine();
    const bool dock = FSession->Dock() != nullptr;
    std::fprintf(stderr, "kt4-flash: %s: the upgrade is stopped%s\n", TSignalWatch::Name(Signal),
                 dock && FStarted ? "; the dock is handed back" : "");
    std::fflush(stderr);
    Note(QString("[Signal] %1: the upgrade is stopped, as with Stop").arg(TSignalWatch::Name(Signal)));
}

void TFlashCommand::Signalled(int Signal)
{
    if (FSignal != 0) {
        // A second one while the upgrade ends: the end is not waited for.
        std::fprintf(stderr, "kt4-flash: %s again: ending at once\n", TSignalWatch::Name(Signal));
        std::fflush(stderr);
        Note(QString("[Signal] %1 again: ending at once, the end not waited for").arg(TSignalWatch::Name(Signal)));
        FLoop.exit(fsFailed);
        return;
    }
    NoteSignal(Signal);
    switch (FSession->Stage()) {
    case TUpgradeStage::Connecting:
    case TUpgradeStage::Online:
    case TUpgradeStage::ChoosingImage:
    case TUpgradeStage::Uploading:
    case TUpgradeStage::Verifying:
        FSession->Stop();
        break;
    case TUpgradeStage::Waiting:
        if (FOptions.Watch && FStarted && !FProbing)
            FLoop.exit(fsCompleted);  // between two instruments: nothing to end
        break;
    default:
        break;  // not begun (Start looks), or already ending: its end follows
    }
}

// ---------------------------------------------------------------- the operator

bool TFlashCommand::ConfirmErase()
{
    return Dialogs().MessageDlg(UpgradeText::EraseWarning, mtWarning, mbOKCancel) == mrOk;
}

void TFlashCommand::AskToPlace(bool InDock)
{
    if (InDock)
        Dialogs().MessageDlg(UpgradeText::PlaceInDock, mtInformation, mbOK);
    else if (FOptions.Port.isEmpty())
        Dialogs().MessageDlg(UpgradeText::PlaceInstrument, mtInformation, mbOK);
}

// The image named on the command line, once: a version question answered No
// ends the upgrade instead of asking for another file.
std::optional<QString> TFlashCommand::ChooseImage()
{
    if (FImageOffered)
        return std::nullopt;
    FImageOffered = true;
    return FOptions.Image;
}

bool TFlashCommand::ConfirmVersion(const QString& Version)
{
    return Dialogs().MessageDlg(UpgradeText::UpgradeToVersion + OutsideText::OneLine(Version), mtConfirmation,
                                mbYesNo) == mrYes;
}

bool TFlashCommand::ConfirmOlderImage()
{
    return Dialogs().MessageDlg(UpgradeText::OlderImage, mtConfirmation, mbYesNo) == mrYes;
}

// The command line never chooses the device to write to: --port names it.
int TFlashCommand::ChoosePort()
{
    return 0;
}

// ---------------------------------------------------------------- what the session tells

void TFlashCommand::StageChanged(TUpgradeStage Stage)
{
    Report(FlashReport::Stage, {{"stage", StageName(Stage)}});
    switch (Stage) {
    case TUpgradeStage::Connecting:
        Print(UpgradeText::Connecting);
        ReportWay();
        break;
    case TUpgradeStage::Online: {
        const QString version = QString::fromLatin1(FSession->FlashVersion());
        Print("Flash Version: " + OutsideText::OneLine(version));
        Report(FlashReport::Version, {{"instrument_type", "KT4 head"}, {"version", version}});
        TKeskLink* link = FSession->Link();
        if (FSession->Dock())
            break;  // the header names the dock
        if (link->UseIrSocket())
            Note("online through infrared (an IrDA socket)");
        else
            Note("online through port " +
                 (link->IrComDevice().isEmpty() ? QString("COM%1").arg(link->IrComPort()) : link->IrComDevice()));
        break;
    }
    case TUpgradeStage::Uploading:
        Print("Uploading Flash to Corvane ZRA/ZRN");
        break;
    case TUpgradeStage::Verifying:
        EndProgressLine();
        Print("Program command acknowledged: waiting for the instrument to restart");
        break;
    case TUpgradeStage::Ending:
        EndProgressLine();
        break;
    case TUpgradeStage::HandingBack:
        Note("the dock is handed back");
        break;
    default:
        break;
    }
}

void TFlashCommand::Progress(int Done, int Total, int Address)
{
    Report(FlashReport::Page, {{"done", Done}, {"total", Total}, {"resends", FSession->Resends()}});
    if (!FTty && Done % 32 != 0 && Done != Total)
        return;  // a log file gets a line now and then, a terminal every page
    const double seconds = qMax<qint64>(FSession->UploadMs(), 1) / 1000.0;
    const double rate = Done / seconds;
    const qint64 left = rate > 0 ? qint64((Total - Done) / rate) : 0;
    const QString address = QString::number(Address, 16).toUpper().rightJustified(6, '0');
    const QString line = QString("Page %1/%2  Address: %3  Elapsed %4  %5 pages/s  left %6")
                             .arg(Done)
                             .arg(Total)
                             .arg(address, Clock(qint64(seconds)))
                             .arg(rate, 0, 'f', 1)
                             .arg(Clock(left));
    std::fprintf(FOut, FTty ? "\r%s" : "%s\n", qPrintable(line));
    std::fflush(FOut);
    FProgressShown = true;
}

// Every failure on its own line on standard error, in the trace, and (for a
// shelf) as an "error" event with its code.
void TFlashCommand::Error(const TErrorInfo& Error)
{
    EndProgressLine();
    std::fprintf(stderr, "kt4-flash: %s\n", qPrintable(TerminalSafe(Error.Text)));
    std::fflush(stderr);
    Note(QString("[Error %1] %2").arg(Error.Code).arg(Error.Text));
    Report(FlashReport::Error, {{"code", Error.Code}, {"text", Error.Text}});
}

// The final message: a success's (and a cancel's) on standard output, a
// failure's on standard error, as the console back end sends error boxes.
void TFlashCommand::Finished(TUpgradeOutcome Outcome, const QString& Message)
{
    if (FOptions.Watch) {
        WatchFinished(Outcome, Message);
        return;
    }
    FStatus = StatusOf(Outcome);
    FEndMessage = Message;
    Dialogs().MessageDlg(Message, FStatus == fsCompleted || FStatus == fsCancelled ? mtInformation : mtError, mbOK);
    FLoop.exit(FStatus);
}
