#include "sim/DockTransport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A notifier may be the one whose signal is running: switched off now, deleted later.
void discard(std::unique_ptr<QSocketNotifier>& notifier)
{
    if (notifier) {
        notifier->setEnabled(false);
        notifier.release()->deleteLater();
    }
}

} // namespace

int listenOnLoopback(const QString& address, quint16 port, QString* error)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.toLatin1().constData(), &local.sin_addr) != 1
        || (ntohl(local.sin_addr.s_addr) >> 24) != 127) {
        *error = QStringLiteral("%1 is not a loopback address (127.x.y.z)").arg(address);
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(fd, 4) != 0) {
        *error = QStringLiteral("%1:%2: %3").arg(address).arg(port).arg(QString::fromLocal8Bit(strerror(errno)));
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

DockTransport::DockTransport(const QString& address, quint16 port, bool serve, QObject* parent)
    : SimTransport(parent), m_address(address), m_port(port), m_serve(serve)
{
    connect(&m_writer, &DescriptorWriter::failed, this, &DockTransport::endConnection);
}

DockTransport::~DockTransport()
{
    endConnection();
    m_acceptNotifier.reset();
    if (m_listener >= 0) {
        ::close(m_listener);
    }
}

bool DockTransport::open(QString* error)
{
    if (!m_serve) {
        return true;
    }
    m_listener = listenOnLoopback(m_address, m_port, error);
    if (m_listener < 0) {
        return false;
    }
    m_acceptNotifier = std::make_unique<QSocketNotifier>(m_listener, QSocketNotifier::Read);
    connect(m_acceptNotifier.get(), &QSocketNotifier::activated, this, &DockTransport::acceptClients);
    return true;
}

// A second data connection while one is up is closed at once.
void DockTransport::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (m_connection >= 0) {
            ::close(fd);
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_connection = fd;
        m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &DockTransport::readConnection);
        m_writer.attach(fd);
        emit note(QStringLiteral("data connection up"));
    }
}

void DockTransport::readConnection()
{
    const auto deliver = [this](const QByteArray& bytes) {
        if (frozen()) {
            return;
        }
        m_fromUtility += bytes.size();
        if (frozen()) {
            emit note(QStringLiteral("the dock freezes"));
            return;
        }
        m_programAsked = m_programAsked || bytes.contains("PFM");
        if (m_passing) {
            emit received(bytes);
        } else {
            emit note(QStringLiteral("%1 data bytes dropped: the instrument is not passed through").arg(bytes.size()));
        }
    };
    if (!readUntilEmpty(m_connection, deliver)) {
        emit note(QStringLiteral("data connection closed by the utility"));
        endConnection();
    }
}

void DockTransport::endConnection()
{
    discard(m_readNotifier);
    m_writer.attach(-1);
    if (m_connection >= 0) {
        ::close(m_connection);
        m_connection = -1;
    }
}

void DockTransport::send(const QByteArray& bytes)
{
    if (frozen()) {
        return;
    }
    m_writer.write(bytes);
    if (m_programAsked && bytes.startsWith("ACK")) {
        m_programAsked = false;
        emit programAnswered();
    }
}

bool DockTransport::utilityHasUnreadBytes() const
{
    int unread = 0;
    if (m_connection >= 0 && ::ioctl(m_connection, SIOCOUTQ, &unread) != 0) {
        unread = 0;
    }
    return m_writer.hasPending() || unread > 0;
}

// Losing the link drops the data connection; the dock itself stays.
void DockTransport::closeAll()
{
    if (m_connection >= 0) {
        emit note(QStringLiteral("dropping the data connection"));
    }
    endConnection();
}
