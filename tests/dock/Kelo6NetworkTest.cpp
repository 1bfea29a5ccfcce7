// The Kelo6 dock over the network against a dock the test plays itself on its
// own loopback address (control port 5004, data port 5005), so what crosses
// each connection can be seen and provoked byte for byte.

#include "dock/CorvaneKelo6Dock.h"
#include "tests/dock/DockTestSupport.h"
#include "tests/net/LoopbackSockets.h"

#include <gtest/gtest.h>

namespace {

struct Kelo6Network : ::testing::Test {
    // Address: this test's own 127.x.y.z.
    void Open(const char* Address)
    {
        control = std::make_unique<TLoopbackListener>(Address, 5004);
        data = std::make_unique<TLoopbackListener>(Address, 5005);
        dock.SetEthernetAddress(Address);
        dock.OnTCPConnected = [this](QObject*) { Events << "tcp connected"; };
        dock.OnTCPClosed = [this](QObject*) { Events << "tcp closed"; };
        dock.OnTCPError = [this](QObject*, int Channel, int Error, const QString& Text) {
            Events << QString("tcp error %1 %2 %3").arg(Channel).arg(Error).arg(Text);
        };
        dock.OnInstrumentConnected = [this](QObject*) { Events << "connected"; };
        dock.OnInstrumentDisconnected = [this](QObject*) { Events << "disconnected"; };
        dock.OnRcvUserData = [this](QObject*, const QByteArray& D) { Events << "data " + D; };
        dock.OnDebugRcvUserData = [this](QObject*, const QByteArray& D) { Events << "debug data " + D; };
        dock.OnFlashProgress = [this](QObject*, int Total, int Remain) {
            Events << QString("progress %1 %2").arg(Total).arg(Remain);
        };
    }
    // Opens the dock and takes both connections.
    void Enable()
    {
        ASSERT_TRUE(Opened(dock));
        controlPeer = std::make_unique<TLoopbackPeer>(control->Accept());
        dataPeer = std::make_unique<TLoopbackPeer>(data->Accept());
        ASSERT_TRUE(controlPeer->Valid() && dataPeer->Valid());
    }

    TScriptedDialogsScope dialogs;
    TCorvaneKelo6Dock dock;
    std::unique_ptr<TLoopbackListener> control, data;
    std::unique_ptr<TLoopbackPeer> controlPeer, dataPeer;
    QStringList Events;
};

}  // namespace

TEST_F(Kelo6Network, DataChunksOfOneOrTwoBytesAreTheDocksOwn)
{
    Open("127.0.41.2");
    Enable();
    Events.clear();
    dataPeer->Write("AC");
    ASSERT_TRUE(WaitFor([&] { return Events.size() == 1; }));
    dataPeer->Write("ACK0");
    ASSERT_TRUE(WaitFor([&] { return Events.size() == 3; }));
    EXPECT_EQ(Events, QStringList({"debug data AC", "debug data ACK0", "data ACK0"}));
}

// Long data goes in pieces, each once the one before has left and the pause
// has passed; what is passed meanwhile follows it, in order.
TEST_F(Kelo6Network, LongDataGoesInPiecesOf1024BytesCountedDown)
{
    Open("127.0.41.3");
    Enable();
    Events.clear();
    QList<QByteArray> pieces;
    QByteArray all;
    for (int size : {1024, 2100, 4})
        pieces << QByteArray(size, char(size));
    for (const QByteArray& piece : pieces) {
        EXPECT_TRUE(dock.PassUserData(piece));
        all += piece;
    }
    EXPECT_EQ(dataPeer->Read(int(all.size())), all);
    ASSERT_TRUE(WaitFor([&] { return Events.size() == 3; }));
    EXPECT_EQ(Events, QStringList({"progress 2100 1076", "progress 2100 52", "progress 2100 0"}));
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST_F(Kelo6Network, DataTheDockNeverTakesIsGivenUpAtTheCommandTimeOut)
{
    Open("127.0.41.4");
    Enable();
    Events.clear();
    dock.SetCommandTimeOut(200);
    ASSERT_GT(dock.DataSocket()->SendBytes(QByteArray(24 << 20, 'w')), 0);  // more than loopback buffers hold
    ASSERT_FALSE(dock.DataSocket()->AllSent());
    EXPECT_TRUE(dock.PassUserData(QByteArray(2000, 'p')));
    ASSERT_TRUE(WaitFor([&] { return !dialogs->Texts().isEmpty(); }));
    EXPECT_EQ(dialogs->Texts(), QStringList({"Error sending data on TCP!"}));
    EXPECT_TRUE(Events.isEmpty()) << "no piece counted";
    EXPECT_TRUE(dock.Enabled());
}

TEST_F(Kelo6Network, LosingOneConnectionDropsTheOtherAndTheInstrument)
{
    Open("127.0.41.5");
    Enable();
    controlPeer->Write("EVT1");
    ASSERT_TRUE(WaitFor([&] { return Events.contains("connected"); }));
    const std::optional<TDockReply> reply = Await<TDockReply>([&](TDockDone Done) {
        dock.Queue("DSC", rkPlain, Done);
        dataPeer->Close();  // while the command waits for its reply
    });
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Outcome, TDockOutcome::Lost);
    EXPECT_EQ(Events, QStringList({"tcp connected", "connected", "tcp closed", "disconnected"}));
    EXPECT_TRUE(controlPeer->WaitForEnd());
    EXPECT_FALSE(dock.Enabled());
    EXPECT_FALSE(dock.PassUserData("ENQ0"));
    EXPECT_EQ(dialogs->Texts(), QStringList({"Send Error, Dock not Enabled!"}));
}

TEST_F(Kelo6Network, SocketErrorsReachOnTCPErrorWithChannelCodeAndText)
{
    Open("127.0.41.6");
    EXPECT_LT(dock.DataSocket()->SendBytes("ENQ0"), 0);  // never opened
    EXPECT_EQ(Events, QStringList({"tcp error 1 10057 Socket is not connected"}));
    EXPECT_TRUE(dialogs->Records().isEmpty());
}
