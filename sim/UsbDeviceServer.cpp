#include "sim/UsbDeviceServer.h"

#include "usb/SimUsbWire.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

quint64 inodeOf(const QByteArray& path)
{
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0 && S_ISSOCK(info.st_mode) ? quint64(info.st_ino) : 0;
}

void sendAll(int fd, const QByteArray& bytes)
{
    ::send(fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL);
}

} // namespace

UsbDeviceServer::UsbDeviceServer(const QString& directory, Identity identity, QObject* parent)
    : QObject(parent), m_directory(directory), m_identity(std::move(identity))
{
    if (m_identity.descriptor.isEmpty()) {
        m_identity.descriptor = BuildConfiguration(m_identity.endpoints);
    }
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &UsbDeviceServer::checkSocketFile);
}

UsbDeviceServer::~UsbDeviceServer()
{
    unplug();
}

QString UsbDeviceServer::socketPath() const
{
    return QDir(m_directory).filePath(SimUsbWire::SocketName(m_identity.classGuid, m_identity.name));
}

bool UsbDeviceServer::open(QString* error)
{
    const QByteArray path = QFile::encodeName(socketPath());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= int(sizeof(address.sun_path))) {
        *error = QStringLiteral("%1: not a usable socket path").arg(socketPath());
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), path.size());
    if (inodeOf(path) != 0) {
        ::unlink(path.constData());  // left behind by an earlier run
    }
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(m_listener, 16) != 0) {
        *error = QStringLiteral("%1: %2").arg(socketPath(), QString::fromLocal8Bit(strerror(errno)));
        unplug();
        return false;
    }
    m_socketInode = inodeOf(path);
    m_acceptNotifier = std::make_unique<QSocketNotifier>(m_listener, QSocketNotifier::Read);
    connect(m_acceptNotifier.get(), &QSocketNotifier::activated, this, &UsbDeviceServer::acceptClients);
    m_watcher.addPath(m_directory);
    return true;
}

void UsbDeviceServer::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        Connection& request = m_requests[fd];
        request.fd = fd;
        request.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(request.notifier.get(), &QSocketNotifier::activated, this, [this, fd] { readRequest(fd); });
    }
}

void UsbDeviceServer::readRequest(int fd)
{
    Connection& request = m_requests.at(fd);
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    const int end = n > 0 ? int(request.line.append(buffer, int(n)).indexOf('\n')) : -1;
    if (n > 0 && end < 0 && request.line.size() <= SimUsbWire::MaxLine) {
        return;  // more of the line to come
    }
    Connection connection = std::move(request);
    m_requests.erase(fd);
    if (end < 0) {
        closeConnection(connection);  // closed, or no line at all
        return;
    }
    const QByteArray line = connection.line.left(end);
    const QByteArray rest = connection.line.mid(end + 1);
    answer(std::move(connection), line, rest);
}

void UsbDeviceServer::answer(Connection connection, const QByteArray& line, const QByteArray& rest)
{
    if (line == SimUsbWire::HelloRequest().trimmed()) {
        const SimUsbWire::THello hello{m_identity.classGuid.toLatin1(), m_identity.path, m_identity.descriptor};
        sendAll(connection.fd, SimUsbWire::FormatHello(hello));
        closeConnection(connection);
        return;
    }
    const std::optional<int> pipe = SimUsbWire::ParsePipe(line);
    const int refusal = !pipe || *pipe >= int(m_identity.endpoints.size()) ? ENOENT
                        : pipeOpen(*pipe)                                    ? EBUSY
                                                                             : 0;
    if (refusal != 0) {
        sendAll(connection.fd, SimUsbWire::PipeRefused(refusal));
        closeConnection(connection);
        return;
    }
    openPipe(*pipe, std::move(connection), rest);
}

void UsbDeviceServer::openPipe(int pipe, Connection connection, const QByteArray& rest)
{
    connection.line.clear();
    connection.notifier = std::make_unique<QSocketNotifier>(connection.fd, QSocketNotifier::Read);
    connect(connection.notifier.get(), &QSocketNotifier::activated, this, [this, pipe] { readPipe(pipe); });
    sendAll(connection.fd, SimUsbWire::PipeAccepted());
    const bool input = m_identity.endpoints[pipe].IsInput();
    if (input) {
        connection.writer = std::make_unique<DescriptorWriter>();
        connection.writer->attach(connection.fd);
        connect(connection.writer.get(), &DescriptorWriter::failed, this, [this, pipe] { closePipe(pipe); });
    }
    m_pipes[pipe] = std::move(connection);
    emit pipeOpened(pipe);
    if (input && m_held.count(pipe)) {
        send(pipe, m_held[pipe]);
        m_held.erase(pipe);
    }
    if (!input && !rest.isEmpty()) {
        emit received(pipe, rest);
    }
}

void UsbDeviceServer::readPipe(int pipe)
{
    const auto found = m_pipes.find(pipe);
    if (found == m_pipes.end()) {
        return;
    }
    QByteArray bytes;  // handed on once read: a handler may close the pipe
    const bool open = readUntilEmpty(found->second.fd, [&bytes](const QByteArray& chunk) { bytes += chunk; });
    if (!bytes.isEmpty() && !m_identity.endpoints[pipe].IsInput()) {
        emit received(pipe, bytes);  // an IN endpoint's connection carries nothing this way
    }
    if (!open) {
        closePipe(pipe);  // the utility closed the pipe
    }
}

void UsbDeviceServer::closePipe(int pipe)
{
    const auto found = m_pipes.find(pipe);
    if (found == m_pipes.end()) {
        return;
    }
    Connection connection = std::move(found->second);
    m_pipes.erase(found);
    closeConnection(connection);
    emit pipeClosed(pipe);
}

// A notifier or writer may be the one whose signal is running: switched off
// now, deleted later.
void UsbDeviceServer::closeConnection(Connection& connection)
{
    if (connection.notifier) {
        connection.notifier->setEnabled(false);
        connection.notifier.release()->deleteLater();
    }
    if (connection.writer) {
        connection.writer->attach(-1);
        connection.writer.release()->deleteLater();
    }
    if (connection.fd >= 0) {
        ::close(connection.fd);
        connection.fd = -1;
    }
}

void UsbDeviceServer::send(int pipe, const QByteArray& bytes)
{
    const auto found = m_pipes.find(pipe);
    if (found != m_pipes.end() && found->second.writer) {
        found->second.writer->write(bytes);
    } else if (pipe >= 0 && pipe < int(m_identity.endpoints.size()) && m_listener >= 0) {
        m_held[pipe] += bytes;
    }
}

void UsbDeviceServer::checkSocketFile()
{
    if (m_listener >= 0 && inodeOf(QFile::encodeName(socketPath())) != m_socketInode) {
        unplug();  // someone removed the socket: the device was pulled out
    }
}

void UsbDeviceServer::unplug()
{
    const bool wasServing = m_listener >= 0;
    while (!m_pipes.empty()) {
        closePipe(m_pipes.begin()->first);
    }
    for (auto& [fd, request] : m_requests) {
        closeConnection(request);
    }
    m_requests.clear();
    m_held.clear();
    m_acceptNotifier.reset();
    if (!m_watcher.directories().isEmpty()) {
        m_watcher.removePaths(m_watcher.directories());
    }
    if (wasServing) {
        ::close(m_listener);
        m_listener = -1;
        const QByteArray path = QFile::encodeName(socketPath());
        if (inodeOf(path) == m_socketInode) {
            ::unlink(path.constData());
        }
        emit unplugged();
    }
}
