#include "app/FlashCommand.h"

#include "app/FlashReport.h"
#include "app/UpgradeTexts.h"
#include "dock/CorvaneKelo6Dock.h"
#include "dock/KeloExpressDock.h"
#include "dock/MPKeloExpressDock.h"
#include "dock/USBDockDevice.h"
#include "platform/Dialogs.h"
#include "usb/USBPipe.h"

#include <QCoreApplication>
#include <QTimer>
#include <unistd.h>

namespace {

constexpr int PagesInImage = (FlashImageSize - FirstFlashAddress) / FlashPageSize;  // 446

QString Clock(qint64 Seconds)
{
    return QString("%1:%2").arg(Seconds / 60, 2, 10, QChar('0')).arg(Seconds % 60, 2, 10, QChar('0'));
}

}  // namespace

TFlashCommand::TFlashCommand(const TFlashOptions& Options, FILE* Out)
    : FOptions(Options), FOut(Out), FTty(::isatty(fileno(Out)) != 0)
{
    FLink = new TKeskLink(this);
    FLink->SetRS232BaudRate(115200);
    FLink->SetDefaultTimeOut(10);
    FHead = new TKT4Head(this);
    FHead->SetKeskLink(FLink);
    FHead->SetAnswerTimeOutMs(Options.AnswerTimeOutMs);
    FHead->OnIsOnline = [this](QObject*, bool Status) { InstrumentOnline(Status); };
    FHead->OnFlashProgress = [this](QObject*, int Position, int Total) { Progress(Position, Total); };
    FHead->OnProgFlashSent = [this](QObject*, int Error) { ProgramSent(Error); };
    FConnectTimer = new QTimer(this);
    FConnectTimer->setSingleShot(true);
    connect(FConnectTimer, &QTimer::timeout, this, [this] { ConnectTimedOut(); });
}

TFlashCommand::~TFlashCommand()
{
    if (FDock)
        FDock->SetUSBDevice(nullptr);  // the dock lets go of the device before the device goes
}

// ---------------------------------------------------------------- the dock

// The dock of the kind asked for, given to the link in its own place.
bool TFlashCommand::MakeDock()
{
    TKeloDock* dock = nullptr;
    if (FOptions.DockKind == "express") {
        auto* express = new TKeloExpressDock(this);
        FLink->SetKeloExpressDock(express);
        dock = express;
    } else if (FOptions.DockKind == "mp-express") {
        auto* multiPort = new TMPKeloExpressDock(this);
        FLink->SetMPKeloExpressDock(multiPort);
        dock = multiPort;
    } else {
        auto* kelo6 = new TCorvaneKelo6Dock(this);
        FLink->SetCorvaneKelo6Dock(kelo6);
        dock = kelo6;
    }
    FDock = dock;
    if (FOptions.Dock == "usb") {
        FUsbDevice = new TUSBDevice(this);
        FUsbDockDevice = std::make_unique<TUSBDockDevice>(FUsbDevice);
        FUsbDockDevice->SetDeviceType(dock->Description().DeviceType);
        const QStringList docks = FUsbDockDevice->RefreshDeviceList();
        if (docks.isEmpty()) {
            Print("No docks connected to the USB bus were found.");
            return false;
        }
        FUsbDockDevice->SetDeviceName(docks.first());
        dock->SetUSBDevice(FUsbDockDevice.get());
        Print("Dock: " + docks.first());
    } else {
        dock->SetEthernetAddress(FOptions.Dock);
        Print("Dock: " + FOptions.Dock);
    }
    FDockProgressTimer = new QTimer(this);
    FDockProgressTimer->setSingleShot(true);
    FDockProgressTimer->setInterval(100);
    connect(FDockProgressTimer, &QTimer::timeout, this, [this] { ShowDockProgress(); });
    return true;
}

// As the window does at Start: the dock enabled, its prompt on its display.
bool TFlashCommand::PrepareDock()
{
    FDock->SetEnabled(true);
    if (!FDock->Enabled()) {
        Print(FDock->HasUSBDevice() ? "The dock on the USB bus could not be opened."
                                    : "The dock at " + FOptions.Dock + " did not answer.");
        return false;
    }
    if (FDock->HasUSBDevice())
        FDock->SetUSBDeviceHalted(false);
    FDock->WriteLcdLine(2, " Insert KT4   ");
    FDock->WriteLcdLine(3, "   To FLASH    ");
    return true;
}

