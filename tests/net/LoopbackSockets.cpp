#include "tests/net/LoopbackSockets.h"

#include "tests/TestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in Loopback(quint16 Port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

TOwnedFd BoundSocket(int Type)
{
    TOwnedFd fd(::socket(AF_INET, Type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(0);
    if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        throw std::runtime_error("cannot bind a loopback socket");
    return fd;
}

}  // namespace

TOwnedFd& TOwnedFd::operator=(TOwnedFd&& Other) noexcept
{
    if (this != &Other) {
        Close();
        FFd = Other.Release();
    }
    return *this;
}

int TOwnedFd::Release()
{
    const int fd = FFd;
    FFd = -1;
    return fd;
}

void TOwnedFd::Close()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

quint16 LocalPortOf(int Fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof(address);
    if (::getsockname(Fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohs(address.sin_port);
}

int IntOption(int Fd, int Level, int Name)
{
    int value = 0;
    socklen_t size = sizeof(value);
    return ::getsockopt(Fd, Level, Name, &value, &size) == 0 ? value : -1;
}

// ---------------------------------------------------------------- TCP

TLoopbackPeer::TLoopbackPeer(TOwnedFd Fd) : FFd(std::move(Fd)) {}

void TLoopbackPeer::Write(const QByteArray& Data)
{
    qsizetype done = 0;
    const bool written = WaitFor([&] {
        const ssize_t n = ::send(FFd.Get(), Data.constData() + done, Data.size() - done, MSG_NOSIGNAL);
        done += n > 0 ? n : 0;
        return done == Data.size();
    });
    if (!written)
        throw std::runtime_error("loopback peer cannot write");
}

QByteArray TLoopbackPeer::Read(int MinBytes, int TimeoutMs)
{
    QByteArray data;
    WaitFor(
        [&] {
            char buffer[4096];
            const ssize_t n = ::recv(FFd.Get(), buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n > 0)
                data.append(buffer, n);
            return data.size() >= MinBytes;
        },
        TimeoutMs);
    return data;
}

qint64 TLoopbackPeer::Drain(qint64 Bytes, int TimeoutMs)
{
    qint64 done = 0;
    WaitFor(
        [&] {
            static char buffer[1 << 16];
            ssize_t n = 0;
            while ((n = ::recv(FFd.Get(), buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
                done += n;
            return done >= Bytes;
        },
        TimeoutMs);
    return done;
}

bool TLoopbackPeer::WaitForEnd(int TimeoutMs)
{
    return WaitFor(
        [&] {
            char buffer[256];
            const ssize_t n = ::recv(FFd.Get(), buffer, sizeof(buffer), MSG_DONTWAIT);
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        },
        TimeoutMs);
}

TLoopbackListener::TLoopbackListener() : FFd(BoundSocket(SOCK_STREAM))
{
    if (::listen(FFd.Get(), 4) != 0)
        throw std::runtime_error("cannot listen on loopback");
    FPort = LocalPortOf(FFd.Get());
}

TLoopbackListener::TLoopbackListener(const char* Address, quint16 Port)
    : FFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)), FPort(Port)
{
    sockaddr_in address = Loopback(Port);
    const int on = 1;
    ::setsockopt(FFd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (::inet_pton(AF_INET, Address, &address.sin_addr) != 1 || (ntohl(address.sin_addr.s_addr) >> 24) != 127
        || ::bind(FFd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(FFd.Get(), 4) != 0)
        throw std::runtime_error("cannot listen on the loopback address");
}

TLoopbackPeer TLoopbackListener::Accept(int TimeoutMs)
{
    TOwnedFd accepted;
    WaitFor(
        [&] {
            accepted = TOwnedFd(::accept4(FFd.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            return accepted.Valid();
        },
        TimeoutMs);
    return TLoopbackPeer(std::move(accepted));
}

TUnansweredPort::TUnansweredPort(const char* Address, quint16 Port)
    : FListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), FFiller(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address = Loopback(Port);
    const int on = 1;
    ::setsockopt(FListener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (::inet_pton(AF_INET, Address, &address.sin_addr) != 1 || (ntohl(address.sin_addr.s_addr) >> 24) != 127
        || ::bind(FListener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(FListener.Get(), 0) != 0
        || ::connect(FFiller.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        throw std::runtime_error("cannot make an unanswered loopback port");
}

TRefusingPort::TRefusingPort() : FFd(BoundSocket(SOCK_STREAM)), FPort(LocalPortOf(FFd.Get())) {}

// ---------------------------------------------------------------- UDP

TLoopbackUdp::TLoopbackUdp() : FFd(BoundSocket(SOCK_DGRAM)), FPort(LocalPortOf(FFd.Get())) {}

void TLoopbackUdp::SendTo(quint16 Port, const QByteArray& Data)
{
    const sockaddr_in to = Loopback(Port);
    if (::sendto(FFd.Get(), Data.constData(), Data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to))
        != Data.size())
        throw std::runtime_error("loopback datagram not sent");
}

QByteArray TLoopbackUdp::Receive(quint16& FromPort, int TimeoutMs)
{
    QByteArray data;
    FromPort = 0;
    WaitFor(
        [&] {
            char buffer[2048];
            sockaddr_in from{};
            socklen_t size = sizeof(from);
            const ssize_t n = ::recvfrom(FFd.Get(), buffer, sizeof(buffer), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &size);
            if (n < 0)
                return false;
            data = QByteArray(buffer, n);
            FromPort = ntohs(from.sin_port);
            return true;
        },
        TimeoutMs);
    return data;
}
