// The real main window under the offscreen platform, driven through scripted
// dialogs, against the simulated instrument over a pseudo-terminal.

#include "upgrade/UpgradeTexts.h"
#include "app/uDebug.h"
#include "app/uFlash.h"
#include "controls/About.h"
#include "link/SimulatedIrda.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

const QString Completed = "Flash Upload Completed";
const QString Disconnected = "Corvane ZRA/ZRN Disconnected";

struct TWindowState {
    QString Status;
    bool StartEnabled;
    bool StopEnabled;
    bool operator==(const TWindowState&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TWindowState& s)
{
    return os << s.Status.toStdString() << " start=" << s.StartEnabled << " stop=" << s.StopEnabled;
}

struct UpgradeWindow : ::testing::Test {
    void Start(const QStringList& SimOptions = {}, TSimProcess::TWay Way = TSimProcess::OnPty)
    {
        sim = std::make_unique<TSimProcess>(SimOptions, Way);
        image = sim->MakeImage("1.20");
        if (Way == TSimProcess::OverIrda)
            previousIrda = SetIrdaPlatform(std::make_unique<TRemoteSimIrda>(sim->IrdaSocket()));
        qputenv("KT4_IRCOMM", sim->PtyPath().toLocal8Bit());
        window = std::make_unique<TfrmUpgrade>();
        debug = std::make_unique<TfrmDebug>();
        window->SetDebugWindow(debug.get());
        window->show();
        ASSERT_TRUE(WaitFor([&] { return !window->KeskLink1->ResponseTimer()->Enabled(); }));
        qunsetenv("KT4_IRCOMM");
        // Every box records the window's state at the moment it is shown.
        dialogs->OnShow = [this](const TDialogRecord& R) { states[R.Text] = State(); };
    }
    TWindowState State() const
    {
        return {window->lblStatus->text(), window->cbStart->isEnabled(), window->cbStop->isEnabled()};
    }
    bool Shown(const QString& Text) { return dialogs->Texts().contains(Text); }
    void WaitForSummary()
    {
        ASSERT_TRUE(WaitFor([&] { return Shown(Completed) || Shown(Disconnected); }, 60000));
        WaitFor([] { return false; }, 50);
    }
    QByteArray ImageBytes() const
    {
        QFile f(image);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void TearDown() override
    {
        window.reset();
        debug.reset();
        if (previousIrda)
            SetIrdaPlatform(std::move(previousIrda));
    }

    TScriptedDialogsScope dialogs;
    std::unique_ptr<TSimProcess> sim;
    std::unique_ptr<TfrmUpgrade> window;
    std::unique_ptr<TfrmDebug> debug;
    QString image;
    QMap<QString, TWindowState> states;
    std::unique_ptr<TIrdaPlatform> previousIrda;
};

}  // namespace

TEST_F(UpgradeWindow, FromStartToFlashUploadCompleted)
{
    Start();
    EXPECT_EQ(window->windowTitle(), "Corvane ZRA/ZRN Upgrade 1.1 - (Flash Mode)");
    EXPECT_EQ(State(), (TWindowState{"Waiting", true, false}));
    dialogs->QueueFile(image);

    QList<TWindowState> online;
    QStringList firstPage;
    auto onIsOnline = window->KT4Head1->OnIsOnline.Get();
    window->KT4Head1->OnIsOnline = [&, onIsOnline](QObject* s, bool status) {
        onIsOnline(s, status);
        online << State();
    };
    auto onProgress = window->KT4Head1->OnFlashProgress.Get();
    window->KT4Head1->OnFlashProgress = [&, onProgress](QObject* s, int p, int t) {
        onProgress(s, p, t);
        if (firstPage.isEmpty())
            firstPage << window->lbl_DLProgress->text() << window->lblFlashAddr->text() << window->lblStatus->text()
                      << QString::number(window->cbStart->isEnabled()) << QString::number(window->cbStop->isEnabled());
    };

    window->cbStart->click();
    EXPECT_EQ(State(), (TWindowState{"Connecting to Corvane ZRA/ZRN", true, false}));
    WaitForSummary();

    EXPECT_EQ(dialogs->Texts(),
              QStringList({"This operation will erase the Datalogger data. Cancel if you want to download the data "
                           "before performing this operation.",
                           "Please turn the Corvane ZRA/ZRN on and place it in front of the IrDA(Infrared) port. Then "
                           "Click OK.",
                           "Upgrade To Version 1.20", Completed}));
    ASSERT_EQ(online.size(), 2);
    EXPECT_EQ(online[0], (TWindowState{"Connected...", true, false}));
    EXPECT_EQ(states["Binary File|*.bin"], (TWindowState{"Connected", false, true}));
    EXPECT_EQ(firstPage, QStringList({"1/446", "Address: 004300", "Uploading Flash to Corvane ZRA/ZRN", "0", "1"}));
    EXPECT_EQ(states[Completed], (TWindowState{"Waiting", true, false}));
    EXPECT_EQ(dialogs->Texts().count(Completed), 1);
    EXPECT_EQ(window->lbl_DLProgress->text(), "446/446");
    EXPECT_EQ(window->lblFlashAddr->text(), "Address: 020000");
    EXPECT_EQ(window->gauProgress->Progress(), 0);
    EXPECT_EQ(window->lblFlashVer->text(), "Flash Version:");
    EXPECT_EQ(window->lblFlashNewVer->text(), "Upgrading to:");
    sim->Stop();
    EXPECT_EQ(sim->Flash().mid(0x4200), ImageBytes().mid(0x4200));

    // The traffic log: handshake, 446 pages, program command, each sent and answered.
    EXPECT_EQ(debug->Lines().size(), 2 * (3 + 446 + 1));
    EXPECT_EQ(debug->Lines().first(), "SND#ENQ0#");
    EXPECT_TRUE(debug->Lines()[1].startsWith("RCV#ACK0"));
    EXPECT_EQ(window->ledReceive->LedisOn(), false) << "an even number of texts";
    EXPECT_EQ(window->ledTransmit->LedisOn(), true);
}

TEST_F(UpgradeWindow, OverTheSimulatedIrdaStack)
{
    Start({}, TSimProcess::OverIrda);
    EXPECT_TRUE(window->KeskLink1->UseIrSocket());
    dialogs->QueueFile(image);
    window->cbStart->click();
    WaitForSummary();
    EXPECT_EQ(dialogs->Texts().count(Completed), 1);
    EXPECT_FALSE(Shown(Disconnected));
    EXPECT_EQ(window->lbl_DLProgress->text(), "446/446");
    EXPECT_EQ(IrdaDeviceName(window->KeskLink1->Devices()->Item(0)), "KT4 Head");
    sim->Stop();
    EXPECT_EQ(sim->Flash().mid(0x4200), ImageBytes().mid(0x4200));
    EXPECT_EQ(debug->Lines().size(), 2 * (3 + 446 + 1));
}

TEST_F(UpgradeWindow, AnswersCutInPiecesStillEndByteExact)
{
    Start({"--split-at", "4"});
    dialogs->QueueFile(image);
    window->cbStart->click();
    WaitForSummary();
    EXPECT_EQ(dialogs->Texts().last(), Completed);
    EXPECT_FALSE(dialogs->Texts().join('\n').contains("Page Error!"));
    EXPECT_EQ(debug->Lines().size(), 2 * (3 + 446 + 1)) << "each answer logged once, whole";
    sim->Stop();
    EXPECT_EQ(sim->Flash().mid(0x4200), ImageBytes().mid(0x4200));
}

TEST_F(UpgradeWindow, CancelOnTheWarningChangesNothing)
{
    Start();
    dialogs->QueueAnswer(mrCancel);
    window->cbStart->click();
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(dialogs->Texts().size(), 1);
    EXPECT_EQ(State(), (TWindowState{"Waiting", true, false}));
    EXPECT_FALSE(window->KeskLink1->Connected());
}

TEST_F(UpgradeWindow, FileDialogCancelled)
{
    Start();
    dialogs->QueueFile(std::nullopt);
    window->cbStart->click();
    WaitForSummary();
    EXPECT_EQ(dialogs->Texts().last(), Disconnected);
    EXPECT_EQ(State(), (TWindowState{"Waiting", true, false}));
}

// Without a port set the window asks for one at every Start, before the
// connect: none chosen ends the attempt with "No serial port selected"; the
// one chosen is the port the upgrade goes through.
TEST_F(UpgradeWindow, WithoutAPortTheOperatorChoosesOne)
{
    const QString noPort = "No serial port selected (error -2011)";
    Start();
    window->KeskLink1->SetIrComDevice(QString());  // as without KT4_IRCOMM
    qputenv("KT4_COM40", sim->PtyPath().toLocal8Bit());
    window->cbStart->click();
    ASSERT_TRUE(WaitFor([&] { return State() == TWindowState{"Waiting", true, false}; }));
    const qsizetype toldNoPort = dialogs->Texts().count(noPort);
    EXPECT_GE(toldNoPort, 1);

    dialogs->QueuePort(40);
    dialogs->QueueFile(std::nullopt);
    window->cbStart->click();
    ASSERT_TRUE(WaitFor([&] { return states.contains("Binary File|*.bin"); }));  // connected through COM40
    qunsetenv("KT4_COM40");
    QStringList asked;
    for (const TDialogRecord& record : dialogs->Records())
        if (record.Kind == TDialogKind::PortSelect)
            asked << record.Text;
    ASSERT_EQ(asked.size(), 2);
    EXPECT_TRUE(asked[1].split(',').contains("COM40"));
    EXPECT_EQ(dialogs->Texts().count(noPort), toldNoPort);
}

TEST_F(UpgradeWindow, RefusedFileShowsBothMessagesInOrder)
{
    Start();
    const QString bad = sim->Dir() + "/bad.bin";
    QFile f(bad);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1000, 'x'));
    f.close();
    dialogs->QueueFile(bad);
    dialogs->QueueFile(image);  // must not be offered
    window->cbStart->click();
    WaitForSummary();
    const QStringList texts = dialogs->Texts();
    ASSERT_GE(texts.size(), 2);
    EXPECT_EQ(texts[texts.size() - 2], "This is not a valid Corvane ZRA/ZRN flash file!");
    EXPECT_EQ(texts.last(), Disconnected);
    int fileDialogs = 0;
    for (const auto& r : dialogs->Records())
        fileDialogs += r.Kind == TDialogKind::FileOpen;
    EXPECT_EQ(fileDialogs, 1);
    sim->Stop();
    EXPECT_FALSE(sim->Log().contains("WEP"));
}

