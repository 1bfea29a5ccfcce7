#include "app/uFlash.h"

#include "upgrade/UpgradeTexts.h"
#include "app/uDebug.h"
#include "app/HistoryDialog.h"
#include "controls/JpegImage.h"
#include "link/ComPorts.h"
#include "platform/Dialogs.h"
#include "platform/OutsideText.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QTimer>
#include <QGuiApplication>
#include <QIcon>
#include <QAbstractItemView>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace {

QLabel* MakeLabel(QWidget* Parent, const char* Name, const QString& Text, int Left, int Top)
{
    auto* label = new QLabel(Parent);
    label->setObjectName(Name);
    label->setTextFormat(Qt::PlainText);  // some show outside text: never read as markup
    label->setText(Text);
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

// A dock list entry is the dock's name and its address ("MP KeloExpress
// (Kelo6) 127.0.10.1"): where the closed list is too narrow for it, the name
// is shortened and the address kept whole, so that two docks never look
// alike; the open list is as wide as its longest entry.
class TDockListCombo : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionComboBox option;
        initStyleOption(&option);
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
        option.currentText = DockListEntryShown(option.currentText, fontMetrics(), field.width() - 4);
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    }

    void showPopup() override
    {
        QAbstractItemView* list = view();
        const int wanted = list->sizeHintForColumn(0) + 2 * list->frameWidth() +
                           (count() > maxVisibleItems() ? list->verticalScrollBar()->sizeHint().width() : 0) + 8;
        list->setMinimumWidth(qMax(width(), wanted));
        QComboBox::showPopup();
    }

};

// A dock list entry: the dock's name (as it answered the search), then the
// address that choosing the entry uses, its sender's; a name that already
// ends in that address is shown as it is.
QString DockListEntry(const QString& Name, const QString& Address)
{
    return Name.endsWith(' ' + Address) ? Name : Name + ' ' + Address;
}

QString PageCount(int Done, int Total)
{
    return QString("%1/%2").arg(Done).arg(Total);
}

// The session's own failures are errors, and so are the serial port's met on
// the way (as the error display showed them); the other components' are plain
// boxes.
TMsgDlgType BoxKind(int Code)
{
    const bool error = Code == ecSessionImageRefused || Code == ecSessionProgramFailed || Code == ecLinkPortLost ||
                       Code == ecLinkPortWrite || Code == ecLinkDataHandler;
    return error ? mtError : mtCustom;
}

}  // namespace

QString DockListEntryShown(const QString& Entry, const QFontMetrics& Metrics, int Width)
{
    if (Metrics.horizontalAdvance(Entry) <= Width)
        return Entry;
    const qsizetype blank = Entry.lastIndexOf(' ');
    if (blank <= 0)
        return Metrics.elidedText(Entry, Qt::ElideLeft, Width);
    const QString address = Entry.mid(blank);  // with its blank
    const int room = Width - Metrics.horizontalAdvance(address);
    if (room < Metrics.horizontalAdvance(QChar(0x2026)) * 2)
        return Metrics.elidedText(Entry, Qt::ElideLeft, Width);
    return Metrics.elidedText(Entry.left(blank), Qt::ElideRight, room) + address;
}

QString VersionField(const QString& Text, int N)
{
    return VersionPart(Text, N);  // the same field rule as the version reader's
}

TfrmUpgrade::TfrmUpgrade(QWidget* Parent)
    : QMainWindow(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                              Qt::MSWindowsFixedSizeDialogHint)
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
    lblStatus = new QLabel(Client);
    lblStatus->setObjectName("lblStatus");
    lblStatus->setTextFormat(Qt::PlainText);
    lblStatus->setText("Waiting");
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
    lblEthernetDockList = MakeLabel(Client, "lblEthernetDockList", "Ethernet Available Docks List", 16, 208);
    cboDockList = new TDockListCombo(Client);
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
            if (!frmDebug->isVisible() && !frmDebug->Placed())
                frmDebug->PlaceBeside(this);  // the first time; later where the operator left it
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
    // The link (tpKT4Head, RS232 port 1 at 115200, time-out 10, no trace) and
    // the head model are the session's; the window listens to the traffic.
    Session = new TUpgradeSession(*this, this);
    TUpgradeSettings settings;
    settings.HandBackAtEnd = false;  // the window hands the dock back when it closes
    settings.ChecksumBesideImage = true;  // a release's IMAGE.sha256 beside the chosen image is checked
    Session->SetSettings(settings);
    KeskLink1 = Session->Link();
    KeskLink1->OnDebugSend = [this](QObject*, const QByteArray& Data) { KeskLink1DebugSend(Data); };
    KeskLink1->OnDebugReceive = [this](QObject*, const QByteArray& Data) { KeskLink1DebugReceive(Data); };
    KT4Head1 = Session->Head();
    Session->OnStageChanged = [this](QObject*, TUpgradeStage Stage) { SessionStageChanged(Stage); };
    Session->OnImageAccepted = [this](QObject*) { SessionImageAccepted(); };
    Session->OnProgress = [this](QObject*, int Done, int Total, int Address) { SessionProgress(Done, Total, Address); };
    Session->OnError = [this](QObject*, const TErrorInfo& Error) { SessionError(Error); };
    Session->OnFinished = [this](QObject*, TUpgradeOutcome, const QString& Message) { SessionFinished(Message); };
    Session->OnNote = [this](QObject*, const QString& Text) {
        if (frmDebug)
            frmDebug->AddLine("# " + OutsideText::Lines(Text, ' '));
    };

    AppInfo = new TEPInfoExe(this);
    AppInfo->SetLangId("0409");

    DockEnumerator1 = new TDockEnumerator(this);
    DockEnumerator1->SetDockType(TDockFamily::tpMPKeloExpress);
    DockEnumerator1->OnListChanged = [this](QObject*) { DockEnumerator1ListChanged(); };

    tmrUpdateTime = new TTimer(this);
    tmrUpdateTime->SetInterval(1000);
    tmrUpdateTime->OnTimer = [this](QObject*) { tmrUpdateTimeTimer(); };
}

