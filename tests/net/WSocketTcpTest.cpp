// The socket layer over TCP, against loopback peers the tests make themselves.

#include "net/WSocket.h"
#include "tests/TestSupport.h"
#include "tests/net/LoopbackSockets.h"
#include "tests/net/SocketRecorder.h"

#include <QSocketNotifier>
#include <QThread>
#include <algorithm>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

// A socket that records the size of every block it hands to the kernel and can
// be told to find the kernel refusing the next few sends.
class TRecordingSocket : public TWSocket {
public:
    using TWSocket::TWSocket;
    QList<int> Blocks;
    int Refusals = 0;
    int Interruptions = 0;  // sends interrupted by a signal before anything went

protected:
    int HandleSend(const char* Data, int Size, int& Error) override
    {
        if (Refusals > 0) {
            --Refusals;
            Error = WSAEWOULDBLOCK;
            return -1;
        }
        if (Interruptions > 0) {
            --Interruptions;
            Error = WSAEINTR;
            return -1;
        }
        Blocks << Size;
        return TWSocket::HandleSend(Data, Size, Error);
    }
};

class WSocketTcpTest : public ::testing::Test {
protected:
    // Connects Socket to the listener and accepts the connection.
    TLoopbackPeer ConnectTo(TCustomWSocket& Socket, TSocketRecorder& Recorder)
    {
        Socket.SetAddr("127.0.0.1");
        Socket.SetPort(QString::number(Listener.Port()));
        Socket.Connect();
        EXPECT_TRUE(WaitFor([&] { return !Recorder.Connected.isEmpty(); }));
        return Listener.Accept();
    }

    TLoopbackListener Listener;
};

}  // namespace

TEST_F(WSocketTcpTest, NewSocketHasTheDefaults)
{
    TWSocket s;
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.Addr(), "");
    EXPECT_EQ(s.Port(), "");
    EXPECT_EQ(s.SendBlockSize(), 1460);
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(s.Handle(), -1);
    EXPECT_EQ(int(wsClosed), 8);
}

TEST_F(WSocketTcpTest, RefusedConnectionEndsClosedAfterReporting10061)
{
    TRefusingPort refusing;
    TWSocket s;
    TSocketRecorder r(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(QString::number(refusing.Port()));
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    EXPECT_TRUE(r.Connected.isEmpty());  // reported through the event loop
    ASSERT_TRUE(WaitFor([&] { return !r.Connected.isEmpty(); }));
    EXPECT_EQ(r.Connected, QList<int>{WSAECONNREFUSED});
    EXPECT_EQ(r.StateAtConnected, wsClosed);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.LastError(), WSAECONNREFUSED);
    EXPECT_EQ(s.Handle(), -1);
    SettleEvents();
    EXPECT_EQ(r.Connected.size(), 1);
    EXPECT_TRUE(r.Closed.isEmpty());
    EXPECT_TRUE(r.Errors.isEmpty());
    EXPECT_TRUE(r.AllFromSocket());
}

