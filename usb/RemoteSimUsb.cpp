#include "usb/RemoteSimUsb.h"

#include "usb/SimUsbWire.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int AnswerMs = 1000;  // a device answers a request within this

int Failed(int& Error, int Code)
{
    Error = Code;
    return -1;
}

// A connection refused or reset by a device is a device that has gone.
int GoneOr(int Code)
{
    return Code == EPIPE || Code == ECONNRESET || Code == ECONNREFUSED ? ENODEV : Code;
}

// Whether the process at the other end of a connected Unix socket is one of
// the user's own: another user's socket in the directory is no device of ours.
bool PeerIsOwn(int Fd)
{
    ucred peer{};
    socklen_t size = sizeof(peer);
    return ::getsockopt(Fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

}  // namespace

TRemoteSimUsb::TRemoteSimUsb(const QString& Directory) : FDirectory(Directory) {}

QStringList TRemoteSimUsb::Sockets(const QString& Prefix) const
{
    QStringList sockets;
    const QDir dir(FDirectory);
    for (const QString& name : dir.entryList(QDir::System | QDir::Files, QDir::Name))
        if (name.startsWith(Prefix, Qt::CaseInsensitive))
            sockets << dir.filePath(name);
    return sockets;
}

int TRemoteSimUsb::Ask(const QString& Socket, const QByteArray& Request, int& Error)
{
    const QByteArray path = QFile::encodeName(Socket);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= int(sizeof(address.sun_path)))
        return Failed(Error, ENAMETOOLONG);
    std::memcpy(address.sun_path, path.constData(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Failed(Error, errno);
    int code = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        code = errno == EAGAIN ? EBUSY : GoneOr(errno);  // a full queue refuses at once
    else if (!PeerIsOwn(fd))
        code = EACCES;
    else if (::send(fd, Request.constData(), Request.size(), MSG_NOSIGNAL) != Request.size())
        code = GoneOr(errno);
    if (code != 0) {
        ::close(fd);
        return Failed(Error, code);
    }
    return fd;
}

// Byte by byte, so that nothing an endpoint carries after the line is taken.
QByteArray TRemoteSimUsb::AnswerLine(int Fd)
{
    QByteArray line;
    const QDeadlineTimer deadline(AnswerMs);
    pollfd waiting{Fd, POLLIN, 0};
    while (line.size() < SimUsbWire::MaxLine && ::poll(&waiting, 1, int(deadline.remainingTime())) > 0) {
        char byte;
        if (::recv(Fd, &byte, 1, MSG_DONTWAIT) != 1)
            break;
        if (byte == '\n')
            return line;
        line += byte;
    }
    return QByteArray();
}

QStringList TRemoteSimUsb::EnumerateDevices(const TGUID& InterfaceClass)
{
    const QString guid = InterfaceClass.ToString();
    QStringList paths;
    for (const QString& socket : Sockets(SimUsbWire::SocketName(guid, QString()))) {
        int error = 0;
        const int fd = Ask(socket, SimUsbWire::HelloRequest(), error);
        if (fd < 0)
            continue;  // a socket nobody serves any more
        const auto hello = SimUsbWire::ParseHello(AnswerLine(fd));
        ::close(fd);
        if (!hello || QString::fromLatin1(hello->ClassGuid).compare(guid, Qt::CaseInsensitive) != 0)
            continue;
        const QString path = QString::fromLatin1(hello->Path);
        paths << path;
        std::lock_guard lock(FLock);
        FSockets[path.toLower()] = socket;
    }
    return paths;
}

QString TRemoteSimUsb::SocketOf(const QString& Path, int& Error)
{
    {
        std::lock_guard lock(FLock);
        if (const auto known = FSockets.constFind(Path.toLower()); known != FSockets.constEnd())
            return *known;
    }
    for (const QString& socket : Sockets(QString())) {
        int error = 0;
        const int fd = Ask(socket, SimUsbWire::HelloRequest(), error);
        if (fd < 0)
            continue;
        const auto hello = SimUsbWire::ParseHello(AnswerLine(fd));
        ::close(fd);
        if (hello && QString::fromLatin1(hello->Path).compare(Path, Qt::CaseInsensitive) == 0) {
            std::lock_guard lock(FLock);
            FSockets[Path.toLower()] = socket;
            return socket;
        }
    }
    Error = ENOENT;
    return QString();
}

TUSBPlatform::TFetchResult TRemoteSimUsb::FetchConfiguration(const QString& Path, QByteArray& Descriptor,
                                                             int& Error)
{
    const QString socket = SocketOf(Path, Error);
    const int fd = socket.isEmpty() ? -1 : Ask(socket, SimUsbWire::HelloRequest(), Error);
    if (fd < 0)
        return frOpenFailed;
    const auto hello = SimUsbWire::ParseHello(AnswerLine(fd));
    ::close(fd);
    if (!hello || QString::fromLatin1(hello->Path).compare(Path, Qt::CaseInsensitive) != 0) {
        Error = EIO;
        return frRequestFailed;
    }
    Descriptor = hello->Descriptor.left(UsbDescriptor::MaxConfigurationSize);
    Error = 0;
    return frOk;
}

int TRemoteSimUsb::OpenPipe(const QString& Path, int Index, int& Error)
{
    const QString socket = SocketOf(Path, Error);
    const int fd = socket.isEmpty() ? -1 : Ask(socket, SimUsbWire::PipeRequest(Index), Error);
    if (fd < 0)
        return -1;
    const QByteArray answer = AnswerLine(fd);
    const int refusal = answer.isEmpty() ? ETIMEDOUT : SimUsbWire::RefusalOf(answer);
    if (refusal != 0) {
        ::close(fd);
        return Failed(Error, refusal);
    }
    Error = 0;
    return fd;
}

void TRemoteSimUsb::ClosePipe(int Handle)
{
    if (Handle >= 0)
        ::close(Handle);
}

int TRemoteSimUsb::ReadPipe(int Handle, char* Buffer, int Size, int& Error)
{
    for (;;) {
        const ssize_t got = ::recv(Handle, Buffer, Size, MSG_DONTWAIT);
        if (got > 0)
            return int(got);
        if (got == 0)
            return Size == 0 ? 0 : Failed(Error, ENODEV);  // the device closed the endpoint
        if (errno == EAGAIN)
            return 0;
        if (errno != EINTR)
            return Failed(Error, GoneOr(errno));
    }
}

int TRemoteSimUsb::WritePipe(int Handle, const char* Data, int Size, int& Error)
{
    const QDeadlineTimer deadline(WriteTimeoutMs);
    int sent = 0;
    while (sent < Size) {
        const ssize_t n = ::send(Handle, Data + sent, Size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += int(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd writable{Handle, POLLOUT, 0};
            if (deadline.hasExpired() || ::poll(&writable, 1, int(deadline.remainingTime())) == 0)
                break;  // the device takes nothing more for now
        } else if (n == 0 || errno != EINTR) {
            const int code = n == 0 ? EIO : GoneOr(errno);
            return sent > 0 ? sent : Failed(Error, code);
        }
    }
    if (sent == 0 && Size > 0)
        return Failed(Error, ETIMEDOUT);
    Error = 0;
    return sent;
}

// An OUT endpoint's connection carries nothing towards the utility: what
// comes anyway is dropped, and its end is the device's.
bool TRemoteSimUsb::PipeAlive(int Handle, int& Error)
{
    char drop[256];
    for (;;) {
        const ssize_t got = ::recv(Handle, drop, sizeof drop, MSG_DONTWAIT);
        if (got > 0 || (got < 0 && errno == EINTR))
            continue;
        if (got < 0 && errno == EAGAIN)
            return true;
        Error = got == 0 ? ENODEV : GoneOr(errno);
        return false;
    }
}