TfrmUpgrade::~TfrmUpgrade() = default;

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

// The close completes once the dock has been handed back (or its bound has
// passed): the window goes, and with it the program.
void TfrmUpgrade::closeEvent(QCloseEvent* Event)
{
    if (FClosed) {
        QMainWindow::closeEvent(Event);
        return;
    }
    Event->ignore();
    if (FClosing)
        return;
    FClosing = true;
    FormClose();
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

// Start: what the window itself resets, then the session's road.
void TfrmUpgrade::StartFlashUpload()
{
    if (frmDebug)
        frmDebug->Clear();
    ElapsedSeconds = 0;
    if (UseDock() && !MakeDock())
        return;
    Session->Start();
}

// The session's Kelo6 dock, on the USB bus or at the address in the field.
bool TfrmUpgrade::MakeDock()
{
    TUpgradeSettings settings = Session->Settings();
    settings.DockKind = "kelo6";
    settings.UsbDock = FUsbDockChosen;
    settings.DockAddress = edtIpAddr->text();
    if (!Session->MakeDock(settings))
        return false;
    Session->Dock()->OnDeviceRemoved = [this](QObject*) { CorvaneKelo6Dock1DeviceRemoved(); };
    return true;
}

void TfrmUpgrade::cbStopClick()
{
    Session->Stop();
}

bool TfrmUpgrade::ConfirmErase()
{
    return Dialogs().MessageDlg(UpgradeText::EraseWarning, mtWarning, mbOKCancel) == mrOk;
}

void TfrmUpgrade::AskToPlace(bool InDock)
{
    Dialogs().MessageDlg(InDock ? UpgradeText::PlaceInDock : UpgradeText::PlaceInstrument, mtInformation, mbOK);
}

std::optional<QString> TfrmUpgrade::ChooseImage()
{
    const std::optional<QString> file = Dialogs().OpenFile(OpenDialog1Filter);
    if (file)
        BringToFront();
    return file;
}

bool TfrmUpgrade::ConfirmVersion(const QString& Version)
{
    return Dialogs().MessageDlg(UpgradeText::UpgradeToVersion + OutsideText::OneLine(Version), mtConfirmation,
                                mbYesNo) == mrYes;
}

bool TfrmUpgrade::ConfirmOlderImage()
{
    return Dialogs().MessageDlg(UpgradeText::OlderImage, mtConfirmation, mbYesNo) == mrYes;
}

int TfrmUpgrade::ChoosePort()
{
    return Dialogs().SelectComPort(AvailableComPorts());
}

void TfrmUpgrade::SessionStageChanged(TUpgradeStage Stage)
{
    switch (Stage) {
    case TUpgradeStage::Connecting:
        lblStatus->setText(UpgradeText::Connecting);
        break;
    case TUpgradeStage::Online:
        lblStatus->setText("Connected...");
        break;
    case TUpgradeStage::ChoosingImage:
        ShowOnline();
        break;
    case TUpgradeStage::Uploading:
        lblStatus->setText("Uploading Flash to Corvane ZRA/ZRN");
        tmrUpdateTime->SetEnabled(true);
        break;
    default:
        break;
    }
}

// Flashing begins: Start gives way to Stop. The focus goes to the window
// itself, where a stray key does nothing (not to Stop, which a stray Space
// would press), and the dock option cannot be changed under the upload.
void TfrmUpgrade::ShowOnline()
{
    lblStatus->setText("Connected");
    ShowBusy();
    centralWidget()->setFocus();
    cbStart->setEnabled(false);
    cbStop->setEnabled(true);
    chkUseKelo6->setEnabled(false);
    lblFlashVer->setText("Flash Version: " + OutsideText::OneLine(QString::fromLatin1(KT4Head1->FlashVersion())));
    AutoSize(lblFlashVer);
    repaint();
}

void TfrmUpgrade::SessionImageAccepted()
{
    // The image's fields as the file holds them, each on its line.
    lblFlashNewVer->setText("Upgrading to: " + OutsideText::OneLine(QString::fromLatin1(KT4Head1->FileVersion())));
    AutoSize(lblFlashNewVer);
    lblFlashNewDate->setText("(" + OutsideText::OneLine(QString::fromLatin1(KT4Head1->FileDate())) + ")");
    AutoSize(lblFlashNewDate);
}

void TfrmUpgrade::SessionProgress(int Done, int Total, int Address)
{
    lblFlashAddr->setText("Address: " + QString::number(Address, 16).toUpper().rightJustified(6, '0'));
    AutoSize(lblFlashAddr);
    gauProgress->SetMaxValue(Total);
    gauProgress->SetProgress(Done);
    lbl_DLProgress->setText(PageCount(Done, Total));
    AutoSize(lbl_DLProgress);
}

void TfrmUpgrade::SessionError(const TErrorInfo& Error)
{
    Dialogs().MessageDlg(Error.Text, BoxKind(Error.Code), mbOK);
    if (Error.Code == ecSessionImageRefused)
        BringToFront();
}

// The instrument has gone: the window back to Waiting, then the summary.
void TfrmUpgrade::SessionFinished(const QString& Message)
{
    ShowIdle();
    lblStatus->setText("Waiting");
    cbStart->setEnabled(true);
    cbStop->setEnabled(false);
    chkUseKelo6->setEnabled(true);
    tmrUpdateTime->SetEnabled(false);
    lblFlashVer->setText("Flash Version:");
    lblFlashNewVer->setText("Upgrading to:");
    lblFlashNewDate->setText("(Flash Date)");
    for (QLabel* l : {lblFlashVer, lblFlashNewVer, lblFlashNewDate})
        AutoSize(l);
    Dialogs().MessageDlg(Message, mtInformation, mbOK);
    gauProgress->SetProgress(0);
}

// ------------------------------------------------------------ the dock option

void TfrmUpgrade::chkUseKelo6Click()
{
    if (!UseDock()) {
        for (QWidget* w : std::initializer_list<QWidget*>{edtIpAddr, cboDockList, lblEthernetDockList})
            w->setVisible(false);
        Session->LeaveDock();
        return;
    }
    if (Session->UsbDocks("kelo6").isEmpty()) {
        Dialogs().MessageDlg(UpgradeText::NoUsbDock, mtInformation, mbOK);
        SwitchToNetworkDock();
        return;
    }
    if (Dialogs().MessageDlg(UpgradeText::UseUsbDock, mtConfirmation, mbYesNo) == mrYes) {
        FUsbDockChosen = true;
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
    FUsbDockChosen = false;
    cboDockList->clear();  // the list shows this search's answers only
    DockEnumerator1->StartEnumeration();
}

// One entry at a time: a new dock at the end, a dock that answered again
// renamed in its place, so that what the operator chose stays chosen.
void TfrmUpgrade::DockEnumerator1ListChanged()
{
    const QStringList& names = DockEnumerator1->DockNames();
    const QStringList& addresses = DockEnumerator1->DockAddresses();
    const int changed = DockEnumerator1->ChangedEntry();
    if (changed >= 0 && changed < cboDockList->count()) {
        cboDockList->setItemText(changed, DockListEntry(names.at(changed), addresses.at(changed)));
        return;
    }
    for (int i = cboDockList->count(); i < names.size(); ++i)
        cboDockList->addItem(DockListEntry(names.at(i), addresses.at(i)));
}

void TfrmUpgrade::cboDockListChange()
{
    const int index = cboDockList->currentIndex();
    if (index >= 0 && index < DockEnumerator1->DockAddresses().size())
        edtIpAddr->setText(DockEnumerator1->DockAddresses().at(index));
}

// An enabled dock goes back to its own control (pump off, "MST", its first
// two lines blank), also one the option no longer uses (the session hands
// back the dock it made); whatever is under way is given up first. The close
// completes once that has ended.
void TfrmUpgrade::FormClose()
{
    QPointer<TfrmUpgrade> self(this);
    Session->Shutdown([self] {
        if (!self)
            return;
        QTimer::singleShot(0, self, [self] {
            if (!self)
                return;
            self->FClosed = true;
            self->close();
        });
    });
}