// A release's checksum file beside the image: an image without that SHA-256
// is refused before a page goes out.
TEST_F(UpgradeWindow, AnImageWhoseChecksumFileDisagreesIsRefused)
{
    Start();
    QFile sums(image + ".sha256");
    ASSERT_TRUE(sums.open(QIODevice::WriteOnly));
    sums.write(QByteArray(64, 'a') + "  image.bin\n");
    sums.close();
    dialogs->QueueFile(image);
    window->cbStart->click();
    WaitForSummary();
    EXPECT_TRUE(dialogs->Texts().join('\n').contains("not the expected " + QString(64, 'a')))
        << dialogs->Texts().join('\n').toStdString();
    sim->Stop();
    EXPECT_FALSE(sim->Log().contains("WEP"));
}

TEST_F(UpgradeWindow, VersionQuestionNoOffersTheDialogAgain)
{
    Start();
    dialogs->QueueFile(image);
    dialogs->QueueFile(std::nullopt);
    dialogs->QueueAnswer(mrOk);   // warning
    dialogs->QueueAnswer(mrOk);   // place the instrument
    dialogs->QueueAnswer(mrNo);   // upgrade to version 1.20?
    window->cbStart->click();
    WaitForSummary();
    int fileDialogs = 0;
    for (const auto& r : dialogs->Records())
        fileDialogs += r.Kind == TDialogKind::FileOpen;
    EXPECT_EQ(fileDialogs, 2);
    EXPECT_EQ(dialogs->Texts().last(), Disconnected);
}

