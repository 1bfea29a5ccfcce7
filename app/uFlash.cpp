#include "app/uFlash.h"

#include "app/UpgradeTexts.h"
#include "app/uDebug.h"
#include "app/HistoryDialog.h"
#include "controls/JpegImage.h"
#include "platform/Dialogs.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QTimer>
#include <QGuiApplication>
#include <QIcon>
#include <QMenuBar>
#include <QScreen>

namespace {

QLabel* MakeLabel(QWidget* Parent, const char* Name, const QString& Text, int Left, int Top)
{
    auto* label = new QLabel(Text, Parent);
    label->setObjectName(Name);
    label->move(Left, Top);
    label->adjustSize();
    return label;
}

// A label that keeps its place as its text changes length.
void AutoSize(QLabel* Label)
{
    Label->adjustSize();
}

QFrame* MakeBevel(QWidget* Parent, const char* Name, QRect Geometry, QFrame::Shadow Shadow)
{
    auto* bevel = new QFrame(Parent);
    bevel->setObjectName(Name);
    bevel->setFrameShape(QFrame::Panel);
    bevel->setFrameShadow(Shadow);
    bevel->setGeometry(Geometry);
    return bevel;
}

QString PageCount(int Done, int Total)
{
    return QString("%1/%2").arg(Done).arg(Total);
}

}  // namespace

QString VersionField(const QString& Text, int N)
{
    return VersionPart(Text, N);  // the same field rule as the version reader's
}

TfrmUpgrade::TfrmUpgrade(QWidget* Parent)
    : QMainWindow(Parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName("frmUpgrade");
    setWindowTitle("KT4 Head Upgrade Utility ");
    QFont font;
    font.setFamilies({"MS Sans Serif", "DejaVu Sans", "Sans Serif"});
    font.setPixelSize(11);  // 8 point: 13-pixel text height
    setFont(font);

    auto* client = new QWidget(this);
    client->setObjectName("ClientArea");
    client->setFixedSize(405, 352);
    setCentralWidget(client);
    CreateControls(client);
    CreateHiddenControls(client);
    CreateMenus();
    CreateComponents();
    setWindowIcon(QIcon(LoadPicture(":/pictures/instrument.jpg", QSize(57, 73))));
    setFixedSize(sizeHint());
}

void TfrmUpgrade::SetDebugWindow(TfrmDebug* DebugWindow)
{
    frmDebug = DebugWindow;
    if (frmDebug)
        frmDebug->setAttribute(Qt::WA_QuitOnClose, false);
}

void TfrmUpgrade::SetAboutBox(QWidget* AboutBox)
{
    FAboutBox = AboutBox;
    if (FAboutBox)
        FAboutBox->setAttribute(Qt::WA_QuitOnClose, false);
}