// The progress on the dock's display, at most every 100 ms.
void TFlashCommand::ShowDockProgress()
{
    if (FDock->CommandStatus() == csPending) {
        FDockProgressTimer->start();  // the dock is answering another command: a moment later
        return;
    }
    FDock->WriteLcdLine(0, "   Upgrading    ");
    FDock->WriteLcdLine(1, "KT4   " + FLastCount.toLatin1() + " ");
}

void TFlashCommand::StopPump()
{
    if (FPumpStopped || !FDock->Enabled())
        return;
    if (FDock->CommandStatus() == csPending) {
        QTimer::singleShot(100, this, [this] { StopPump(); });
        return;
    }
    FPumpStopped = true;
    if (auto* kelo6 = dynamic_cast<TCorvaneKelo6Dock*>(FDock))
        kelo6->SetPump(0, 0);
}

// The dock goes back to its own control, its first two lines blanked.
void TFlashCommand::HandDockBack()
{
    if (!FDock || !FDock->Enabled())
        return;
    if (FOnlineSeen)
        StopPump();  // an upgrade quicker than the pump's second leaves no pump running
    FDock->SetSlaveMode(false);  // "MST"
    FDock->WriteLcdLine(0, QByteArray(14, ' '));
    FDock->WriteLcdLine(1, QByteArray(14, ' '));
}

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
    FTrace->Note(QString("kt4-flash %1, image %2, port %3")
                     .arg(QCoreApplication::applicationVersion(), FOptions.Image,
                          FOptions.Port.isEmpty() ? QString("of the infrared driver (KT4_IRCOMM) or infrared")
                                                  : FOptions.Port));
    FLink->OnDebugSend = [this](QObject*, const QByteArray& Text) { FTrace->Sent(Text); };
    FLink->OnDebugReceive = [this](QObject*, const QByteArray& Text) { FTrace->Received(Text); };
    return true;
}

int TFlashCommand::Run()
{
    if (!OpenTrace())
        return fsImageRefused;
    // The image is checked before anything is sent.
    if (!FHead->LoadFlashFile(FOptions.Image)) {
        Dialogs().MessageDlg(UpgradeText::NotAFlashFile, mtError, mbOK);
        return fsImageRefused;
    }
    Print(QString("Image: version %1 (%2)")
              .arg(QString::fromLatin1(FHead->FileVersion()), QString::fromLatin1(FHead->FileDate())));
    Report(FlashReport::Image, QString::fromLatin1(FHead->FileVersion()));
    if (!FOptions.Dock.isEmpty() && !MakeDock())
        return fsNotConnected;
    if (!ConfirmStart())
        return fsCancelled;
    if (FDock && !PrepareDock())
        return fsNotConnected;
    // The link settles its way to the instrument 100 ms after it was made.
    QTimer::singleShot(150, this, [this] { StartConnecting(); });
    FLoop.exec();
    return FStatus;
}

bool TFlashCommand::ConfirmStart()
{
    if (Dialogs().MessageDlg(UpgradeText::EraseWarning, mtWarning, mbOKCancel) != mrOk)
        return false;
    if (FDock)
        Dialogs().MessageDlg(UpgradeText::PlaceInDock, mtInformation, mbOK);
    else if (FOptions.Port.isEmpty())
        Dialogs().MessageDlg(UpgradeText::PlaceInstrument, mtInformation, mbOK);
    return true;
}

void TFlashCommand::StartConnecting()
{
    if (!FOptions.Port.isEmpty()) {
        FLink->SetUseIrSocket(false);
        FLink->SetIrComPort(0);
        FLink->SetIrComDevice(FOptions.Port);
    }
    Print(UpgradeText::Connecting);
    FConnectTimer->start(FOptions.ConnectTimeOutSeconds * 1000);
    try {
        FHead->Connect(true);
    } catch (const std::exception& e) {
        Finish(fsNotConnected, QString::fromLocal8Bit(e.what()));
    }
}