TEST_F(UpgradeWindow, OlderImageRefused)
{
    Start({"--version", "1.30"});
    dialogs->QueueFile(image);
    dialogs->QueueFile(std::nullopt);
    for (auto answer : {mrOk, mrOk, mrYes, mrNo})
        dialogs->QueueAnswer(answer);
    window->cbStart->click();
    WaitForSummary();
    EXPECT_TRUE(Shown("The flash version you are loading is older then the existing one!\rProceed anyway?"));
    EXPECT_EQ(dialogs->Texts().last(), Disconnected);
    sim->Stop();
    EXPECT_FALSE(sim->Log().contains("WEP"));
}

TEST_F(UpgradeWindow, StopDuringTheUpload)
{
    Start();
    dialogs->QueueFile(image);
    auto onProgress = window->KT4Head1->OnFlashProgress.Get();
    window->KT4Head1->OnFlashProgress = [&, onProgress](QObject* s, int p, int t) {
        onProgress(s, p, t);
        if (p == 0x4200 + 10 * 256)
            window->cbStop->click();
    };
    window->cbStart->click();
    WaitForSummary();
    EXPECT_EQ(dialogs->Texts().last(), Disconnected);
    EXPECT_EQ(window->lbl_DLProgress->text(), "10/446");
    EXPECT_EQ(State(), (TWindowState{"Waiting", true, false}));
}

