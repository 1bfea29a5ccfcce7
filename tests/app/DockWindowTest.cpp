// The main window's dock option against the simulated Kelo6 dock (a real
// process, on the network and on the simulated USB stack), under the offscreen
// platform with scripted boxes.

#include "upgrade/UpgradeTexts.h"
#include "app/uFlash.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"
#include "usb/RemoteSimUsb.h"

#include <QFile>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Completed = "Flash Upload Completed";

// A dock's answer to the dock search, sent from the dock's own address.
void AnswerSearch(const char* From, const QByteArray& Text)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, From, &a.sin_addr);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    a.sin_port = htons(6459);  // the multi-port family's answer port, which the window's search listens on
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    ::sendto(s, Text.constData(), Text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::close(s);
}

struct DockWindow : ::testing::Test {
    void SetUp() override { qputenv("KT4_DOCK_BROADCAST", "127.255.255.255"); }
    void TearDown() override
    {
        window.reset();
        SetUsbPlatform(nullptr);
        qunsetenv("KT4_DOCK_BROADCAST");
    }
    // The window on a USB bus that holds what UsbDir serves.
    void Open(const QString& UsbDir)
    {
        SetUsbPlatform(std::make_unique<TRemoteSimUsb>(UsbDir));
        window = std::make_unique<TfrmUpgrade>();
        window->chkUseKelo6->setVisible(true);
        window->show();
    }
    void UseDock(bool Checked)
    {
        window->chkUseKelo6->setChecked(Checked);
        window->chkUseKelo6Click();
    }
    bool FieldsShown() const
    {
        return window->edtIpAddr->isVisible() && window->cboDockList->isVisible() &&
               window->lblEthernetDockList->isVisible();
    }
    // Start to the summary, the image chosen.
    void Upgrade(const QString& Image)
    {
        dialogs->QueueFile(Image);
        window->cbStart->click();
        ASSERT_TRUE(WaitFor([&] { return dialogs->Texts().contains(Completed) ||
                                         dialogs->Texts().contains(UpgradeText::Disconnected); }, 60000));
    }
    static QByteArray Read(const QString& Path)
    {
        QFile f(Path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    TScriptedDialogsScope dialogs;
    QTemporaryDir noUsb;
    std::unique_ptr<TfrmUpgrade> window;
};

}  // namespace

// No dock on the USB bus: the network fields, the search's list, and an
// upgrade through the dock chosen from it, with the dock's display, its pump
// and its hand-back on close (also once the option no longer uses it).
TEST_F(DockWindow, ANetworkDockChosenFromTheList)
{
    TSimProcess sim({"--address", "127.0.9.2"}, TSimProcess::InDock);
    const QString image = sim.MakeImage();
    Open(noUsb.path());
    UseDock(true);
    EXPECT_EQ(dialogs->Texts(), QStringList({UpgradeText::NoUsbDock}));
    EXPECT_TRUE(FieldsShown());

    AnswerSearch("127.0.9.1", "MP KeloExpress, bench 1");
    AnswerSearch("127.0.9.2", "MP KeloExpress, bench 2");
    ASSERT_TRUE(WaitFor([&] { return window->cboDockList->count() == 2; }));
    const QString typed = window->edtIpAddr->text();
    window->cboDockList->setCurrentIndex(-1);
    window->cboDockListChange();
    EXPECT_EQ(window->edtIpAddr->text(), typed) << "no entry chosen: the address stays";
    window->cboDockList->setCurrentIndex(1);
    window->cboDockListChange();
    EXPECT_EQ(window->edtIpAddr->text(), "127.0.9.2");

    Upgrade(image);
    EXPECT_TRUE(dialogs->Texts().contains(UpgradeText::PlaceInDock));
    EXPECT_FALSE(dialogs->Texts().contains(UpgradeText::PlaceInstrument));
    EXPECT_EQ(dialogs->Texts().last(), Completed);
    ASSERT_NE(window->Session->Dock(), nullptr);
    EXPECT_EQ(window->KeskLink1->Dock(), window->Session->Dock());
    EXPECT_EQ(window->Session->Settings().DockAddress, "127.0.9.2") << "the session's dock, made from the fields";
    EXPECT_FALSE(window->Session->Dock()->HasUSBDevice());
    UseDock(false);  // the dock left aside, still enabled
    EXPECT_FALSE(FieldsShown());
    EXPECT_EQ(window->KeskLink1->Dock(), nullptr);
    window->close();  // completes once the dock has been handed back
    ASSERT_TRUE(WaitFor([&] { return !window->isVisible(); }, 15000));
    sim.Stop();
    EXPECT_EQ(sim.Flash().mid(0x4200), Read(image).mid(0x4200));
    const QByteArray log = sim.Log();
    EXPECT_TRUE(log.contains("[ Insert KT4     ][   To FLASH     ]")) << "the prompt on the dock's display";
    EXPECT_TRUE(log.contains("[   Upgrading    ][KT4   446/446   ]")) << "the count after the last page";
    EXPECT_TRUE(log.contains("pump level 0"));
    const qsizetype master = log.indexOf("<- MST");
    ASSERT_GE(master, 0) << "the dock handed back on close";
    EXPECT_TRUE(log.indexOf("LCD [                ][                ]", master) > master);
}

// A dock on the USB bus: No leads to the network fields, Yes to the dock on
// the bus, and the upgrade goes through it.
TEST_F(DockWindow, TheDockOnTheUsbBus)
{
    TSimProcess sim({}, TSimProcess::InUsbDock);
    const QString image = sim.MakeImage();
    Open(sim.UsbDir());
    dialogs->QueueAnswer(mrNo);
    UseDock(true);
    EXPECT_EQ(dialogs->Texts(), QStringList({UpgradeText::UseUsbDock, UpgradeText::EnterDockAddress}));
    EXPECT_TRUE(FieldsShown());
    UseDock(false);
    dialogs->Clear();
    dialogs->QueueAnswer(mrYes);
    UseDock(true);
    EXPECT_EQ(dialogs->Texts(), QStringList({UpgradeText::UseUsbDock}));
    EXPECT_FALSE(FieldsShown());

    Upgrade(image);
    EXPECT_EQ(dialogs->Texts().last(), Completed);
    EXPECT_TRUE(window->Session->Dock()->HasUSBDevice());
    sim.Stop();
    EXPECT_EQ(sim.Flash().mid(0x4200), Read(image).mid(0x4200));
}

// A dock that answers nothing: the window is closed while it connects. The
// close gives up the connect and the hand-back within its bound, so the
// program can end; the dock is no longer asked to pass the instrument through.
TEST_F(DockWindow, ClosedWhileTheDockNeverAnswers)
{
    TSimProcess sim({"--address", "127.0.9.7", "--no-answer", "all"}, TSimProcess::InDock);
    Open(noUsb.path());
    UseDock(true);
    window->edtIpAddr->setText("127.0.9.7");
    window->cbStart->click();
    ASSERT_EQ(window->lblStatus->text(), UpgradeText::Connecting);
    ASSERT_TRUE(WaitFor([&] { return window->Session->Dock()->QueuedCommands() > 0; })) << "a command awaits its answer";
    window->close();
    EXPECT_TRUE(window->isVisible()) << "the close waits for the dock's hand-back";
    ASSERT_TRUE(WaitFor([&] { return !window->isVisible(); }, 20000));
    sim.Stop();
    const QByteArray log = sim.Log();
    EXPECT_LE(log.count("<- SLV"), 1) << "not asked again and again";
    EXPECT_FALSE(dialogs->Texts().contains(UpgradeText::Completed));
}

// A dock address where nothing listens: the window says so and goes back to
// Waiting, instead of staying in "Connecting" with no word.
TEST_F(DockWindow, ADockThatIsNotThereIsToldAndTheWindowWaitsAgain)
{
    Open(noUsb.path());
    UseDock(true);
    window->edtIpAddr->setText("127.0.9.99");  // no simulated dock there
    window->cbStart->click();
    const QString told = "The dock at 127.0.9.99 did not answer.";
    ASSERT_TRUE(WaitFor([&] { return dialogs->Texts().contains(told); }, 20000));
    EXPECT_EQ(dialogs->Texts().count(told), 1) << "once, as the upgrade's end";
    EXPECT_EQ(window->lblStatus->text(), "Waiting");
    EXPECT_TRUE(window->cbStart->isEnabled());
}

// Anyone on the network may answer the search. Each row is one search; the
// dock at 127.0.9.200 answers first and last, so that the list's end is known.
// Entries show the address that choosing them uses, the sender's, and the
// operator's choice stays chosen while answers come in.
TEST_F(DockWindow, TheDockListTrustsNoAnswer)
{
    using TAnswers = std::vector<std::pair<QByteArray, QByteArray>>;  // sender, text
    TAnswers many;
    QStringList listed;
    for (int i = 1; i <= 70; ++i) {
        many.push_back({"127.0.10." + QByteArray::number(i), "MP KeloExpress " + QByteArray::number(i)});
        if (i < 64)
            listed << QString("MP KeloExpress %1 127.0.10.%1").arg(i);
    }
    const struct {
        const char* Name;
        TAnswers Answers;
        QStringList Shown;  // after the first entry
    } rows[] = {
        {"the newest name of each sender", {{"127.0.9.1", "MP KeloExpress A"}, {"127.0.9.2", "MP KeloExpress B"},
                                            {"127.0.9.1", "MP KeloExpress C"}},
         {"MP KeloExpress C 127.0.9.1", "MP KeloExpress B 127.0.9.2"}},
        {"another dock's name and address", {{"127.0.9.66", "MP KeloExpress 127.0.9.2"}, {"127.0.9.2", "MP KeloExpress 127.0.9.2"}},
         {"MP KeloExpress 127.0.9.2 127.0.9.66", "MP KeloExpress 127.0.9.2"}},
        {"control characters", {{"127.0.9.3", "MP KeloExpress\r\n127.0.9.2"}, {"127.0.9.3", "MP KeloExpress\x9b" "2J"}}, {}},
        {"a long name", {{"127.0.9.4", "MP KeloExpress " + QByteArray(1000, 'a')}}, {"MP KeloExpress " + QString(65, 'a') + " 127.0.9.4"}},
        {"seventy senders: 64 entries", many, listed},
    };
    Open(noUsb.path());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        UseDock(false);
        UseDock(true);  // a new search
        AnswerSearch("127.0.9.200", "MP KeloExpress, first");
        for (const auto& [from, text] : row.Answers)
            AnswerSearch(from.constData(), text);
        AnswerSearch("127.0.9.200", "MP KeloExpress, last");
        ASSERT_TRUE(WaitFor([&] { return window->cboDockList->itemText(0) == "MP KeloExpress, last 127.0.9.200"; }));
        QStringList shown;
        for (int i = 1; i < window->cboDockList->count(); ++i)
            shown << window->cboDockList->itemText(i);
        EXPECT_EQ(shown, row.Shown);
        const int last = window->cboDockList->count() - 1;
        window->cboDockList->setCurrentIndex(last);
        window->cboDockListChange();
        EXPECT_TRUE(window->cboDockList->itemText(last).endsWith(' ' + window->edtIpAddr->text()));
        AnswerSearch("127.0.9.200", "MP KeloExpress, again");
        ASSERT_TRUE(WaitFor([&] { return window->cboDockList->itemText(0).startsWith("MP KeloExpress, again"); }));
        EXPECT_EQ(window->cboDockList->currentIndex(), last);
    }
}
