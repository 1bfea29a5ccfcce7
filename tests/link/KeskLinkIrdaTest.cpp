// The link's infrared way over the in-process simulated IrDA stack: the
// start-up discovery, connect to the first device, commands and replies over
// the session, the pieces of the framed types, disconnect and a lost device.

#include "link/KeskFraming.h"
#include "link/KeskLink.h"
#include "tests/link/LinkTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

constexpr quint32 HeadId = 0x4B543401;

struct LinkOverIrda : ::testing::Test {
    void SetUp() override
    {
        irda->Devices = {IrCommDevice(HeadId, "KT4 Head")};
        irda->OnSession = [this](const TSimIrdaDevice& Device, const QByteArray& Service, int Fd) {
            SessionsWith << Device.Id;
            peer.Take(Fd, Service);
        };
        link = std::make_unique<TKeskLink>();
        link->SetInstrumentType(tpKT4Head);
        ASSERT_TRUE(WaitFor([&] { return !link->ResponseTimer()->Enabled(); }));  // the start-up step ran
        events = std::make_unique<TLinkRecorder>(*link);
    }

    void Connect()
    {
        const int ups = events->Status.count("up 1");
        link->SetConnected(true);
        ASSERT_TRUE(WaitFor([&] { return events->Status.count("up 1") > ups; }));
    }

    TSimIrdaScope irda;
    TScriptedDialogsScope dialogs;
    TSessionPeer peer;
    std::unique_ptr<TKeskLink> link;
    std::unique_ptr<TLinkRecorder> events;
    QList<quint32> SessionsWith;
};

}  // namespace

