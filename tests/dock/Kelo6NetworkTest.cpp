// The Kelo6 dock over the network against a dock the test plays itself on its
// own loopback address (control port 5004, data port 5005), so what crosses
// each connection can be seen and provoked byte for byte.

#include "dock/CorvaneKelo6Dock.h"
#include "tests/TestSupport.h"
#include "tests/net/LoopbackSockets.h"

#include <QTimer>
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
    // Enables the dock and takes both connections.
    void Enable()
    {
        dock.SetEnabled(true);
        ASSERT_TRUE(dock.Enabled());
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

TEST_F(Kelo6Network, ACommandFromAnEventHandlerGetsItsReplyOnTheSameConnection)
{
    Open("127.0.41.1");
    Enable();
    bool acknowledged = false;
    dock.OnInstrumentConnected = [&](QObject*) {
        QTimer::singleShot(0, [&] { EXPECT_EQ(controlPeer->Read(3), "DSC"); controlPeer->Write("ACK"); });
        acknowledged = dock.DisconnectInstrument();  // inside the control connection's own notification
    };
    controlPeer->Write("EVT1");
    ASSERT_TRUE(WaitFor([&] { return acknowledged; }, 3000));
    EXPECT_FALSE(dock.CommandTimer()->Enabled());
}

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

TEST_F(Kelo6Network, LongDataGoesInPiecesOf1024BytesCountedDown)
{
    Open("127.0.41.3");
    Enable();
    for (int size : {1024, 1025}) {
        SCOPED_TRACE(size);
        Events.clear();
        const QByteArray page(size, char(size));
        EXPECT_TRUE(dock.SendUserData(page));
        EXPECT_EQ(dataPeer->Read(size), page);
        EXPECT_EQ(Events, size == 1024 ? QStringList() : QStringList({"progress 1025 1", "progress 1025 0"}));
    }
}

TEST_F(Kelo6Network, DataTheDockNeverTakesIsGivenUpAtTheCommandTimeOut)
{
    Open("127.0.41.4");
    Enable();
    dock.SetCommandTimeOut(200);
    ASSERT_GT(dock.DataSocket()->SendBytes(QByteArray(24 << 20, 'w')), 0);  // more than loopback buffers hold
    ASSERT_FALSE(dock.DataSocket()->AllSent());
    EXPECT_FALSE(dock.SendUserData("WEP page"));
    EXPECT_TRUE(dock.Enabled());
}

TEST_F(Kelo6Network, LosingOneConnectionDropsTheOtherAndTheInstrument)
{
    Open("127.0.41.5");
    Enable();
    controlPeer->Write("EVT1");
    ASSERT_TRUE(WaitFor([&] { return Events.contains("connected"); }));
    QTimer::singleShot(0, [&] { dataPeer->Close(); });  // while a command waits for its reply
    EXPECT_FALSE(dock.DisconnectInstrument());
    EXPECT_EQ(dock.CommandStatus(), csFailed);
    EXPECT_EQ(Events, QStringList({"tcp connected", "connected", "tcp closed", "disconnected"}));
    EXPECT_TRUE(controlPeer->WaitForEnd());
    EXPECT_FALSE(dock.Enabled());
    EXPECT_FALSE(dock.SendUserData("ENQ0"));
    EXPECT_EQ(dialogs->Texts(), QStringList({"Send Error, Dock not Enabled!"}));
}

TEST_F(Kelo6Network, SocketErrorsReachOnTCPErrorWithChannelCodeAndText)
{
    Open("127.0.41.6");
    EXPECT_FALSE(dock.DisconnectInstrument());  // never enabled: the control socket refuses
    EXPECT_EQ(Events, QStringList({"tcp error 0 10057 Socket is not connected"}));
    EXPECT_EQ(dock.CommandStatus(), csFailed);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}