// The window's controls, in the order, at the places and with the texts of
// its design.
void TfrmUpgrade::CreateControls(QWidget* Client)
{
    lblStatus = new QLabel("Waiting", Client);
    lblStatus->setObjectName("lblStatus");
    lblStatus->setGeometry(8, 8, 393, 24);
    lblStatus->setAlignment(Qt::AlignCenter);
    QFont statusFont = font();
    statusFont.setPixelSize(19);
    lblStatus->setFont(statusFont);
    lblStatus->setStyleSheet("color: blue");

    bevInstr = MakeBevel(Client, "bevInstr", QRect(16, 80, 57, 73), QFrame::Raised);
    imgInstr = new QLabel(Client);
    imgInstr->setObjectName("imgInstr");
    imgInstr->setGeometry(16, 80, 57, 73);
    imgInstr->setScaledContents(true);
    imgInstr->setPixmap(LoadPicture(":/pictures/instrument.jpg", QSize(57, 73)));

    gbFlashInfo = new QGroupBox("Instrument Information", Client);
    gbFlashInfo->setObjectName("gbFlashInfo");
    gbFlashInfo->setGeometry(232, 48, 153, 161);
    lblFlashVer = MakeLabel(gbFlashInfo, "lblFlashVer", "Flash Version:", 17, 24);
    lblFlashNewVer = MakeLabel(gbFlashInfo, "lblFlashNewVer", "Upgrading to:", 16, 52);
    lblFlashNewDate = MakeLabel(gbFlashInfo, "lblFlashNewDate", "(Flash Date)", 16, 72);

    cbStart = new QPushButton("Start", Client);
    cbStart->setObjectName("cbStart");
    cbStart->setGeometry(160, 256, 97, 25);
    connect(cbStart, &QPushButton::clicked, this, [this] { cbStartClick(); });
    cbStop = new QPushButton("Stop", Client);
    cbStop->setObjectName("cbStop");
    cbStop->setGeometry(280, 256, 105, 25);
    cbStop->setEnabled(false);
    connect(cbStop, &QPushButton::clicked, this, [this] { cbStopClick(); });

    pnlGauge = MakeBevel(Client, "pnlGauge", QRect(16, 290, 369, 17), QFrame::Sunken);
    pnlGauge->setLineWidth(1);
    gauProgress = new TGauge(pnlGauge);
    gauProgress->setObjectName("gauProgress");
    gauProgress->setGeometry(pnlGauge->contentsRect());
    gauProgress->SetBorderStyle(bsNone);
    gauProgress->SetBackColor(QColor(0xC8, 0xC8, 0xC8));  // scroll-bar grey
    gauProgress->SetForeColor(QColor(0, 0, 128));         // navy
    gauProgress->SetColor(palette().color(QPalette::Highlight));
    gauProgress->SetProgress(0);

    pnlLeds = MakeBevel(Client, "pnlLeds", QRect(16, 310, 33, 17), QFrame::Sunken);
    ledTransmit = new TLumLed(pnlLeds);
    ledTransmit->setObjectName("ledTransmit");
    ledTransmit->setGeometry(0, 0, 15, 15);
    ledReceive = new TLumLed(pnlLeds);
    ledReceive->setObjectName("ledReceive");
    ledReceive->setGeometry(16, 0, 15, 15);

    lblPageNum = MakeLabel(Client, "lblPageNum", "Sending PAGE", 72, 310);
    lbl_DLProgress = MakeLabel(Client, "lbl_DLProgress", "0/446", 152, 310);
    lblFlashAddr = MakeLabel(Client, "lblFlashAddr", "Address:", 224, 310);
    lblTime = MakeLabel(Client, "lblTime", "Time", 328, 310);
    setTabOrder(cbStart, cbStop);
}

// Controls of the dock option and of a file choice that nothing shows.
void TfrmUpgrade::CreateHiddenControls(QWidget* Client)
{
    bevDock = MakeBevel(Client, "bevDock", QRect(104, 80, 57, 73), QFrame::Raised);
    imgDock = new QLabel(Client);
    imgDock->setObjectName("imgDock");
    imgDock->setGeometry(104, 80, 57, 73);
    imgDock->setScaledContents(true);
    imgDock->setPixmap(LoadPicture(":/pictures/dock.jpg", QSize(57, 73)));
    chkUseKelo6 = new QCheckBox("Use Dock", Client);
    chkUseKelo6->setObjectName("chkUseKelo6");
    chkUseKelo6->move(16, 160);
    UseWeb = new QCheckBox("Use Web", Client);
    UseWeb->setObjectName("UseWeb");
    UseWeb->move(144, 160);
    edtIpAddr = new QLineEdit("192.168.1.50", Client);  // a remote dock on the local network
    edtIpAddr->setObjectName("edtIpAddr");
    edtIpAddr->setGeometry(16, 184, 145, 21);
    ComboBox1 = new QComboBox(Client);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->move(16, 184);
    ComboBox1->setEnabled(false);
    lblEthernetDockList = MakeLabel(Client, "lblEthernetDockList", "Ethernet Availiable Docks List", 16, 208);
    cboDockList = new QComboBox(Client);
    cboDockList->setObjectName("cboDockList");
    cboDockList->setGeometry(16, 224, 217, 21);
    cbLoadFlash = new QPushButton("Load File", Client);
    cbLoadFlash->setObjectName("cbLoadFlash");
    cbLoadFlash->setGeometry(56, 256, 73, 25);
    connect(cbLoadFlash, &QPushButton::clicked, this, [this] { cbLoadFlashClick(); });
    connect(chkUseKelo6, &QCheckBox::clicked, this, [this] { chkUseKelo6Click(); });
    connect(cboDockList, &QComboBox::activated, this, [this] { cboDockListChange(); });
    for (QWidget* w : std::initializer_list<QWidget*>{bevDock, imgDock, chkUseKelo6, UseWeb, edtIpAddr, ComboBox1,
                                                       lblEthernetDockList, cboDockList, cbLoadFlash})
        w->setVisible(false);
}

