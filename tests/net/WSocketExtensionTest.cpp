// The extension points a socket of another family builds on: an adopted
// descriptor (here one end of a local socket pair, as a simulated stack hands
// out), its connect completion, and the error path run with a given code.

#include "net/WSocket.h"
#include "tests/TestSupport.h"
#include "tests/net/LoopbackSockets.h"
#include "tests/net/SocketRecorder.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class TAdoptingSocket : public TCustomSyncWSocket {
public:
    using TCustomSyncWSocket::TCustomSyncWSocket;
    using TCustomWSocket::AdoptHandle;
    using TCustomWSocket::SetState;
    using TCustomWSocket::SocketError;

    int ConnectResult = 0;  // what the "stack" says of the connect

protected:
    int HandleConnectResult() override { return ConnectResult; }
};

struct TSocketPair {
    TSocketPair()
    {
        int fds[2] = {-1, -1};
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        Ours = fds[0];
        Theirs = TOwnedFd(fds[1]);
    }
    int Ours = -1;  // handed to the socket, which closes it
    TOwnedFd Theirs;
};

}  // namespace

TEST(WSocketExtensionTest, AdoptedHandleConnectsThroughTheEventLoopAndCarriesData)
{
    TSocketPair pair;
    TAdoptingSocket s;
    TSocketRecorder r(s);
    QByteArray received;
    s.OnDataAvailable = [&](QObject*, quint16) { received += s.ReceiveAvailable(); };
    s.AdoptHandle(pair.Ours, wsOpened);
    EXPECT_EQ(s.State(), wsOpened);
    s.SetState(wsConnecting);
    ASSERT_TRUE(WaitFor([&] { return !r.Connected.isEmpty(); }));
    EXPECT_EQ(r.Connected, QList<int>{0});
    EXPECT_EQ(s.State(), wsConnected);

    EXPECT_EQ(s.SendBytes("WHO "), 4);
    TLoopbackPeer theirs(std::move(pair.Theirs));
    EXPECT_EQ(theirs.Read(4), "WHO ");
    theirs.Write("ACK 16");
    ASSERT_TRUE(WaitFor([&] { return received == "ACK 16"; }));
    ASSERT_TRUE(WaitFor([&] { return r.DataSent == 1; }));

    theirs.Close();
    ASSERT_TRUE(WaitFor([&] { return !r.Closed.isEmpty(); }));
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketExtensionTest, FailedConnectOfAnAdoptedHandleEndsClosed)
{
    TSocketPair pair;
    TAdoptingSocket s;
    TSocketRecorder r(s);
    s.ConnectResult = WSAETIMEDOUT;
    s.AdoptHandle(pair.Ours, wsConnecting);
    ASSERT_TRUE(WaitFor([&] { return !r.Connected.isEmpty(); }));
    EXPECT_EQ(r.Connected, QList<int>{WSAETIMEDOUT});
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.LastError(), WSAETIMEDOUT);
    EXPECT_EQ(s.Handle(), -1);
}

TEST(WSocketExtensionTest, ConnectionResetClosesAtOnceThenReportsTheError)
{
    TSocketPair pair;
    TAdoptingSocket s;
    TSocketRecorder r(s);
    s.AdoptHandle(pair.Ours, wsConnected);
    s.SocketError("Send", WSAECONNRESET);
    EXPECT_EQ(s.Handle(), -1);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(r.Closed, QList<int>{WSAECONNRESET});
    EXPECT_EQ(r.StateAtClosed, wsClosed);
    EXPECT_EQ(r.Errors, QList<int>{WSAECONNRESET});

    s.SocketError("Send", WSAENOTCONN);  // already closed: no second close event
    EXPECT_EQ(r.Closed.size(), 1);
    EXPECT_EQ(r.Errors, (QList<int>{WSAECONNRESET, WSAENOTCONN}));
}

TEST(WSocketExtensionTest, OtherErrorsLeaveTheSocketOpen)
{
    TSocketPair pair;
    TAdoptingSocket s;
    TSocketRecorder r(s);
    s.AdoptHandle(pair.Ours, wsConnected);
    s.SocketError("SetLPTMode", WSAEINVAL);
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(s.LastError(), WSAEINVAL);
    EXPECT_EQ(r.Errors, QList<int>{WSAEINVAL});
    EXPECT_TRUE(r.Closed.isEmpty());
}

