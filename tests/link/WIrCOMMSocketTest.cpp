// The infrared socket against the in-process simulated IrDA stack: discovery,
// the IAS queries and their answers, the mode options, connect and the
// session's data, with the byte layouts checked as the stack received them.

#include "link/IrdaLayout.h"
#include "link/WIrCOMMSocket.h"
#include "tests/link/LinkTestSupport.h"

#include <QtEndian>
#include <stdexcept>
#include <gtest/gtest.h>

using namespace IrdaLayout;

namespace {

struct IrdaSocket : ::testing::Test {
    void SetUp() override
    {
        socket.OnError = [this](QObject*) { Errors << socket.LastErrorText().section("\r\n", 0, 0); };
        socket.OnSessionConnected = [this](QObject*, quint16 e) { Sessions << QString("connected %1").arg(e); };
        socket.OnSessionClosed = [this](QObject*, quint16 e) { Sessions << QString("closed %1").arg(e); };
        irda->OnSession = [this](const TSimIrdaDevice&, const QByteArray& Service, int Fd) { peer.Take(Fd, Service); };
    }

    // The option calls of one kind, in order.
    std::vector<TSimulatedIrda::TOptionCall> Calls(int Option) const
    {
        std::vector<TSimulatedIrda::TOptionCall> found;
        for (const auto& call : irda->OptionCalls)
            if (call.Option == Option)
                found.push_back(call);
        return found;
    }

    TSimIrdaScope irda;
    TWIrCOMMSocket socket;
    TSessionPeer peer;
    QStringList Errors;
    QStringList Sessions;
};

}  // namespace

// ---- discovery ----

TEST_F(IrdaSocket, NoDeviceInRangeIsAnEmptyListNotAFailure)
{
    const auto devices = socket.EnumerateDevices();
    ASSERT_NE(devices, nullptr);
    EXPECT_EQ(devices->Count(), 0);
    EXPECT_TRUE(Errors.isEmpty());
    // A discovery on a closed socket opens one of its own and closes it again.
    EXPECT_EQ(irda->SocketsCreated, 1);
    EXPECT_EQ(irda->OpenSockets(), 0);
    EXPECT_EQ(socket.State(), wsClosed);
    const auto lists = Calls(IrlmpEnumDevices);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_FALSE(lists[0].Set);
    EXPECT_EQ(lists[0].Level, 255);
    EXPECT_EQ(lists[0].Bytes.size(), 294);
}