void TfrmUpgrade::CreateMenus()
{
    mnuHelp = menuBar()->addMenu("Help");
    connect(mnuHelp->addAction("Upgrade History…"), &QAction::triggered, this, [this] { ShowUpgradeHistory(this); });
    mnuAbout = mnuHelp->addAction("About...");
    connect(mnuAbout, &QAction::triggered, this, [this] {
        if (FAboutBox) {
            FAboutBox->show();
            FAboutBox->raise();
        }
    });
    PopupMenu1 = new QMenu(this);
    mnuDebugWindow = PopupMenu1->addAction("Debug Window");
    connect(mnuDebugWindow, &QAction::triggered, this, [this] {
        if (frmDebug) {
            frmDebug->show();
            frmDebug->raise();
        }
    });
    mnuExit = PopupMenu1->addAction("Exit");
    // Ends at once: no question, no close handling.
    connect(mnuExit, &QAction::triggered, this, [] { QCoreApplication::exit(0); });
}

// The non-visual components with their design-time values, wired in one place.
void TfrmUpgrade::CreateComponents()
{
    KeskLink1 = new TKeskLink(this);
    KeskLink1->SetInstrumentType(tpKT4Head);
    KeskLink1->SetRS232Port(1);
    KeskLink1->SetRS232BaudRate(115200);
    KeskLink1->SetDefaultTimeOut(10);
    KeskLink1->SetLogging(tlOff);
    KeskLink1->OnDebugSend = [this](QObject*, const QByteArray& Data) { KeskLink1DebugSend(Data); };
    KeskLink1->OnDebugReceive = [this](QObject*, const QByteArray& Data) { KeskLink1DebugReceive(Data); };

    KT4Head1 = new TKT4Head(this);
    KT4Head1->SetKeskLink(KeskLink1);
    KT4Head1->OnIsOnline = [this](QObject*, bool Status) { KT4Head1IsOnline(Status); };
    KT4Head1->OnFlashProgress = [this](QObject*, int Position, int Total) { KT4Head1FlashProgress(Position, Total); };
    KT4Head1->OnProgFlashSent = [this](QObject*, int Error) { KT4Head1ProgFlashSent(Error); };

    AppInfo = new TEPInfoExe(this);
    AppInfo->SetLangId("0409");

    USBDevice1 = new TUSBDevice(this);
    USBDevice1->SetReceiveBufferSize(szAuto);
    USBDevice1->SetDeviceType(tpCorvaneKelo6);
    USBDevice1->SetUseWindowsMsgs(false);
    FUSBDock = std::make_unique<TUSBDockDevice>(USBDevice1);
    CorvaneKelo6Dock1 = new TCorvaneKelo6Dock(this);
    CorvaneKelo6Dock1->SetUSBDevice(FUSBDock.get());
    CorvaneKelo6Dock1->SetEnabled(false);
    CorvaneKelo6Dock1->SetCommandTimeOut(10000);
    CorvaneKelo6Dock1->SetDockState(Cmd_Enq);
    CorvaneKelo6Dock1->OnDeviceRemoved = [this](QObject*) { CorvaneKelo6Dock1DeviceRemoved(); };
    DockEnumerator1 = new TDockEnumerator(this);
    DockEnumerator1->SetDockType(TPDockType::tpMP_KeloExpress);
    DockEnumerator1->OnListChanged = [this](QObject*) { DockEnumerator1ListChanged(); };

    tmrUpdateTime = new TTimer(this);
    tmrUpdateTime->SetInterval(1000);
    tmrUpdateTime->OnTimer = [this](QObject*) { tmrUpdateTimeTimer(); };
    tmrStartInstrFlashing = new TTimer(this);
    tmrStartInstrFlashing->SetInterval(100);
    tmrStartInstrFlashing->OnTimer = [this](QObject*) { tmrStartInstrFlashingTimer(); };
    tmrInstrOffLine = new TTimer(this);
    tmrInstrOffLine->SetInterval(100);
    tmrInstrOffLine->OnTimer = [this](QObject*) { tmrInstrOffLineTimer(); };
    tmrStopPump = new TTimer(this);
    tmrStopPump->SetInterval(1000);
    tmrStopPump->OnTimer = [this](QObject*) { tmrStopPumpTimer(); };
    tmrUpdateDockProg = new TTimer(this);
    tmrUpdateDockProg->SetInterval(100);
    tmrUpdateDockProg->OnTimer = [this](QObject*) { tmrUpdateDockProgTimer(); };
}

TfrmUpgrade::~TfrmUpgrade()
{
    // The dock goes first: it still speaks to its USB device and the link to it.
    KeskLink1->SetCorvaneKelo6Dock(nullptr);
    CorvaneKelo6Dock1->SetUSBDevice(nullptr);
    delete CorvaneKelo6Dock1;
    CorvaneKelo6Dock1 = nullptr;
    FUSBDock.reset();
}

