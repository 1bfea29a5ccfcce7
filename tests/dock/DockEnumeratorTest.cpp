// The dock enumerator over loopback: test docks answer from their own
// 127.x.y.z addresses; the enquiry goes to 127.255.255.255 (and, inside a
// network namespace the test makes itself, to the default 255.255.255.255).

#include "dock/DockEnumerator.h"
#include "tests/TestSupport.h"
#include "usb/LibUsbPlatform.h"
#include "usb/SimulatedUsb.h"
#include "usb/USBPipe.h"
#include "tests/app/SimProcess.h"

#include <QCoreApplication>
#include <QProcess>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A dock's UDP end: bound where it is told, answers sent from there.
class TUdpPeer {
public:
    TUdpPeer(const char* Address, quint16 Port)
    {
        FHandle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(FHandle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in local = Address4(Address, Port);
        EXPECT_EQ(::bind(FHandle, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0) << Address << ":" << Port;
    }
    ~TUdpPeer() { ::close(FHandle); }

    void SendTo(const QByteArray& Data, const char* Address, quint16 Port)
    {
        const sockaddr_in to = Address4(Address, Port);
        ::sendto(FHandle, Data.constData(), Data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    // One datagram, waiting while the event loop runs; empty when none came.
    QByteArray Receive(int TimeoutMs = 2000)
    {
        QByteArray data;
        WaitFor([&] {
            pollfd p{FHandle, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0)
                return false;
            char buffer[2048];
            const ssize_t got = ::recv(FHandle, buffer, sizeof(buffer), 0);
            data = QByteArray(buffer, int(qMax<ssize_t>(got, 0)));
            return true;
        }, TimeoutMs);
        return data;
    }

private:
    static sockaddr_in Address4(const char* Address, quint16 Port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(Port);
        ::inet_pton(AF_INET, Address, &a.sin_addr);
        return a;
    }
    int FHandle = -1;
};

struct DockEnumeration : ::testing::Test {
    void SetUp() override { qputenv("KT4_DOCK_BROADCAST", "127.255.255.255"); }
    void TearDown() override { qunsetenv("KT4_DOCK_BROADCAST"); }
    void Start(TDockFamily Type)
    {
        enumerator.SetDockType(Type);
        enumerator.OnListChanged = [this](QObject*) { ++changes; };
        enumerator.StartEnumeration();
    }
    TScriptedDialogsScope dialogs;
    TDockEnumerator enumerator;
    int changes = 0;
};

}  // namespace

TEST_F(DockEnumeration, AnswersOfTheFamilyAreListedInOrderOfArrival)
{
    TUdpPeer dock("0.0.0.0", 6462);
    Start(TDockFamily::tpCorvaneKelo6);
    EXPECT_EQ(dock.Receive(), "ENQ") << "the enquiry reached the dock's enquiry port";
    EXPECT_TRUE(dialogs->Texts().isEmpty());

    TUdpPeer a("127.0.0.5", 0), b("127.0.0.6", 0), c("127.0.0.7", 0), d("127.0.0.8", 0);
    a.SendTo("Kelo6 Dock, bench 2", "127.0.0.1", 6461);
    b.SendTo(QByteArray("Kelo6\0trailing bytes", 20), "127.0.0.1", 6461);
    c.SendTo("KeloExpress dock", "127.0.0.1", 6461);                      // another family
    d.SendTo(QByteArray(1500, 'x') + "Kelo6", "127.0.0.1", 6461);         // longer than the buffer
    a.SendTo("Kelo6 Dock, bench 3", "127.0.0.1", 6461);                   // answering again: renamed in place
    ASSERT_TRUE(WaitFor([&] { return changes == 3; }));
    WaitFor([] { return false; }, 100);
    EXPECT_EQ(enumerator.DockNames(), QStringList({"Kelo6 Dock, bench 3", "Kelo6"}));
    EXPECT_EQ(enumerator.DockAddresses(), QStringList({"127.0.0.5", "127.0.0.6"}));
    EXPECT_EQ(enumerator.ChangedEntry(), 0);
    EXPECT_EQ(changes, 3);
}

TEST_F(DockEnumeration, TheNameIsFoundAnywhereInTheAnswer)
{
    Start(TDockFamily::tpKeloExpress);
    TUdpPeer dock("127.0.0.9", 0);
    dock.SendTo("MP KeloExpress 4 bays", "127.0.0.1", 6457);
    ASSERT_TRUE(WaitFor([&] { return changes == 1; }));
    EXPECT_EQ(enumerator.DockNames(), QStringList({"MP KeloExpress 4 bays"}));
}

TEST_F(DockEnumeration, ARestartEmptiesTheListsAndTheWindowEndsOnTime)
{
    Start(TDockFamily::tpMPKeloExpress);
    EXPECT_EQ(enumerator.Timer()->Interval(), 10000);
    TUdpPeer dock("127.0.0.10", 0);
    dock.SendTo("MP KeloExpress", "127.0.0.1", 6459);
    ASSERT_TRUE(WaitFor([&] { return changes == 1; }));
    enumerator.StartEnumeration();
    EXPECT_TRUE(enumerator.DockNames().isEmpty());
    EXPECT_TRUE(enumerator.DockAddresses().isEmpty());
    EXPECT_TRUE(enumerator.Listening());

    enumerator.Timer()->Fire();  // ten seconds later
    EXPECT_FALSE(enumerator.Listening());
    EXPECT_FALSE(enumerator.Timer()->Enabled());
    dock.SendTo("MP KeloExpress", "127.0.0.1", 6459);
    WaitFor([] { return false; }, 200);
    EXPECT_EQ(changes, 1) << "an answer after the window is not received";
}

// A family's number is the USB layer's: it picks the device class, and with it
// the variable that names the vendor and product ids on the bus. It also picks
// the search's UDP ports and the name of the family searched for.
TEST_F(DockEnumeration, EachFamilyKeepsItsNumberUsbClassAndSearchPorts)
{
    const struct {
        TDockFamily Family;
        int Number;
        const char* IdVariable;
        quint16 EnquiryPort;  // 0: not searched for
        const char* AnswerPort;
        const char* TypeName;
    } rows[] = {
        {TDockFamily::tpKeloExpress, 0, "KT4_USB_KELOEXPRESS", 6458, "6457", "KeloExpress"},
        {TDockFamily::tpMPKeloExpress, 1, "KT4_USB_MPKELOEXPRESS", 6460, "6459", "MP KeloExpress"},
        {TDockFamily::tpMirtal, 2, "KT4_USB_MIRTAL", 0, "", ""},
        {TDockFamily::tpCorvaneKelo6, 3, "KT4_USB_KELO6", 6462, "6461", "Kelo6"},
    };
    TSimulatedUsb stack;
    TUSBDevice device(nullptr, &stack);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.IdVariable);
        EXPECT_EQ(static_cast<int>(row.Family), row.Number);
        device.SetDeviceType(row.Family);
        EXPECT_EQ(TLibUsbPlatform::IdVariable(device.InterfaceGuid()), row.IdVariable);
        if (row.EnquiryPort == 0)
            continue;
        TDockEnumerator search;
        search.SetDockType(row.Family);
        TUdpPeer dock("0.0.0.0", row.EnquiryPort);
        search.StartEnumeration();
        EXPECT_EQ(dock.Receive(), "ENQ");
        EXPECT_EQ(search.ListenSocket()->Port(), row.AnswerPort);
        EXPECT_EQ(search.TypeName(), row.TypeName);
    }
}

// Simulated docks, separate processes on their own addresses, answer their
// family's enquiry; a Kelo6 dock answers the multi-port family's too.
TEST_F(DockEnumeration, SimulatedDocksOfEachKindAnswerTheirFamily)
{
    const auto dock = [](const char* Kind, const char* Address) {
        return std::make_unique<TSimProcess>(QStringList{"--dock", Kind, "--address", Address}, TSimProcess::InDock,
                                             true);
    };
    const auto express = dock("express", "127.0.46.1");
    const auto mp = dock("mp-express", "127.0.46.2");
    const auto kelo6 = dock("kelo6", "127.0.46.3");
    const struct {
        TDockFamily Type;
        QStringList Names;  // sorted: answers arrive in any order
        QStringList Addresses;
    } rows[] = {
        {TDockFamily::tpKeloExpress, {"KeloExpress 127.0.46.1"}, {"127.0.46.1"}},
        {TDockFamily::tpMPKeloExpress, {"MP KeloExpress (Kelo6) 127.0.46.3", "MP KeloExpress 127.0.46.2"}, {"127.0.46.2", "127.0.46.3"}},
        {TDockFamily::tpCorvaneKelo6, {"Kelo6 127.0.46.3"}, {"127.0.46.3"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.Type));
        changes = 0;
        Start(row.Type);
        ASSERT_TRUE(WaitFor([&] { return changes == row.Names.size(); }));
        WaitFor([] { return false; }, 100);  // a chance for answers that should not come
        QStringList names = enumerator.DockNames(), addresses = enumerator.DockAddresses();
        ASSERT_EQ(names.size(), addresses.size());
        for (int i = 0; i < names.size(); ++i)
            EXPECT_TRUE(names[i].endsWith(" " + addresses[i])) << "each answer came from its dock's own address";
        names.sort();
        addresses.sort();
        EXPECT_EQ(names, row.Names);
        EXPECT_EQ(addresses, row.Addresses);
    }
    EXPECT_TRUE(dialogs->Texts().isEmpty());
}

// The default broadcast address, proved where it cannot leave the machine: in
// a network namespace of the test's own with only a loopback interface.
TEST(DockEnumerationDefault, TheEnquiryGoesToTheLimitedBroadcastAddress)
{
    if (qEnvironmentVariableIsEmpty("KT4_IN_TEST_NETNS")) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KT4_IN_TEST_NETNS", "1");
        env.remove("KT4_DOCK_BROADCAST");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        const QString self = QCoreApplication::applicationFilePath();
        child.start("unshare", {"-rn", "sh", "-c",
                                "ip link set lo up && ip route add 255.255.255.255/32 dev lo src 127.0.0.1 && "
                                "exec \"$0\" --gtest_filter=DockEnumerationDefault.*",
                                self});
        ASSERT_TRUE(child.waitForFinished(60000));
        const QString output = QString::fromLocal8Bit(child.readAll());
        if (output.contains("unshare: "))
            GTEST_SKIP() << "no user namespaces here: " << output.toStdString();
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test"));
        return;
    }
    ASSERT_EQ(TDockEnumerator::BroadcastAddress(), "255.255.255.255");
    TScriptedDialogsScope dialogs;
    TUdpPeer dock("0.0.0.0", 6460);
    TDockEnumerator enumerator;
    enumerator.StartEnumeration();
    EXPECT_EQ(dock.Receive(), "ENQ");
    EXPECT_TRUE(dialogs->Texts().isEmpty());
}