TEST_F(IrdaSocket, EveryDeviceIsListedInOrderWithItsRecord)
{
    TSimIrdaDevice first = IrCommDevice(0x11223344, "KT4 Head");
    first.Hints1 = 0x82;
    first.Hints2 = 0x04;
    first.CharSet = 0xFF;
    TSimIrdaDevice second = IrLptDevice(0x0A0B0C0D, "A name of exactly 22 c");  // fills the field
    TSimIrdaDevice third;  // offers nothing
    third.Id = 7;
    third.Name = "Phone";
    irda->Devices = {first, second, third};
    socket.SetUseAnyDevice(true);

    const auto devices = socket.EnumerateDevices();
    ASSERT_NE(devices, nullptr);
    ASSERT_EQ(devices->Count(), 3);
    EXPECT_EQ(socket.DeviceCount(), 3);
    const TIrdaDeviceRecord record = devices->Item(0);
    EXPECT_EQ(record.DeviceID, (TIrdaDeviceId{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(IrdaDeviceName(record), "KT4 Head");
    EXPECT_EQ(record.Hints1, 0x82);
    EXPECT_EQ(record.Hints2, 0x04);
    EXPECT_EQ(record.CharSet, 0xFF);
    EXPECT_EQ(IrdaDeviceNumber(devices->Item(1).DeviceID), 0x0A0B0C0Du);
    EXPECT_EQ(IrdaDeviceName(devices->Item(1)), "A name of exactly 22 c");
    EXPECT_EQ(IrdaDeviceName(devices->Item(2)), "Phone");
    EXPECT_TRUE(Calls(IrlmpIasQuery).empty());  // every device kept without asking
}

TEST_F(IrdaSocket, WithoutUseAnyDeviceOnlyDevicesOfferingIrLptOrIrCommAreKept)
{
    irda->Devices = {
        IrCommDevice(1, "nine wire"),
        IrCommDevice(2, "centronics only", QByteArray("\x00\x01\x08", 3)),
        IrLptDevice(3, "printer"),
        IrLptDevice(4, "other lsap", 5),
    };
    const auto devices = socket.EnumerateDevices();
    ASSERT_NE(devices, nullptr);
    ASSERT_EQ(devices->Count(), 2);
    EXPECT_EQ(IrdaDeviceName(devices->Item(0)), "nine wire");
    EXPECT_EQ(IrdaDeviceName(devices->Item(1)), "printer");
    EXPECT_EQ(socket.DeviceCount(), 2);

    // Each IAS query is the zero-filled 1385-byte record: ID, class, attribute.
    const auto queries = Calls(IrlmpIasQuery);
    ASSERT_FALSE(queries.empty());
    const QByteArray lpt = queries[0].Bytes;
    ASSERT_EQ(lpt.size(), 1385);
    EXPECT_EQ(ReadLe32(lpt, 0), 1u);
    EXPECT_EQ(lpt.mid(4, 6), QByteArray("IrLPT\0", 6));
    EXPECT_EQ(lpt.mid(68, 19), QByteArray("IrDA:IrLMP:LsapSel\0", 19));
    EXPECT_EQ(lpt.count('\0'), 1385 - 1 - 5 - 18);
    const QByteArray irComm = queries[1].Bytes;
    EXPECT_EQ(irComm.mid(4, 12), QByteArray("IrDA:IrCOMM\0", 12));
    EXPECT_EQ(irComm.mid(68, 11), QByteArray("Parameters\0", 11));
}

TEST_F(IrdaSocket, TenDevicesInRangeFailTheDiscovery)
{
    for (quint32 id = 1; id <= 9; ++id)
        irda->Devices.push_back(IrCommDevice(id, "device"));
    socket.SetUseAnyDevice(true);
    ASSERT_NE(socket.EnumerateDevices(), nullptr);  // nine still fit

    irda->Devices.push_back(IrCommDevice(10, "tenth"));
    EXPECT_EQ(socket.EnumerateDevices(), nullptr);
    EXPECT_EQ(Errors, QStringList({"Error 10055 in function Device enumeration failed (2)"}));
    EXPECT_EQ(irda->OpenSockets(), 0);

    // Without an error handler the same failure is an exception carrying the text.
    TWIrCOMMSocket bare;
    try {
        bare.EnumerateDevices();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_TRUE(QString::fromLocal8Bit(e.what()).contains("Device enumeration failed (2)"));
    }
    EXPECT_EQ(irda->OpenSockets(), 0);  // its own socket closed all the same
}

TEST_F(IrdaSocket, FailuresOfTheStackCarryTheirStepAndCode)
{
    irda->EnumerateError = 10050;
    EXPECT_EQ(socket.EnumerateDevices(), nullptr);
    irda->EnumerateError = 0;
    irda->ModeError = 10045;
    EXPECT_EQ(socket.EnumerateDevices(), nullptr);
    irda->ModeError = 0;
    irda->CreateError = 10047;
    EXPECT_EQ(socket.EnumerateDevices(), nullptr);
    EXPECT_EQ(socket.LastError(), 10047);
    EXPECT_EQ(Errors, QStringList({"Error 10050 in function Device enumeration failed (1)",
                                   "Error 10045 in function SetLPTMode", "Error 10047 in function Connect (socket)"}));
    EXPECT_EQ(irda->OpenSockets(), 0);
}

TEST_F(IrdaSocket, DiscoveryOnAnOpenSocketLeavesItOpen)
{
    ASSERT_TRUE(socket.OpenIrdaSocket());
    EXPECT_EQ(socket.State(), wsOpened);
    EXPECT_FALSE(socket.Is9WireCooked());
    ASSERT_NE(socket.EnumerateDevices(), nullptr);
    EXPECT_EQ(socket.State(), wsOpened);
    EXPECT_EQ(irda->SocketsCreated, 1);
    EXPECT_EQ(irda->OpenSockets(), 1);
    // Opening sets IrLPT mode: level 255, option 21, the 4-byte value 1.
    const auto modes = Calls(IrlmpIrlptMode);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_TRUE(modes[0].Set);
    EXPECT_EQ(modes[0].Level, 255);
    EXPECT_EQ(modes[0].Bytes, QByteArray("\x01\x00\x00\x00", 4));
}

// ---- the services a device offers ----

TEST(IrCommParameters, AServiceTypeWithARawThreeOrNineWireBitIsUsable)
{
    const struct {
        QByteArray Parameters;
        bool Usable;
    } cases[] = {
        {QByteArray("\x00\x01\x04", 3), true},                  // 9-wire
        {QByteArray("\x00\x01\x02", 3), true},                  // 3-wire
        {QByteArray("\x00\x01\x01", 3), true},                  // 3-wire raw
        {QByteArray("\x00\x01\x08", 3), false},                 // Centronics only
        {QByteArray("\x01\x01\x04\x00\x01\x04", 6), true},      // after another parameter
        {QByteArray("\x02\x02\x04\x04\x00\x01\x0C", 7), true},  // longer value skipped whole
        {QByteArray("\x02\x03\x00\x01\x04", 5), false},         // 00 01 04 lies inside a value
        {QByteArray("\x00\x00\x04", 3), false},                 // no value byte
        {QByteArray("\x00\x01", 2), false},
        {QByteArray(), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OffersIrCommService(c.Parameters), c.Usable) << Hex(c.Parameters).toStdString();
}

TEST_F(IrdaSocket, IasAnswersDecideTheServices)
{
    TSimIrdaDevice both = IrLptDevice(1, "both");
    both.IrCommParameters = QByteArray("\x00\x01\x04", 3);
    TSimIrdaDevice shortSequence = IrCommDevice(2, "short", QByteArray("\x00\x01", 2));
    TSimIrdaDevice lsapThree = IrLptDevice(3, "lsap 3", 3);
    TSimIrdaDevice silent = IrCommDevice(4, "silent");
    silent.IasError = 10060;
    irda->Devices = {both, shortSequence, lsapThree, silent};
    ASSERT_TRUE(socket.OpenIrdaSocket());

    EXPECT_TRUE(socket.SupportsLPT(IrdaDeviceId(1)));
    EXPECT_TRUE(socket.Supports9Wire(IrdaDeviceId(1)));
    EXPECT_FALSE(socket.Supports9Wire(IrdaDeviceId(2)));  // fewer than three octets
    EXPECT_FALSE(socket.SupportsLPT(IrdaDeviceId(3)));
    EXPECT_FALSE(socket.SupportsLPT(IrdaDeviceId(2)));    // no such class
    EXPECT_TRUE(Errors.isEmpty());
    EXPECT_FALSE(socket.SupportsLPT(IrdaDeviceId(4)));
    EXPECT_FALSE(socket.Supports9Wire(IrdaDeviceId(4)));
    EXPECT_EQ(Errors, QStringList({"Error 10060 in function SupportsLPT", "Error 10060 in function Supports9Wire"}));
}

// ---- connect ----

TEST_F(IrdaSocket, ANineWireDeviceIsConnectedThroughIrComm)
{
    irda->Devices = {IrCommDevice(0x4B543401, "KT4 Head")};
    socket.SetDeviceID(IrdaDeviceId(0x4B543401));
    socket.Connect();
    EXPECT_EQ(socket.State(), wsConnecting);
    EXPECT_TRUE(Sessions.isEmpty());  // the outcome comes from the event loop
    ASSERT_TRUE(WaitFor([&] { return !Sessions.isEmpty(); }));
    EXPECT_EQ(Sessions, QStringList({"connected 0"}));
    EXPECT_EQ(socket.State(), wsConnected);
    EXPECT_TRUE(socket.Is9WireCooked());
    EXPECT_EQ(peer.Service(), "IrDA:IrCOMM");

    // The 31-byte address: family 26, the device ID, the zero-terminated service name.
    ASSERT_EQ(irda->ConnectAddresses.size(), 1u);
    QByteArray expected(31, '\0');
    expected.replace(0, 17, QByteArray("\x1A\x00\x01\x34\x54\x4B" "IrDA:IrCOMM", 17));
    EXPECT_EQ(Hex(irda->ConnectAddresses[0]), Hex(expected));
    const auto nineWire = Calls(Irlmp9WireMode);
    ASSERT_EQ(nineWire.size(), 1u);
    EXPECT_EQ(nineWire[0].Bytes, QByteArray("\x01\x00\x00\x00", 4));

    // Bytes pass unchanged both ways.
    const QByteArray command("ENQ0\r", 5);
    EXPECT_EQ(socket.SendBytes(command), command.size());
    EXPECT_EQ(peer.Read(command.size()), command);
    QByteArray received;
    socket.OnDataAvailable = [&](QObject*, quint16) { received += socket.ReceiveAvailable(); };
    peer.Write("ACK0 16");
    ASSERT_TRUE(WaitFor([&] { return received == "ACK0 16"; }));

    socket.Close();
    EXPECT_EQ(Sessions, QStringList({"connected 0", "closed 0"}));
    EXPECT_TRUE(peer.SawClose());
    EXPECT_EQ(irda->OpenSockets(), 0);
}

TEST_F(IrdaSocket, IrLptIsChosenWhenOfferedEvenBesideIrComm)
{
    TSimIrdaDevice both = IrLptDevice(5, "both");
    both.IrCommParameters = QByteArray("\x00\x01\x04", 3);
    irda->Devices = {both};
    socket.SetDeviceID(IrdaDeviceId(5));
    socket.Connect();
    ASSERT_TRUE(WaitFor([&] { return socket.State() == wsConnected; }));
    EXPECT_EQ(peer.Service(), "IrLPT");
    EXPECT_FALSE(socket.Is9WireCooked());
    EXPECT_TRUE(Calls(Irlmp9WireMode).empty());
    EXPECT_EQ(irda->ConnectAddresses.at(0).mid(6), QByteArray("IrLPT").leftJustified(25, '\0'));
}

TEST_F(IrdaSocket, ADeviceWithoutAUsableServiceIsRefusedAndTheSocketFreed)
{
    irda->Devices = {IrCommDevice(2, "centronics only", QByteArray("\x00\x01\x08", 3))};
    socket.SetDeviceID(IrdaDeviceId(2));
    socket.Connect();
    EXPECT_EQ(Errors, QStringList({"Error 10043 in function Connect, No Supported Protocol!"}));
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_TRUE(irda->ConnectAddresses.empty());

    // The next connect is not refused as "in use", and a time-out of the
    // earlier attempt does not count against a device that answers.
    TSimIrdaDevice late = IrCommDevice(3, "answers");
    irda->Devices.push_back(late);
    irda->Devices[0].IasError = 10060;
    socket.Connect();
    EXPECT_EQ(Errors.last(), "Error 10060 in function Connect, No Supported Protocol!");
    socket.SetDeviceID(IrdaDeviceId(3));
    socket.Connect();
    ASSERT_TRUE(WaitFor([&] { return socket.State() == wsConnected; }));
}

TEST_F(IrdaSocket, ConnectOnASocketInUseIsRefused)
{
    irda->Devices = {IrCommDevice(1, "KT4 Head")};
    socket.SetDeviceID(IrdaDeviceId(1));
    socket.Connect();
    socket.Connect();
    EXPECT_EQ(Errors, QStringList({"Error 10056 in function Connect: Socket already in use"}));
    EXPECT_EQ(irda->SocketsCreated, 1);
    ASSERT_TRUE(WaitFor([&] { return socket.State() == wsConnected; }));
}

TEST_F(IrdaSocket, AConnectTheDeviceRefusesEndsClosedWithItsCode)
{
    TSimIrdaDevice busy = IrCommDevice(1, "busy");
    busy.ConnectError = 10061;
    irda->Devices = {busy};
    socket.SetDeviceID(IrdaDeviceId(1));
    socket.Connect();
    ASSERT_TRUE(WaitFor([&] { return !Sessions.isEmpty(); }));
    EXPECT_EQ(Sessions, QStringList({"connected 10061"}));
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_EQ(socket.LastError(), 10061);
    EXPECT_EQ(irda->OpenSockets(), 0);
    EXPECT_FALSE(peer.Connected());
}

TEST_F(IrdaSocket, ASlowConnectClosedBeforeItsOutcomeReportsNothingLater)
{
    TSimIrdaDevice slow = IrCommDevice(1, "slow");
    slow.ConnectDelayMs = 150;
    irda->Devices = {slow};
    socket.SetDeviceID(IrdaDeviceId(1));
    socket.Connect();
    EXPECT_FALSE(WaitFor([&] { return socket.State() != wsConnecting; }, 60));
    socket.Close();
    EXPECT_EQ(Sessions, QStringList({"closed 0"}));
    EXPECT_FALSE(WaitFor([&] { return Sessions.size() > 1 || peer.Connected(); }, 400));
    EXPECT_EQ(socket.State(), wsClosed);
}

TEST_F(IrdaSocket, ASocketOpenedByAnErrorHandlerDuringDiscoveryIsLeftOpen)
{
    TSimIrdaDevice silent = IrCommDevice(1, "silent");
    silent.IasError = 10060;
    irda->Devices = {silent};
    bool reopened = false;
    socket.OnError = [&](QObject*) {
        if (reopened)
            return;
        reopened = true;  // as a handler running the event loop might
        socket.Close();
        ASSERT_TRUE(socket.OpenIrdaSocket());
    };
    const auto devices = socket.EnumerateDevices();
    ASSERT_NE(devices, nullptr);
    EXPECT_EQ(devices->Count(), 0);
    EXPECT_EQ(socket.State(), wsOpened) << "the discovery closed only the socket it had opened";
    EXPECT_EQ(irda->OpenSockets(), 1);
}

// ---- handlers that throw or free the socket ----

TEST_F(IrdaSocket, AnExceptionFromTheConnectHandlerAbortsTheSocketAndGoesNoFurther)
{
    TScriptedDialogsScope dialogs;
    for (int delayMs : {0, 30}) {  // connected at once, or reported later by the stack
        SCOPED_TRACE(delayMs);
        TSimIrdaDevice device = IrCommDevice(1, "KT4 Head");
        device.ConnectDelayMs = delayMs;
        irda->Devices = {device};
        Sessions.clear();
        socket.OnSessionConnected = [this](QObject*, quint16) {
            Sessions << "connected";
            throw std::runtime_error("handler failed");
        };
        socket.SetDeviceID(IrdaDeviceId(1));
        socket.Connect();
        ASSERT_TRUE(WaitFor([&] { return Sessions.size() == 2; }));
        EXPECT_EQ(Sessions, QStringList({"connected", "closed 10053"}));
        EXPECT_EQ(socket.State(), wsClosed);
        EXPECT_EQ(irda->OpenSockets(), 0);
        EXPECT_TRUE(dialogs->Records().isEmpty()) << "the exception reached the event loop";
    }
}

TEST_F(IrdaSocket, AnErrorHandlerThatFreesTheSocketEndsDiscoveryAndConnect)
{
    TSimIrdaDevice silent = IrCommDevice(1, "silent");
    silent.IasError = 10060;
    irda->Devices = {silent, IrCommDevice(2, "KT4 Head")};
    for (bool connect : {false, true}) {
        SCOPED_TRACE(connect);
        auto* doomed = new TWIrCOMMSocket;
        int errors = 0;
        doomed->OnError = [&](QObject*) {
            ++errors;
            delete doomed;  // as a handler whose message box ran a deferred delete might
        };
        if (connect) {
            doomed->SetDeviceID(IrdaDeviceId(1));
            doomed->Connect();
        } else {
            EXPECT_EQ(doomed->EnumerateDevices(), nullptr);
        }
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(irda->OpenSockets(), 0);
    }
}
