#include "app/FlashCommand.h"

#include "app/FlashReport.h"
#include "upgrade/UpgradeTexts.h"

#include <QCoreApplication>
#include <QTimer>
#include <unistd.h>

namespace {

// The link settles its way to the instrument 100 ms after it was made.
constexpr int SettleMs = 150;

QString Clock(qint64 Seconds)
{
    return QString("%1:%2").arg(Seconds / 60, 2, 10, QChar('0')).arg(Seconds % 60, 2, 10, QChar('0'));
}

}  // namespace

int StatusOf(TUpgradeOutcome Outcome)
{
    switch (Outcome) {
    case TUpgradeOutcome::Completed:
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
    FSession->SetSettings(settings);
    FSession->OnStageChanged = [this](QObject*, TUpgradeStage Stage) { StageChanged(Stage); };
    FSession->OnProgress = [this](QObject*, int Done, int Total, int Address) { Progress(Done, Total, Address); };
    FSession->OnError = [this](QObject*, const TErrorInfo& E) { Error(E); };
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

void TFlashCommand::Report(const char* Key, const QString& Value)
{
    if (!FOptions.Report)
        return;
    std::fprintf(FOptions.Report, "%s\n", FlashReport::Line(Key, Value).constData());
    std::fflush(FOptions.Report);
}

void TFlashCommand::BoxShown(TMsgDlgType Type, const QString& Text)
{
    const QString kind = FlashReport::KindName(Type);
    if (FTrace)
        FTrace->Note(QString("[%1] %2").arg(kind, Text));
    Report(FlashReport::Box, kind + ' ' + Text);
}

// The trace starts before anything is sent, so that it holds every text.
bool TFlashCommand::OpenTrace()
{
    if (FOptions.TraceFile.isEmpty())
        return true;
    FTrace = std::make_unique<TTraceFile>(FOptions.TraceFile);
    if (!FTrace->Ok()) {
        std::fprintf(stderr, "kt4-flash: cannot write the trace %s: %s\n", qPrintable(FOptions.TraceFile),
                     qPrintable(FTrace->ErrorString()));
        FTrace.reset();
        return false;
    }
    const QString way = !FOptions.Dock.isEmpty()
                            ? QString("dock %1 (%2)").arg(FOptions.Dock == "usb" ? "on the USB bus" : FOptions.Dock,
                                                          FOptions.DockKind)
                        : FOptions.Port.isEmpty() ? QString("port of the infrared driver (KT4_IRCOMM) or infrared")
                                                  : "port " + FOptions.Port;
    FTrace->Note(QString("kt4-flash %1, image %2, %3").arg(QCoreApplication::applicationVersion(), FOptions.Image, way));
    TKeskLink* link = FSession->Link();
    link->OnDebugSend = [this](QObject*, const QByteArray& Text) { FTrace->Sent(Text); };
    link->OnDebugReceive = [this](QObject*, const QByteArray& Text) { FTrace->Received(Text); };
    return true;
}

int TFlashCommand::Run()
{
    if (!OpenTrace())
        return fsImageRefused;
    // The image is checked before anything is sent.
    TKT4Head* head = FSession->Head();
    if (!head->LoadFlashFile(FOptions.Image)) {
        Dialogs().MessageDlg(UpgradeText::NotAFlashFile, mtError, mbOK);
        return fsImageRefused;
    }
    Print(QString("Image: version %1 (%2)")
              .arg(QString::fromLatin1(head->FileVersion()), QString::fromLatin1(head->FileDate())));
    Report(FlashReport::Image, QString::fromLatin1(head->FileVersion()));
    if (!FOptions.Dock.isEmpty()) {
        if (!FSession->MakeDock(FSession->Settings()))
            return fsNotConnected;
        Print("Dock: " + (FOptions.Dock == "usb" ? FSession->Dock()->USBDevice()->DeviceName() : FOptions.Dock));
    }
    bool started = true;
    QTimer::singleShot(SettleMs, this, [this, &started] {
        if (!FSession->Start()) {
            started = false;
            FLoop.exit(fsCancelled);
        }
    });
    const int status = FLoop.exec();
    return started ? FStatus : status;
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
    return Dialogs().MessageDlg(UpgradeText::UpgradeToVersion + Version, mtConfirmation, mbYesNo) == mrYes;
}

bool TFlashCommand::ConfirmOlderImage()
{
    return Dialogs().MessageDlg(UpgradeText::OlderImage, mtConfirmation, mbYesNo) == mrYes;
}

// ---------------------------------------------------------------- what the session tells

void TFlashCommand::StageChanged(TUpgradeStage Stage)
{
    switch (Stage) {
    case TUpgradeStage::Connecting:
        Print(UpgradeText::Connecting);
        break;
    case TUpgradeStage::Online: {
        const QString version = QString::fromLatin1(FSession->FlashVersion());
        Print("Flash Version: " + version);
        Report(FlashReport::Version, version);
        break;
    }
    case TUpgradeStage::Uploading:
        Print("Uploading Flash to Corvane ZRA/ZRN");
        break;
    case TUpgradeStage::Ending:
        if (FTty && FProgressShown)
            std::fprintf(FOut, "\n");
        FProgressShown = false;
        break;
    default:
        break;
    }
}

void TFlashCommand::Progress(int Done, int Total, int Address)
{
    Report(FlashReport::Page, QString("%1 %2").arg(Done).arg(Total));
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
// shelf) as an "error" report line with its code.
void TFlashCommand::Error(const TErrorInfo& Error)
{
    if (FTty && FProgressShown) {
        std::fprintf(FOut, "\n");
        FProgressShown = false;
    }
    std::fprintf(stderr, "kt4-flash: %s\n", qPrintable(TerminalSafe(Error.Text)));
    std::fflush(stderr);
    if (FTrace)
        FTrace->Note(QString("[Error %1] %2").arg(Error.Code).arg(Error.Text));
    Report(FlashReport::Error, QString("%1 %2").arg(Error.Code).arg(Error.Text));
}

void TFlashCommand::Finished(TUpgradeOutcome Outcome, const QString& Message)
{
    FStatus = StatusOf(Outcome);
    Dialogs().MessageDlg(Message, FStatus == fsCompleted || FStatus == fsCancelled ? mtInformation : mtError, mbOK);
    if (FTrace)
        FTrace->Note(QString("finished with exit status %1").arg(FStatus));
    FLoop.exit(FStatus);
}