TEST_F(WSocketTcpTest, ConnectReachesConnectedWithNoDelayAndTheSessionOptions)
{
    TWSocket s;
    TSocketRecorder r(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(QString::number(Listener.Port()));
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    ASSERT_TRUE(WaitFor([&] { return !r.Connected.isEmpty(); }));
    EXPECT_EQ(r.Connected, QList<int>{0});
    EXPECT_EQ(r.StateAtConnected, wsConnected);
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_TRUE(Listener.Accept().Valid());

    EXPECT_EQ(IntOption(s.Handle(), IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(IntOption(s.Handle(), SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(s.Handle(), SOL_SOCKET, SO_REUSEADDR), 1);
    linger lingering{};
    socklen_t size = sizeof(lingering);
    ASSERT_EQ(::getsockopt(s.Handle(), SOL_SOCKET, SO_LINGER, &lingering, &size), 0);
    EXPECT_EQ(lingering.l_onoff, 1);
    EXPECT_EQ(lingering.l_linger, 0);
    EXPECT_TRUE(r.AllFromSocket());
}


TEST_F(WSocketTcpTest, SendOnNeverConnectedSocketReportsThroughOnError)
{
    TWSocket s;
    TSocketRecorder r(s);
    EXPECT_EQ(s.SendBytes(QByteArray()), 0);
    EXPECT_TRUE(r.Errors.isEmpty());
    EXPECT_EQ(s.SendBytes("ENQ"), -1);
    EXPECT_EQ(s.LastError(), WSAENOTCONN);
    EXPECT_EQ(r.Errors, QList<int>{WSAENOTCONN});
    EXPECT_TRUE(r.Closed.isEmpty());  // it was never open
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(WSocketTcpTest, SendOnNeverConnectedSocketThrowsWithoutOnError)
{
    TWSocket s;
    try {
        s.SendBytes("ENQ");
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Error 10057 in function Send\r\nSocket is not connected");
        EXPECT_EQ(e.Code(), WSAENOTCONN);
    }
    EXPECT_EQ(s.LastError(), WSAENOTCONN);
}


TEST_F(WSocketTcpTest, CloseRaisesSessionClosedOnceBeforeReturning)
{
    TWSocket s;
    TSocketRecorder r(s);
    TLoopbackPeer peer = ConnectTo(s, r);
    s.Close();
    EXPECT_EQ(r.Closed, QList<int>{0});
    EXPECT_EQ(r.StateAtClosed, wsClosed);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Handle(), -1);
    s.Close();  // closed already: nothing
    SettleEvents();
    EXPECT_EQ(r.Closed.size(), 1);
    EXPECT_TRUE(peer.WaitForEnd());
}


TEST_F(WSocketTcpTest, CloseLaterClosesFromTheEventLoop)
{
    TWSocket s;
    TSocketRecorder r(s);
    TLoopbackPeer peer = ConnectTo(s, r);
    s.CloseLater();
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_TRUE(r.Closed.isEmpty());
    ASSERT_TRUE(WaitFor([&] { return !r.Closed.isEmpty(); }));
    EXPECT_EQ(s.State(), wsClosed);
    SettleEvents();
    EXPECT_EQ(r.Closed.size(), 1);
}

TEST_F(WSocketTcpTest, ThreeThousandBytesGoInThreeBlocksWithOneDataSent)
{
    TRecordingSocket s;
    TSocketRecorder r(s);
    TLoopbackPeer peer = ConnectTo(s, r);
    QByteArray data(3000, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + i / 256);

    EXPECT_EQ(s.SendBytes(data), 3000);
    EXPECT_EQ(s.Blocks, (QList<int>{1460, 1460, 80}));
    EXPECT_EQ(r.DataSent, 0);  // it follows through the event loop
    ASSERT_TRUE(WaitFor([&] { return r.DataSent > 0; }));
    SettleEvents();
    EXPECT_EQ(r.DataSent, 1);
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(peer.Read(3000), data);
    EXPECT_TRUE(r.AllFromSocket());
}


TEST_F(WSocketTcpTest, HeldBackQueueIsSentWhenTheHandleTurnsWritable)
{
    TRecordingSocket s;
    TSocketRecorder r(s);
    TLoopbackPeer peer = ConnectTo(s, r);
    s.Refusals = 1;
    EXPECT_EQ(s.SendBytes("WEP page"), 8);
    EXPECT_FALSE(s.AllSent());
    ASSERT_TRUE(WaitFor([&] { return r.DataSent == 1; }));
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(peer.Read(8), "WEP page");
    SettleEvents();
    EXPECT_EQ(r.DataSent, 1);
}

TEST_F(WSocketTcpTest, DataFromThePeerIsAnnouncedAndRead)
{
    TWSocket s;
    TSocketRecorder r(s);
    QByteArray received;
    int announced = 0;
    s.OnDataAvailable = [&](QObject* Sender, quint16 Error) {
        ++announced;
        EXPECT_EQ(Sender, &s);
        EXPECT_EQ(Error, 0);
        received += s.ReceiveAvailable();
    };
    TLoopbackPeer peer = ConnectTo(s, r);
    peer.Write(QByteArray("ACK\0 1", 6));
    ASSERT_TRUE(WaitFor([&] { return received.size() == 6; }));
    EXPECT_EQ(received, QByteArray("ACK\0 1", 6));
    peer.Write("second");
    ASSERT_TRUE(WaitFor([&] { return received.size() == 12; }));
    EXPECT_GE(announced, 2);
}

// Much that waits at once is read a few KiB per announcement, the event loop
// turning between reads, and nothing is lost.
TEST_F(WSocketTcpTest, MuchWaitingIsReadAFewKiBAtATime)
{
    TWSocket s;
    TSocketRecorder r(s);
    QByteArray received;
    qsizetype largest = 0;
    s.OnDataAvailable = [&](QObject*, quint16) {
        const QByteArray chunk = s.ReceiveAvailable();
        largest = std::max(largest, chunk.size());
        received += chunk;
    };
    TLoopbackPeer peer = ConnectTo(s, r);
    QByteArray sent(16384, Qt::Uninitialized);
    for (int i = 0; i < sent.size(); ++i)
        sent[i] = char(i * 7919 >> 3);
    ASSERT_EQ(::send(peer.Fd(), sent.constData(), sent.size(), 0), sent.size());
    int waiting = 0;  // all of it waits before the socket hears of any
    for (int i = 0; i < 1000000 && ::ioctl(s.Handle(), FIONREAD, &waiting) == 0 && waiting < sent.size(); ++i)
        QThread::yieldCurrentThread();
    ASSERT_TRUE(WaitFor([&] { return received.size() == sent.size(); }));
    EXPECT_EQ(received, sent);
    EXPECT_LE(largest, TCustomWSocket::MaxReceiveSize);
}

TEST_F(WSocketTcpTest, PeerThatClosesRaisesSessionClosed)
{
    TWSocket s;
    TSocketRecorder r(s);
    TLoopbackPeer peer = ConnectTo(s, r);
    peer.Close();
    ASSERT_TRUE(WaitFor([&] { return !r.Closed.isEmpty(); }));
    EXPECT_EQ(r.Closed, QList<int>{0});
    EXPECT_EQ(s.State(), wsClosed);
    s.Close();
    SettleEvents();
    EXPECT_EQ(r.Closed.size(), 1);
    EXPECT_TRUE(r.Errors.isEmpty());
}

TEST_F(WSocketTcpTest, ExceptionFromDataHandlerAbortsTheSocketAndGoesNoFurther)
{
    TScriptedDialogsScope dialogs;
    TWSocket s;
    TSocketRecorder r(s);
    int calls = 0;
    s.OnDataAvailable = [&](QObject*, quint16) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    TLoopbackPeer peer = ConnectTo(s, r);
    peer.Write("ACK");
    ASSERT_TRUE(WaitFor([&] { return !r.Closed.isEmpty(); }));
    SettleEvents();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(r.Closed, QList<int>{WSAECONNABORTED});
    EXPECT_EQ(r.StateAtClosed, wsClosed);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Handle(), -1);
    EXPECT_TRUE(r.Errors.isEmpty());
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_TRUE(dialogs->Records().isEmpty());  // nothing reached the error display
    EXPECT_TRUE(peer.WaitForEnd());
}




// ---- the peer's close, the send queue and the flush, provoked for real ----

// More than the kernel's loopback buffers hold while the peer reads nothing.
const QByteArray Flood(24 << 20, 'u');

TEST_F(WSocketTcpTest, PeerCloseIsSeenWhileAnnouncedDataWaitsUnread)
{
    TWSocket s;
    TSocketRecorder r(s);
    int announced = 0;
    s.OnDataAvailable = [&](QObject*, quint16) { ++announced; };  // leaves the data where it is
    TLoopbackPeer peer = ConnectTo(s, r);
    peer.Write("EVT2");
    ASSERT_TRUE(WaitFor([&] { return announced == 1; }));
    peer.Close();
    ASSERT_TRUE(WaitFor([&] { return !r.Closed.isEmpty(); }));
    EXPECT_EQ(r.Closed, QList<int>{0});
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(announced, 1);
}

TEST_F(WSocketTcpTest, DataSentWaitsForEverySendInTheQueue)
{
    TWSocket s;
    TSocketRecorder r(s);
    TLoopbackPeer peer = ConnectTo(s, r);
    EXPECT_EQ(s.SendBytes("LCD0   Upgrading    "), 20);  // goes at once; its notice is under way
    EXPECT_EQ(s.SendBytes(Flood), Flood.size());          // held back: the peer reads nothing
    ASSERT_FALSE(s.AllSent());
    SettleEvents(100);
    EXPECT_EQ(r.DataSent, 0) << "raised while data was still queued";
    EXPECT_EQ(peer.Drain(20 + Flood.size()), 20 + Flood.size());
    ASSERT_TRUE(WaitFor([&] { return r.DataSent > 0; }));
    SettleEvents();
    EXPECT_EQ(r.DataSent, 1);
    EXPECT_TRUE(s.AllSent());
}

// What is queued goes out before a close asked for later: the socket stays
// open while the peer takes nothing, and closes once it has taken everything.
TEST_F(WSocketTcpTest, CloseLaterSendsWhatIsQueuedFirst)
{
    TWSocket s;
    TSocketRecorder r(s);
    TLoopbackPeer peer = ConnectTo(s, r);
    ASSERT_EQ(s.SendBytes(Flood), Flood.size());
    ASSERT_FALSE(s.AllSent());
    s.CloseLater();
    SettleEvents();  // the request is handled
    EXPECT_EQ(s.State(), wsConnected) << "closed with data still queued";
    EXPECT_EQ(peer.Drain(Flood.size()), Flood.size());
    EXPECT_TRUE(peer.WaitForEnd());
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(r.Closed.size(), 1);
}

TEST_F(WSocketTcpTest, AnInterruptedSendIsRetriedNotDropped)
{
    TRecordingSocket s;
    TSocketRecorder r(s);
    TLoopbackPeer peer = ConnectTo(s, r);
    s.Interruptions = 2;
    EXPECT_EQ(s.SendBytes("WEP page"), 8);
    EXPECT_EQ(peer.Read(8), "WEP page");
    EXPECT_TRUE(r.Errors.isEmpty());
    ASSERT_TRUE(WaitFor([&] { return r.DataSent == 1; }));
}

// ---- addresses and ports ----

TEST_F(WSocketTcpTest, PortsThatAreNotDecimalNumbersUpTo65535AreRefused)
{
    for (const char* port : {"70000", "65536", "http", "-1", "5004x", "+80"}) {
        SCOPED_TRACE(port);
        TWSocket s;
        TSocketRecorder r(s);
        s.SetAddr("127.0.0.1");
        s.SetPort(port);
        s.Connect();
        EXPECT_EQ(r.Errors, QList<int>{WSAEINVAL});
        EXPECT_EQ(s.LastErrorText(),
                  QString("Error 10022 in function Resolve port \"%1\"\r\nInvalid argument").arg(port));
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(s.Handle(), -1);
    }
}

TEST_F(WSocketTcpTest, HostNameIsLookedUpWithoutHoldingTheCaller)
{
    TWSocket s;
    TSocketRecorder r(s);
    s.SetAddr("localhost");
    s.SetPort(QString::number(Listener.Port()));
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);  // returned before the look-up ended
    EXPECT_EQ(s.Handle(), -1);
    ASSERT_TRUE(WaitFor([&] { return !r.Connected.isEmpty(); }));
    EXPECT_EQ(r.Connected, QList<int>{0});
    EXPECT_TRUE(Listener.Accept().Valid());

    TWSocket closed;  // closed while looking up: nothing follows
    TSocketRecorder rc(closed);
    closed.SetAddr("localhost");
    closed.SetPort(QString::number(Listener.Port()));
    closed.Connect();
    closed.Close();
    EXPECT_EQ(closed.State(), wsClosed);
    SettleEvents(300);
    EXPECT_TRUE(rc.Connected.isEmpty());
    EXPECT_TRUE(rc.Closed.isEmpty());
    EXPECT_FALSE(Listener.Accept(100).Valid());
}