TEST_F(UpgradeWindow, ProgramCommandNotAcknowledged)
{
    Start({"--pfm-nak"});
    dialogs->QueueFile(image);
    window->cbStart->click();
    WaitForSummary();
    const QStringList texts = dialogs->Texts();
    EXPECT_EQ(texts[texts.size() - 2], "Program Command Failed!.  New firmware not uploaded!");
    EXPECT_EQ(texts.last(), Disconnected);
    EXPECT_FALSE(Shown(Completed));
}

TEST_F(UpgradeWindow, WrongInstrumentType)
{
    Start({"--wrong-type"});
    window->cbStart->click();
    WaitForSummary();
    const QStringList texts = dialogs->Texts();
    EXPECT_EQ(texts[texts.size() - 2], "Wrong instrument type, disconnecting!");
    EXPECT_EQ(texts.last(), Disconnected);
}

TEST_F(UpgradeWindow, InstrumentLostWhileConnecting)
{
    Start();
    auto onSend = window->KeskLink1->OnDebugSend.Get();
    window->KeskLink1->OnDebugSend = [&, onSend](QObject* s, const QByteArray& d) {
        onSend(s, d);
        if (d.startsWith("WHO"))
            sim->Stop();  // the instrument goes away in the middle of the handshake
    };
    window->cbStart->click();
    WaitForSummary();
    EXPECT_EQ(dialogs->Texts().last(), Disconnected);
    EXPECT_FALSE(Shown(Completed));
}

// Once it was "Flash Upload Completed"; an upload that never reached the
// program command is now reported as what it is.
TEST_F(UpgradeWindow, InstrumentLostDuringTheUploadIsNotCompleted)
{
    Start({"--lose-after", "150"});
    dialogs->QueueFile(image);
    window->cbStart->click();
    WaitForSummary();
    EXPECT_EQ(dialogs->Texts().last(), Disconnected);
    EXPECT_FALSE(Shown(Completed));
    EXPECT_EQ(window->lbl_DLProgress->text(), "85/446");
}

// A box stays open while the road moves on under it (boxes run the event loop):
// answering it later must not carry on the road it was opened on.
TEST_F(UpgradeWindow, ASecondStartAnsweredMidUploadLeavesTheUploadAlone)
{
    Start();
    dialogs->QueueFile(image);
    window->cbStart->click();
    ASSERT_EQ(State(), (TWindowState{"Connecting to Corvane ZRA/ZRN", true, false}));
    int warnings = 0;
    dialogs->OnShow = [&](const TDialogRecord& R) {
        if (R.Text == UpgradeText::EraseWarning && ++warnings == 1)  // held open until page 20 is in
            WaitFor([&] { return window->gauProgress->Progress() >= 20; }, 30000);
    };
    window->cbStart->click();  // the documented second Start while connecting
    WaitForSummary();
    EXPECT_EQ(dialogs->Texts().count(UpgradeText::PlaceInstrument), 1);
    EXPECT_EQ(dialogs->Texts().last(), Completed);
    EXPECT_FALSE(Shown("Wrong instrument type, disconnecting!"));
    const QStringList log = debug->Lines();
    const qsizetype firstPage = log.indexOf(QRegularExpression("^SND#WEP.*"));
    ASSERT_GE(firstPage, 0);
    EXPECT_LT(log.lastIndexOf(QRegularExpression("^SND#ENQ.*")), firstPage) << "no handshake inside the upload";
    sim->Stop();
    EXPECT_EQ(sim->Flash().mid(0x4200), ImageBytes().mid(0x4200));
}

