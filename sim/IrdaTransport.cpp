#include "sim/IrdaTransport.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int MaxRequestLine = 256;

QString systemError(const QString& what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(strerror(errno)));
}

bool isSocketFile(const QByteArray& path)
{
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// A notifier may be the one whose signal is running: switched off now, deleted later.
void discard(std::unique_ptr<QSocketNotifier>& notifier)
{
    if (notifier) {
        notifier->setEnabled(false);
        notifier.release()->deleteLater();
    }
}

} // namespace

IrdaTransport::IrdaTransport(const QString& socketPath, QObject* parent)
    : SimTransport(parent), m_path(socketPath)
{
    connect(&m_writer, &DescriptorWriter::failed, this, &IrdaTransport::endSession);
}

IrdaTransport::~IrdaTransport()
{
    closeAll();
}

TSimIrdaDevice IrdaTransport::device()
{
    TSimIrdaDevice d;
    d.Id = 0x4B543401;
    d.Name = "KT4 Head";
    d.Hints1 = 0x80;
    d.Hints2 = 0x04;                            // IrCOMM
    d.IrCommParameters = QByteArray("\x00\x01\x04", 3);  // service type: 9-wire
    return d;
}

bool IrdaTransport::open(QString* error)
{
    const QByteArray path = QFile::encodeName(m_path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || path.size() >= int(sizeof(address.sun_path))) {
        *error = QStringLiteral("%1: not a usable socket path").arg(m_path);
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), path.size());
    if (isSocketFile(path)) {
        ::unlink(path.constData());  // left behind by an earlier run
    }
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(m_listener, 8) != 0) {
        *error = systemError(m_path);
        closeAll();
        return false;
    }
    m_acceptNotifier = std::make_unique<QSocketNotifier>(m_listener, QSocketNotifier::Read);
    connect(m_acceptNotifier.get(), &QSocketNotifier::activated, this, &IrdaTransport::acceptClients);
    return true;
}

void IrdaTransport::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        Request& request = m_requests[fd];
        request.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(request.notifier.get(), &QSocketNotifier::activated, this, [this, fd] { readRequest(fd); });
    }
}

void IrdaTransport::readRequest(int fd)
{
    Request& request = m_requests.at(fd);
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EAGAIN) {
        return;
    }
    if (n <= 0) {
        dropRequest(fd);
        return;
    }
    request.line.append(buffer, static_cast<int>(n));
    const int end = request.line.indexOf('\n');
    if (end < 0) {
        if (request.line.size() > MaxRequestLine) {
            dropRequest(fd);
        }
        return;
    }
    const QByteArray line = request.line.left(end);
    const QByteArray rest = request.line.mid(end + 1);
    discard(request.notifier);
    m_requests.erase(fd);
    answer(fd, line, rest);
}

void IrdaTransport::dropRequest(int fd)
{
    discard(m_requests.at(fd).notifier);
    m_requests.erase(fd);
    ::close(fd);
}

void IrdaTransport::answer(int fd, const QByteArray& line, const QByteArray& rest)
{
    const TSimIrdaDevice me = device();
    if (line == SimIrdaWire::DevicesRequest().trimmed()) {
        const QByteArray description = m_inRange ? SimIrdaWire::FormatDevice(me) : QByteArray();
        if (!description.isEmpty()) {
            ::send(fd, description.constData(), description.size(), MSG_NOSIGNAL);
        }
        ::close(fd);
        return;
    }
    const auto session = SimIrdaWire::ParseSession(line);
    if (m_inRange && session && session->first == me.Id && m_session < 0) {
        startSession(fd, rest);
        return;
    }
    ::close(fd);  // an unknown device, or the instrument is busy with another session
}

void IrdaTransport::startSession(int fd, const QByteArray& firstBytes)
{
    m_session = fd;
    m_sessionRead = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_sessionRead.get(), &QSocketNotifier::activated, this, &IrdaTransport::readSession);
    m_writer.attach(fd);
    m_writer.write(SimIrdaWire::SessionAccepted());
    if (!firstBytes.isEmpty()) {
        emit received(firstBytes);
    }
}

void IrdaTransport::readSession()
{
    const auto deliver = [this](const QByteArray& bytes) { emit received(bytes); };
    if (!readUntilEmpty(m_session, deliver)) {
        endSession();  // the utility closed its socket
    }
}

void IrdaTransport::endSession()
{
    discard(m_sessionRead);
    m_writer.attach(-1);
    if (m_session >= 0) {
        ::close(m_session);
        m_session = -1;
    }
}

// Each answer goes out in one write, so that the utility receives it as one
// block, as an IrDA frame arrives. Nobody connected: the answer is lost, as in
// the air.
void IrdaTransport::send(const QByteArray& bytes)
{
    m_writer.write(bytes);
}

bool IrdaTransport::utilityHasUnreadBytes() const
{
    int unread = 0;
    if (m_session >= 0 && ::ioctl(m_session, SIOCOUTQ, &unread) != 0) {
        unread = 0;
    }
    return m_writer.hasPending() || unread > 0;
}

void IrdaTransport::closeAll()
{
    endSession();
    for (auto& [fd, request] : m_requests) {
        discard(request.notifier);
        ::close(fd);
    }
    m_requests.clear();
    m_acceptNotifier.reset();
    if (m_listener >= 0) {
        ::close(m_listener);
        m_listener = -1;
        ::unlink(QFile::encodeName(m_path).constData());
    }
}
