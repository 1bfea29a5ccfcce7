// The socket layer over UDP, on loopback only.

#include "net/WSocket.h"
#include "tests/TestSupport.h"
#include "tests/net/LoopbackSockets.h"
#include "tests/net/SocketRecorder.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

namespace {

struct TDatagram {
    int Length = 0;
    QByteArray Data;
    QString FromAddr;
    quint16 FromPort = 0;
};

// A UDP socket listening on a loopback port of the kernel's choosing; every
// announced datagram is read into a buffer of BufferSize bytes.
class WSocketUdpTest : public ::testing::Test {
protected:
    void ListenOnLoopback()
    {
        Socket.SetProto("udp");
        Socket.SetAddr("127.0.0.1");
        Socket.SetPort("0");
        Socket.OnDataAvailable = [this](QObject*, quint16) {
            TDatagram d;
            d.Length = Socket.ReceiveDatagram(d.Data, BufferSize, d.FromAddr, d.FromPort);
            Received << d;
        };
        Socket.Listen();
        Port = LocalPortOf(Socket.Handle());
    }

    TWSocket Socket;
    TSocketRecorder Recorder{Socket};
    QList<TDatagram> Received;
    int BufferSize = 1024;
    quint16 Port = 0;
};

}  // namespace


TEST_F(WSocketUdpTest, ListenReceivesDatagramWithTheSendersDottedAddressAndPort)
{
    ListenOnLoopback();
    EXPECT_EQ(Recorder.Connected, QList<int>{0});  // before Listen returned
    EXPECT_EQ(Socket.State(), wsConnected);
    TLoopbackUdp dock;
    dock.SendTo(Port, QByteArray("Kelo6 unit 3\0junk", 17));
    ASSERT_TRUE(WaitFor([&] { return !Received.isEmpty(); }));
    const TDatagram& d = Received.first();
    EXPECT_EQ(d.Length, 17);
    EXPECT_EQ(d.Data, QByteArray("Kelo6 unit 3\0junk", 17));
    EXPECT_EQ(d.FromAddr, "127.0.0.1");
    EXPECT_EQ(d.FromPort, dock.Port());
    EXPECT_TRUE(Recorder.Errors.isEmpty());
}

TEST_F(WSocketUdpTest, DatagramLongerThanTheBufferIsAnError)
{
    BufferSize = 4;
    ListenOnLoopback();
    TLoopbackUdp dock;
    dock.SendTo(Port, "MP KeloExpress");
    ASSERT_TRUE(WaitFor([&] { return !Received.isEmpty(); }));
    EXPECT_EQ(Received.first().Length, -1);
    EXPECT_TRUE(Received.first().Data.isEmpty());
    EXPECT_EQ(Socket.LastError(), WSAEMSGSIZE);
    EXPECT_TRUE(Recorder.Errors.isEmpty());  // reported by the result, not the error path

    dock.SendTo(Port, "ok");  // the socket goes on receiving
    ASSERT_TRUE(WaitFor([&] { return Received.size() == 2; }));
    EXPECT_EQ(Received.last().Length, 2);
    EXPECT_EQ(Received.last().Data, "ok");
    EXPECT_EQ(Socket.State(), wsConnected);
}

TEST_F(WSocketUdpTest, ConnectFromAnEphemeralPortSendsAtOnce)
{
    TLoopbackUdp dock;
    Socket.SetProto("udp");
    Socket.SetAddr("127.0.0.1");
    Socket.SetPort(QString::number(dock.Port()));
    Socket.Connect();
    EXPECT_EQ(Socket.State(), wsConnected);
    EXPECT_EQ(Recorder.Connected, QList<int>{0});
    EXPECT_EQ(IntOption(Socket.Handle(), SOL_SOCKET, SO_BROADCAST), 1);  // on every datagram socket
    const quint16 localPort = LocalPortOf(Socket.Handle());
    EXPECT_NE(localPort, 0);

    EXPECT_EQ(Socket.SendBytes("ENQ"), 3);
    quint16 from = 0;
    EXPECT_EQ(dock.Receive(from), "ENQ");
    EXPECT_EQ(from, localPort);
    ASSERT_TRUE(WaitFor([&] { return Recorder.DataSent == 1; }));
    Socket.Close();
    EXPECT_EQ(Recorder.Closed, QList<int>{0});
}


TEST_F(WSocketUdpTest, PortInUseFailsInBindWithAnException)
{
    TLoopbackUdp holder;
    TWSocket s;
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort(QString::number(holder.Port()));
    try {
        s.Listen();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Error 10048 in function Bind\r\nAddress already in use");
    }
    EXPECT_EQ(s.LastError(), WSAEADDRINUSE);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Handle(), -1);
}



TEST_F(WSocketUdpTest, TheLoopbackBroadcastReachesAListenerOnEveryAddress)
{
    TWSocket listener;
    QByteArray heard;
    listener.SetProto("udp");
    listener.SetAddr("0.0.0.0");
    listener.SetPort("0");
    listener.OnDataAvailable = [&](QObject*, quint16) {
        QString from;
        quint16 port = 0;
        listener.ReceiveDatagram(heard, 64, from, port);
    };
    listener.Listen();
    Socket.SetProto("udp");
    Socket.SetAddr("127.255.255.255");
    Socket.SetPort(QString::number(LocalPortOf(listener.Handle())));
    Socket.Connect();
    EXPECT_EQ(Socket.SendBytes("Kelo6?"), 6);
    ASSERT_TRUE(WaitFor([&] { return !heard.isEmpty(); }));
    EXPECT_EQ(heard, "Kelo6?");
    EXPECT_TRUE(Recorder.Errors.isEmpty());
}