// ------------------------------------------------------------ window

void TfrmUpgrade::showEvent(QShowEvent* Event)
{
    QMainWindow::showEvent(Event);
    if (!FShownOnce) {
        FShownOnce = true;
        if (auto* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    }
    FormShow();
}

void TfrmUpgrade::FormShow()
{
    AppInfo->SetExeName(QCoreApplication::applicationFilePath());
    AppInfo->ReadVersionInfo();
    const QString version = AppInfo->FileVersion();
    setWindowTitle("Corvane ZRA/ZRN Upgrade " + VersionField(version, 1) + "." + VersionField(version, 2) +
                   " - (Flash Mode)");
    mnuAbout->setText("About Corvane ZRA/ZRN Upgrade...");
}

void TfrmUpgrade::contextMenuEvent(QContextMenuEvent* Event)
{
    PopupMenu1->popup(Event->globalPos());
}

void TfrmUpgrade::closeEvent(QCloseEvent* Event)
{
    FormClose();
    QMainWindow::closeEvent(Event);
}

void TfrmUpgrade::ShowBusy()
{
    for (QWidget* w : std::initializer_list<QWidget*>{this, gbFlashInfo, cbStop, gauProgress, pnlLeds, ComboBox1})
        w->setCursor(Qt::BusyCursor);
}

void TfrmUpgrade::ShowIdle()
{
    for (QWidget* w : std::initializer_list<QWidget*>{this, gbFlashInfo, cbStop, gauProgress, pnlLeds, ComboBox1})
        w->unsetCursor();
}

void TfrmUpgrade::BringToFront()
{
    raise();
    activateWindow();
}

// ------------------------------------------------------------ traffic log

void TfrmUpgrade::LogTraffic(const QString& Entry)
{
    if (frmDebug)
        frmDebug->AddLine(Entry);
    ledReceive->SetLedisOn(!ledReceive->LedisOn());
    ledTransmit->SetLedisOn(!ledReceive->LedisOn());
}

void TfrmUpgrade::KeskLink1DebugSend(const QByteArray& Data)
{
    LogTraffic("SND#" + QString::fromLatin1(Data) + "#");
}

void TfrmUpgrade::KeskLink1DebugReceive(const QByteArray& Data)
{
    LogTraffic("RCV#" + QString::fromLatin1(Data) + "#");
}

void TfrmUpgrade::tmrUpdateTimeTimer()
{
    ++ElapsedSeconds;
    lblTime->setText(QString::asprintf("Time: %d:%2.2d", ElapsedSeconds / 60, ElapsedSeconds % 60));
    AutoSize(lblTime);
}

// ------------------------------------------------------------ the upgrade

// Every modal box on this road runs the event loop while it is open: the
// instrument may come online (and a whole upload run) or go offline under it.
// After each box the road goes on only if nothing has moved on meanwhile.
void TfrmUpgrade::StartFlashUpload()
{
    const int stage = NextStage();
    FileLoaded = false;
    if (frmDebug)
        frmDebug->Clear();
    ElapsedSeconds = 0;
    FirstPage = 66;
    CorvaneKelo6Dock1->SetEthernetAddress(edtIpAddr->text());
    if (Dialogs().MessageDlg(UpgradeText::EraseWarning, mtWarning, mbOKCancel) != mrOk || !StillAt(stage))
        return;
    if (UseDock()) {
        PrepareDock();
        if (!StillAt(stage))
            return;
        Dialogs().MessageDlg(UpgradeText::PlaceInDock, mtInformation, mbOK);
    } else {
        Dialogs().MessageDlg(UpgradeText::PlaceInstrument, mtInformation, mbOK);
    }
    if (!StillAt(stage))
        return;
    lblStatus->setText(UpgradeText::Connecting);
    KT4Head1->Connect(true);
}

void TfrmUpgrade::KT4Head1IsOnline(bool Status)
{
    NextStage();
    if (Status) {
        lblStatus->setText("Connected...");
        tmrStartInstrFlashing->Restart();
        if (UseDock())
            tmrStopPump->Restart();
    } else {
        tmrInstrOffLine->Restart();
    }
}

void TfrmUpgrade::tmrStartInstrFlashingTimer()
{
    tmrStartInstrFlashing->SetEnabled(false);
    const int stage = NextStage();
    lblStatus->setText("Connected");
    ShowBusy();
    cbStart->setEnabled(false);
    cbStop->setEnabled(true);
    lblFlashVer->setText("Flash Version: " + QString::fromLatin1(KT4Head1->FlashVersion()));
    AutoSize(lblFlashVer);
    repaint();
    LoadImageFile();
    if (!StillAt(stage))
        return;  // the instrument went offline while the operator chose (the summary has been shown)
    // Only an acknowledged program command makes the upload a finished one:
    // an instrument lost on the way ends as disconnected.
    UploadDone = false;
    if (!KT4Head1->OnLine())
        return;  // lost while the file was chosen: the offline summary follows
    if (FileLoaded) {
        lblStatus->setText("Uploading Flash to Corvane ZRA/ZRN");
        tmrUpdateTime->SetEnabled(true);
        KT4Head1->SendFlash();
    } else {
        KT4Head1->Connect(false);
    }
}

bool TfrmUpgrade::AcceptImage(const QString& FileName)
{
    FileLoaded = KT4Head1->LoadFlashFile(FileName);
    if (!FileLoaded) {
        Dialogs().MessageDlg(UpgradeText::NotAFlashFile, mtError, mbOK);
        BringToFront();
        return false;
    }
    NewVersion = QString::fromLatin1(KT4Head1->FileVersion());
    NewDate = QString::fromLatin1(KT4Head1->FileDate());
    BringToFront();
    return true;
}

void TfrmUpgrade::LoadImageFile()
{
    const int stage = FStage;
    auto movedOn = [&] {
        if (StillAt(stage))
            return false;
        FileLoaded = false;
        return true;
    };
    for (;;) {
        const std::optional<QString> file = Dialogs().OpenFile(OpenDialog1Filter);
        if (movedOn() || !file)
            return;
        if (!AcceptImage(*file) || movedOn())
            return;  // a refused file ends the choice: the dialog is not offered again
        const bool yes =
            Dialogs().MessageDlg(UpgradeText::UpgradeToVersion + NewVersion, mtConfirmation, mbYesNo) == mrYes;
        if (movedOn())
            return;
        if (!yes) {
            FileLoaded = false;
            continue;
        }
        const QString instrument = QString::fromLatin1(KT4Head1->FlashVersion());
        if (IsOlderImage(instrument, NewVersion)) {
            const bool proceed = Dialogs().MessageDlg(UpgradeText::OlderImage, mtConfirmation, mbYesNo) == mrYes;
            if (movedOn())
                return;
            if (!proceed) {
                FileLoaded = false;
                continue;
            }
        }
        break;
    }
    lblFlashNewVer->setText("Upgrading to: " + NewVersion);
    AutoSize(lblFlashNewVer);
    lblFlashNewDate->setText("(" + NewDate + ")");
    AutoSize(lblFlashNewDate);
}

void TfrmUpgrade::KT4Head1FlashProgress(int Position, int Total)
{
    if (UseDock())
        tmrUpdateDockProg->SetEnabled(true);  // a running timer is not restarted: it shows the count it finds
    lblFlashAddr->setText("Address: " + QString::number(Position, 16).toUpper().rightJustified(6, '0'));
    AutoSize(lblFlashAddr);
    const int done = Position / 256 - FirstPage;
    const int total = Total / 256 - FirstPage;
    gauProgress->SetMaxValue(total);
    gauProgress->SetProgress(done);
    lbl_DLProgress->setText(PageCount(done, total));
    AutoSize(lbl_DLProgress);
}

void TfrmUpgrade::KT4Head1ProgFlashSent(int Error)
{
    KT4Head1->Connect(false);
    if (Error <= 0) {
        UploadDone = true;
    } else {
        UploadDone = false;
        Dialogs().MessageDlg(UpgradeText::ProgramFailed, mtError, mbOK);
    }
}

void TfrmUpgrade::cbStopClick()
{
    UploadDone = false;
    KT4Head1->Connect(false);
}

void TfrmUpgrade::tmrInstrOffLineTimer()
{
    tmrInstrOffLine->SetEnabled(false);
    NextStage();
    ShowIdle();
    lblStatus->setText("Waiting");
    cbStart->setEnabled(true);
    cbStop->setEnabled(false);
    tmrUpdateTime->SetEnabled(false);
    lblFlashVer->setText("Flash Version:");
    lblFlashNewVer->setText("Upgrading to:");
    lblFlashNewDate->setText("(Flash Date)");
    for (QLabel* l : {lblFlashVer, lblFlashNewVer, lblFlashNewDate})
        AutoSize(l);
    QString message = UpgradeText::Disconnected;
    if (UploadDone) {
        UploadDone = false;
        message = UpgradeText::Completed;
    }
    Dialogs().MessageDlg(message, mtInformation, mbOK);
    gauProgress->SetProgress(0);
}

// ------------------------------------------------------------ the dock option

void TfrmUpgrade::chkUseKelo6Click()
{
    KeskLink1->SetKeloExpressDock(nullptr);
    KeskLink1->SetMPKeloExpressDock(nullptr);
    if (!UseDock()) {
        for (QWidget* w : std::initializer_list<QWidget*>{edtIpAddr, cboDockList, lblEthernetDockList})
            w->setVisible(false);
        KeskLink1->SetCorvaneKelo6Dock(nullptr);
        return;
    }
    KeskLink1->SetCorvaneKelo6Dock(CorvaneKelo6Dock1);
    USBDevice1->RefreshDeviceList();
    const QStringList docks = USBDevice1->DeviceList();
    if (docks.isEmpty()) {
        Dialogs().MessageDlg(UpgradeText::NoUsbDock, mtInformation, mbOK);
        SwitchToNetworkDock();
        return;
    }
    if (Dialogs().MessageDlg(UpgradeText::UseUsbDock, mtConfirmation, mbYesNo) == mrYes) {
        if (USBDevice1->DeviceName().isEmpty())
            USBDevice1->SetDeviceName(docks.first());
        CorvaneKelo6Dock1->SetUSBDevice(FUSBDock.get());
        return;
    }
    SwitchToNetworkDock();
    Dialogs().MessageDlg(UpgradeText::EnterDockAddress, mtInformation, mbOK);
}

// The dock is reached over the network at the address given at Start.
void TfrmUpgrade::SwitchToNetworkDock()
{
    for (QWidget* w : std::initializer_list<QWidget*>{edtIpAddr, cboDockList, lblEthernetDockList})
        w->setVisible(true);
    CorvaneKelo6Dock1->SetUSBDevice(nullptr);
    DockEnumerator1->StartEnumeration();
}

void TfrmUpgrade::DockEnumerator1ListChanged()
{
    cboDockList->clear();
    cboDockList->addItems(DockEnumerator1->DockNames());
}

void TfrmUpgrade::cboDockListChange()
{
    const int index = cboDockList->currentIndex();
    if (index >= 0 && index < DockEnumerator1->DockAddresses().size())
        edtIpAddr->setText(DockEnumerator1->DockAddresses().at(index));
}

// Before the dock's prompt: the dock enabled and asking for the instrument on
// its display.
void TfrmUpgrade::PrepareDock()
{
    CorvaneKelo6Dock1->SetEnabled(true);
    if (CorvaneKelo6Dock1->HasUSBDevice())
        CorvaneKelo6Dock1->SetUSBDeviceHalted(false);
    CorvaneKelo6Dock1->WriteLcdLine(2, " Insert KT4   ");
    CorvaneKelo6Dock1->WriteLcdLine(3, "   To FLASH    ");
}

// The dock answers one command at a time: a timer that finds it answering
// another one tries again a moment later rather than being refused.
void TfrmUpgrade::tmrStopPumpTimer()
{
    tmrStopPump->SetEnabled(false);
    if (CorvaneKelo6Dock1->CommandPending()) {
        QTimer::singleShot(100, this, [this] { tmrStopPumpTimer(); });
        return;
    }
    CorvaneKelo6Dock1->SetPump(0, 0);
}

void TfrmUpgrade::tmrUpdateDockProgTimer()
{
    tmrUpdateDockProg->SetEnabled(false);
    if (CorvaneKelo6Dock1->CommandPending()) {
        tmrUpdateDockProg->SetEnabled(true);
        return;
    }
    CorvaneKelo6Dock1->WriteLcdLine(0, "   Upgrading    ");
    CorvaneKelo6Dock1->WriteLcdLine(1, "KT4   " + lbl_DLProgress->text().toLatin1() + " ");
}

// An enabled dock goes back to its own control, its first two lines blank.
void TfrmUpgrade::FormClose()
{
    if (!CorvaneKelo6Dock1->Enabled())
        return;
    bool busy = false;
    CorvaneKelo6Dock1->SetSlaveMode(false, busy);
    CorvaneKelo6Dock1->WriteLcdLine(0, QByteArray(14, ' '));
    CorvaneKelo6Dock1->WriteLcdLine(1, QByteArray(14, ' '));
}
