#pragma once
// Plain kernel sockets that the socket-layer tests hold themselves, on the
// loopback address 127.0.0.1 only. Waiting lets the event loop run, so the
// socket under test keeps working meanwhile.

#include <QByteArray>
#include <QtGlobal>

// A descriptor closed with its owner.
class TOwnedFd {
public:
    TOwnedFd() = default;
    explicit TOwnedFd(int Fd) : FFd(Fd) {}
    TOwnedFd(TOwnedFd&& Other) noexcept : FFd(Other.Release()) {}
    TOwnedFd& operator=(TOwnedFd&& Other) noexcept;
    TOwnedFd(const TOwnedFd&) = delete;
    TOwnedFd& operator=(const TOwnedFd&) = delete;
    ~TOwnedFd() { Close(); }

    int Get() const { return FFd; }
    bool Valid() const { return FFd >= 0; }
    int Release();
    void Close();

private:
    int FFd = -1;
};

// The local port a socket is bound to.
quint16 LocalPortOf(int Fd);
// An integer socket option, or -1 when it cannot be read.
int IntOption(int Fd, int Level, int Name);

// One end of a TCP connection held by the test.
class TLoopbackPeer {
public:
    explicit TLoopbackPeer(TOwnedFd Fd);
    bool Valid() const { return FFd.Valid(); }
    void Write(const QByteArray& Data);
    // What arrives within TimeoutMs, until at least MinBytes are there.
    QByteArray Read(int MinBytes, int TimeoutMs = 3000);
    // Reads and throws away what arrives within TimeoutMs until Bytes came;
    // the number of bytes read.
    qint64 Drain(qint64 Bytes, int TimeoutMs = 10000);
    // The connection ended (closed or reset) within TimeoutMs.
    bool WaitForEnd(int TimeoutMs = 3000);
    void Close() { FFd.Close(); }
    int Fd() const { return FFd.Get(); }

private:
    TOwnedFd FFd;
};

// A TCP listener on 127.0.0.1 at a port of the kernel's choosing, or at a
// given loopback address and port.
class TLoopbackListener {
public:
    TLoopbackListener();
    TLoopbackListener(const char* Address, quint16 Port);
    quint16 Port() const { return FPort; }
    // The next connection within TimeoutMs (an invalid peer when none came).
    TLoopbackPeer Accept(int TimeoutMs = 3000);

private:
    TOwnedFd FFd;
    quint16 FPort = 0;
};

// A loopback TCP port where nothing listens: held bound (never listening) for
// the life of the object, so connecting to it is refused.
class TRefusingPort {
public:
    TRefusingPort();
    quint16 Port() const { return FPort; }

private:
    TOwnedFd FFd;
    quint16 FPort = 0;
};

// A TCP port at a loopback address that never answers a connect: it listens
// with a full backlog (one connection of its own waits there unaccepted), so
// the kernel drops every further connection request and the connect stays
// under way.
class TUnansweredPort {
public:
    TUnansweredPort(const char* Address, quint16 Port);

private:
    TOwnedFd FListener;
    TOwnedFd FFiller;
};

// A UDP socket bound to 127.0.0.1 that sends to and receives from loopback
// ports only.
class TLoopbackUdp {
public:
    TLoopbackUdp();
    quint16 Port() const { return FPort; }
    void SendTo(quint16 Port, const QByteArray& Data);
    // The next datagram within TimeoutMs and the port it came from (empty and
    // 0 when none came).
    QByteArray Receive(quint16& FromPort, int TimeoutMs = 3000);

private:
    TOwnedFd FFd;
    quint16 FPort = 0;
};