TEST_F(UpgradeWindow, InstrumentLostWhileTheFileDialogIsOpen)
{
    Start();
    dialogs->QueueFile(image);
    dialogs->OnShow = [&](const TDialogRecord& R) {
        if (R.Kind == TDialogKind::FileOpen) {
            sim->Stop();
            WaitFor([&] { return Shown(Disconnected); }, 10000);
        }
    };
    window->cbStart->click();
    ASSERT_TRUE(WaitFor([&] { return Shown(Disconnected); }, 30000));
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(State(), (TWindowState{"Waiting", true, false}));
    EXPECT_FALSE(window->tmrUpdateTime->Enabled()) << "the time does not count on";
    EXPECT_FALSE(Shown("SendMsg Error - Not Connected!"));
    EXPECT_FALSE(Shown(UpgradeText::UpgradeToVersion + "1.20"));
}

TEST(UpgradeWindowHelp, TheAboutBoxIsShownWithoutBlockingTheWindow)
{
    TfrmUpgrade window;
    TAboutBox about;
    window.SetAboutBox(&about);
    window.show();
    EXPECT_EQ(window.mnuAbout->text(), "About Corvane ZRA/ZRN Upgrade...");
    window.mnuAbout->trigger();
    EXPECT_TRUE(about.isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(about.windowTitle(), "About Corvnae KT4 Head Upgrade Utility");
    EXPECT_EQ(about.lblVersion->text(), VersionText(*about.AppInfo, QLocale()));
    about.OKButton->click();
    EXPECT_FALSE(about.isVisible());
    EXPECT_TRUE(window.cbStart->isEnabled());
}

// An operator at the keyboard: once flashing has begun the focus is not on
// Stop (a stray Space there would stop the upload), and "Use Dock" cannot be
// changed under the upload.
TEST_F(UpgradeWindow, AStrayKeyOrClickDuringTheUploadChangesNothing)
{
    Start();
    dialogs->QueueFile(image);
    bool spacePressed = false;
    bool dockOptionLocked = false;
    QString focusName;
    auto onProgress = window->KT4Head1->OnFlashProgress.Get();
    window->KT4Head1->OnFlashProgress = [&, onProgress](QObject* s, int p, int t) {
        onProgress(s, p, t);
        if (spacePressed)
            return;
        spacePressed = true;
        dockOptionLocked = !window->chkUseKelo6->isEnabled();
        // The boxes before the upload took the focus away; it comes back as
        // the window is active again.
        QApplication::setActiveWindow(nullptr);
        QApplication::setActiveWindow(window.get());
        QWidget* focus = QApplication::focusWidget() ? QApplication::focusWidget() : window.get();
        focusName = focus->objectName();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " ");
        QCoreApplication::sendEvent(focus, &press);
        QCoreApplication::sendEvent(focus, &release);
    };
    // The operator pressed Start from the keyboard: the focus is on it.
    QApplication::setActiveWindow(window.get());
    window->cbStart->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), window->cbStart);
    window->cbStart->click();
    WaitForSummary();
    EXPECT_TRUE(spacePressed);
    EXPECT_TRUE(dockOptionLocked) << "\"Use Dock\" is disabled during the upload";
    EXPECT_NE(focusName, "cbStop");
    EXPECT_TRUE(Shown(Completed)) << dialogs->Texts().join(" | ").toStdString();
    EXPECT_TRUE(window->chkUseKelo6->isEnabled()) << "enabled again once the upgrade has ended";
    sim->Stop();
    EXPECT_EQ(sim->Flash().mid(0x4200), ImageBytes().mid(0x4200));
}