TEST_F(LinkOverIrda, StartUpDiscoveryKeepsTheSocketWayAndListsEveryDevice)
{
    EXPECT_TRUE(link->UseIrSocket());
    ASSERT_NE(link->Devices(), nullptr);
    EXPECT_EQ(link->Devices()->Count(), 1);
    EXPECT_TRUE(link->IrSocket()->UseAnyDevice());
    EXPECT_EQ(link->IrSocket()->SendBlockSize(), 2048);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST_F(LinkOverIrda, ConnectsToTheFirstDeviceFoundAndReportsLinkUpOnce)
{
    TSimIrdaDevice other = IrCommDevice(0x0BADCAFE, "Phone");
    irda->Devices = {irda->Devices[0], other};
    link->SetConnected(true);
    EXPECT_EQ(IrdaDeviceNumber(link->IrSocket()->DeviceID()), HeadId);
    EXPECT_FALSE(link->Connected());  // the session event follows
    ASSERT_TRUE(WaitFor([&] { return events->Status.contains("up 1"); }));
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(SessionsWith, QList<quint32>({HeadId}));
    EXPECT_EQ(peer.Service(), "IrDA:IrCOMM");
    // The discovery time-out keeps running until the first command replaces it.
    EXPECT_TRUE(link->ResponseTimer()->Enabled());
    EXPECT_EQ(link->ResponseTimer()->Interval(), 10000);
    EXPECT_TRUE(link->Polling());
    WaitFor([] { return false; }, 100);
    EXPECT_EQ(events->Status, QStringList({"up 1"}));
}

TEST_F(LinkOverIrda, CommandsGoAsTheyAreAndIndexedRepliesComeBack)
{
    Connect();
    link->SendMsg("ENQ ", 5);
    EXPECT_EQ(peer.Read(4), "ENQ0");
    EXPECT_EQ(events->DebugSent, QList<QByteArray>({"ENQ0"}));
    EXPECT_EQ(link->ResponseTimer()->Interval(), 5000);
    peer.Write("ACK0 16");
    ASSERT_TRUE(WaitFor([&] { return !events->Received.isEmpty(); }));
    EXPECT_EQ(events->Received, QList<QByteArray>({"ACK0 16"}));
    EXPECT_FALSE(link->ResponseTimer()->Enabled());

    // A late answer to the earlier command is logged and dropped quietly; one
    // without an index digit is shown; the command keeps its deadline.
    link->SendMsg("VER ", 5);
    EXPECT_EQ(peer.Read(4), "VER1");
    peer.Write("ACK0 1.10");
    ASSERT_TRUE(WaitFor([&] { return events->DebugReceived.size() == 2; }));
    EXPECT_TRUE(dialogs->Records().isEmpty());
    peer.Write("ACK? 1.10");
    ASSERT_TRUE(WaitFor([&] { return !dialogs->Records().isEmpty(); }));
    EXPECT_EQ(dialogs->Texts(), QStringList({"Incorrect Response Message Index!"}));
    EXPECT_EQ(events->Received.size(), 1);
    EXPECT_EQ(events->DebugReceived.last(), "ACK? 1.10");
    EXPECT_TRUE(link->ResponseTimer()->Running());
    EXPECT_TRUE(events->TimeOuts.isEmpty());
}

TEST_F(LinkOverIrda, FramedTypesGoInFortyBytePiecesEachAfterAZeroByte)
{
    link->SetInstrumentType(tpBrask);
    Connect();
    QByteArray text;
    for (int i = 0; i < 95; ++i)
        text += char('A' + i % 26);
    text += "\xE6\xE7";  // stuffed on the wire
    const QByteArray wire = FrameMessage(tpBrask, text);
    ASSERT_GT(wire.size(), 80);
    irda->SendSizes.clear();
    link->SendMsg(text, 5);
    QByteArray expected;
    std::vector<int> writes;
    for (int at = 0; at < wire.size(); at += 40) {
        expected += '\0' + wire.mid(at, 40);
        writes.push_back(1 + int(wire.mid(at, 40).size()));
    }
    EXPECT_EQ(irda->SendSizes.size(), 1u) << "the next piece follows once the first has gone";
    ASSERT_TRUE(WaitFor([&] { return irda->SendSizes.size() == writes.size(); }));
    EXPECT_EQ(irda->SendSizes, writes);  // each piece one socket write
    EXPECT_EQ(Hex(peer.Read(expected.size())), Hex(expected));
    EXPECT_EQ(events->DebugSent, QList<QByteArray>({wire}));  // without the zero bytes

    // A received block's first byte is the control byte; the frame is reassembled.
    const QByteArray reply = FrameMessage(tpBrask, "OK");
    peer.Write('\0' + reply.left(2));
    WaitFor([] { return false; }, 50);
    peer.Write('\0' + reply.mid(2));
    ASSERT_TRUE(WaitFor([&] { return !events->Received.isEmpty(); }));
    EXPECT_EQ(events->Received, QList<QByteArray>({"OK"}));
}

// A framed command cut short on the way: the session closed after its first
// piece, or its second piece refused by the stack. No later piece goes, and
// the command's time-out still tells the client.
struct FramedPiecesCut : LinkOverIrda, ::testing::WithParamInterface<std::pair<bool, std::size_t>> {};

TEST_P(FramedPiecesCut, NoLaterPieceGoesAndTheTimeOutTells)
{
    const auto [closeAfterFirst, refusedWrite] = GetParam();
    link->SetInstrumentType(tpBrask);
    Connect();
    irda->SendSizes.clear();
    irda->RefusedWrite = refusedWrite;
    irda->RefusedWriteError = 10055;
    link->SendMsg(QByteArray(100, 'x'), -300);  // three pieces, 300 ms
    if (closeAfterFirst)
        link->SetConnected(false);
    ASSERT_TRUE(WaitFor([&] { return !events->TimeOuts.isEmpty(); }));
    EXPECT_EQ(irda->SendSizes.size(), closeAfterFirst ? 1u : refusedWrite);
}

INSTANTIATE_TEST_SUITE_P(Link, FramedPiecesCut,
                         ::testing::Values(std::make_pair(true, std::size_t(0)), std::make_pair(false, std::size_t(2))));

TEST_F(LinkOverIrda, DisconnectClosesTheSessionAndASecondConnectOpensANewOne)
{
    Connect();
    link->SetConnected(false);
    EXPECT_FALSE(link->Connected());
    EXPECT_TRUE(peer.SawClose());
    ASSERT_TRUE(WaitFor([&] { return events->Status.contains("down 0"); }));

    Connect();
    EXPECT_EQ(SessionsWith.size(), 2);
    EXPECT_EQ(events->Status, QStringList({"up 1", "down 0", "up 1"}));
}

TEST_F(LinkOverIrda, AnInstrumentThatGoesAwayTakesTheLinkDown)
{
    Connect();
    peer.Close();
    ASSERT_TRUE(WaitFor([&] { return events->Status.contains("down 0"); }));
    EXPECT_FALSE(link->Connected());
    link->SendMsg("ENQ ", 5);
    EXPECT_EQ(dialogs->Texts(), QStringList({"SendMsg Error - Not Connected!"}));
}

TEST_F(LinkOverIrda, ARefusedConnectLeavesTheLinkDownUntilItsTimeOut)
{
    irda->Devices[0].ConnectError = 10061;
    link->SetDefaultTimeOut(1);
    link->SetConnected(true);
    ASSERT_TRUE(WaitFor([&] { return !events->TimeOuts.isEmpty(); }, 3000));
    EXPECT_EQ(events->TimeOuts, QList<int>({0}));
    EXPECT_FALSE(link->Connected());
    EXPECT_TRUE(events->Status.isEmpty());
}

TEST_F(LinkOverIrda, ADeviceThatComesIntoRangeIsFoundByALaterDiscovery)
{
    const TSimIrdaDevice head = irda->Devices[0];
    irda->Devices.clear();
    QTimer::singleShot(400, [&] { irda->Devices = {head}; });
    link->SetConnected(true);
    ASSERT_TRUE(WaitFor([&] { return link->Connected(); }));
    EXPECT_TRUE(events->TimeOuts.isEmpty());
}

// An operator pressing Start again while the first connect still waits for
// the instrument to come into range: one discovery goes on, one session opens,
// and it stays open.
TEST_F(LinkOverIrda, ASecondConnectDuringDiscoveryLeavesTheFirstAlone)
{
    const TSimIrdaDevice head = irda->Devices[0];
    irda->Devices.clear();
    QTimer::singleShot(300, [&] { link->SetConnected(true); });
    QTimer::singleShot(600, [&] { irda->Devices = {head}; });
    link->SetConnected(true);
    ASSERT_TRUE(WaitFor([&] { return link->Connected(); }));
    WaitFor([] { return false; }, 300);
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(irda->ConnectAddresses.size(), 1u);
    EXPECT_EQ(SessionsWith.size(), 1);
}

TEST_F(LinkOverIrda, SocketErrorsAfterStartUpGoToTheClient)
{
    int irErrors = 0;
    link->OnIrError = [&](QObject* Sender) {
        EXPECT_EQ(Sender, link.get());
        ++irErrors;
    };
    irda->CreateError = 10050;
    link->SetDefaultTimeOut(0);
    link->SetConnected(true);  // one discovery, which fails
    EXPECT_EQ(irErrors, 1);
    EXPECT_TRUE(dialogs->Records().isEmpty());
    EXPECT_TRUE(link->UseIrSocket());
    EXPECT_FALSE(link->Polling());
}

// The discovery goes on by itself while the caller has long returned: an
// instrument switched on a moment later is found and connected.
TEST_F(LinkOverIrda, DiscoveryGoesOnWithoutHoldingTheCaller)
{
    irda->Devices.clear();
    const int socketsBefore = irda->SocketsCreated;
    link->SetConnected(true);
    EXPECT_FALSE(link->Connected());
    ASSERT_TRUE(WaitFor([&] { return irda->SocketsCreated - socketsBefore >= 2; })) << "discovery is repeated";
    irda->Devices = {IrCommDevice(HeadId, "KT4 Head")};
    ASSERT_TRUE(WaitFor([&] { return link->Connected(); }));
    EXPECT_TRUE(link->Polling());
}