void TFlashCommand::ConnectTimedOut()
{
    if (FOnlineSeen)
        return;
    FHead->Connect(false);
    Finish(fsNotConnected, "The instrument did not answer.");
}

void TFlashCommand::InstrumentOnline(bool Status)
{
    if (!Status) {
        // Deferred like the window's offline summary, so the head's own
        // handler has returned first.
        QTimer::singleShot(100, this, [this] { InstrumentOffline(); });
        return;
    }
    FOnlineSeen = true;
    FConnectTimer->stop();
    Print("Flash Version: " + QString::fromLatin1(FHead->FlashVersion()));
    Report(FlashReport::Version, QString::fromLatin1(FHead->FlashVersion()));
    if (FDock)  // the dock's pump off, a second after the instrument came online
        QTimer::singleShot(1000, this, [this] { StopPump(); });
    QTimer::singleShot(100, this, [this] { ConfirmAndSend(); });
}

void TFlashCommand::ConfirmAndSend()
{
    const QString image = QString::fromLatin1(FHead->FileVersion());
    const QString instrument = QString::fromLatin1(FHead->FlashVersion());
    const bool accepted =
        Dialogs().MessageDlg(UpgradeText::UpgradeToVersion + image, mtConfirmation, mbYesNo) == mrYes &&
        (!IsOlderImage(instrument, image) ||
         Dialogs().MessageDlg(UpgradeText::OlderImage, mtConfirmation, mbYesNo) == mrYes);
    if (!accepted) {
        FStatus = fsCancelled;
        FHead->Connect(false);
        return;
    }
    Print("Uploading Flash to Corvane ZRA/ZRN");
    FUploadStarted = true;
    FClock.start();
    FHead->SendFlash();
}

void TFlashCommand::Progress(int Position, int Total)
{
    const int done = Position / FlashPageSize - FirstFlashPage;
    const int total = Total / FlashPageSize - FirstFlashPage;
    Report(FlashReport::Page, QString("%1 %2").arg(done).arg(total));
    FLastCount = QString("%1/%2").arg(done).arg(total);
    if (FDockProgressTimer && !FDockProgressTimer->isActive())
        FDockProgressTimer->start();
    if (!FTty && done % 32 != 0 && done != total)
        return;  // a log file gets a line now and then, a terminal every page
    const double seconds = qMax<qint64>(FClock.elapsed(), 1) / 1000.0;
    const double rate = done / seconds;
    const qint64 left = rate > 0 ? qint64((total - done) / rate) : 0;
    const QString address = QString::number(Position, 16).toUpper().rightJustified(6, '0');
    const QString line = QString("Page %1/%2  Address: %3  Elapsed %4  %5 pages/s  left %6")
                             .arg(done)
                             .arg(total)
                             .arg(address, Clock(qint64(seconds)))
                             .arg(rate, 0, 'f', 1)
                             .arg(Clock(left));
    std::fprintf(FOut, FTty ? "\r%s" : "%s\n", qPrintable(line));
    std::fflush(FOut);
}

void TFlashCommand::ProgramSent(int Error)
{
    if (FTty)
        std::fprintf(FOut, "\n");
    if (Error <= 0) {
        FProgramAcknowledged = true;
        FHead->Connect(false);
        return;
    }
    Dialogs().MessageDlg(UpgradeText::ProgramFailed, mtError, mbOK);
    FHead->Connect(false);
}

void TFlashCommand::InstrumentOffline()
{
    // Only an acknowledged program command is a finished upgrade.
    if (FProgramAcknowledged)
        Finish(fsCompleted, UpgradeText::Completed);
    else
        Finish(FStatus == fsCancelled ? fsCancelled : fsFailed, UpgradeText::Disconnected);
}

void TFlashCommand::Finish(int Status, const QString& Message)
{
    if (FFinished)
        return;
    FFinished = true;
    FStatus = Status;
    if (FTrace)
        FTrace->Note(QString("finished with exit status %1").arg(Status));
    Dialogs().MessageDlg(Message, Status == fsCompleted || Status == fsCancelled ? mtInformation : mtError, mbOK);
    if (FDockProgressTimer && FDockProgressTimer->isActive()) {
        FDockProgressTimer->stop();
        ShowDockProgress();  // the last count reached
    }
    HandDockBack();
    FLoop.exit(Status);
}
