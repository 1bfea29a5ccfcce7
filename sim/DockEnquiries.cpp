#include "sim/DockEnquiries.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int EnquiryBufferSize = 64;

bool isLoopback(quint32 hostOrderAddress)
{
    return (hostOrderAddress >> 24) == 127;
}

QString shownAddress(quint32 hostOrderAddress)
{
    const in_addr a{htonl(hostOrderAddress)};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return QString::fromLatin1(text);
}

sockaddr_in ipv4(quint32 hostOrderAddress, quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(hostOrderAddress);
    return a;
}

// A non-blocking UDP socket bound to address:port, or -1 with errno set.
int boundUdp(quint32 address, quint16 port, bool shared)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    const sockaddr_in local = ipv4(address, port);
    if (fd < 0 || (shared && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int saved = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        errno = saved;
        return -1;
    }
    return fd;
}

QString errorText()
{
    return QString::fromLocal8Bit(strerror(errno));
}

} // namespace

SimDockEnquiries::SimDockEnquiries(const QString& address, const QList<SimDockEnquiry>& enquiries, QObject* parent)
    : QObject(parent), m_address(address)
{
    for (const SimDockEnquiry& enquiry : enquiries) {
        m_listeners.push_back(std::make_unique<Listener>());
        m_listeners.back()->enquiry = enquiry;
    }
}

SimDockEnquiries::~SimDockEnquiries()
{
    for (auto& listener : m_listeners) {
        listener->notifier.reset();
        if (listener->fd >= 0) {
            ::close(listener->fd);
        }
    }
    if (m_answerFd >= 0) {
        ::close(m_answerFd);
    }
}

bool SimDockEnquiries::open(QString* error)
{
    in_addr own{};
    if (::inet_pton(AF_INET, m_address.toLatin1().constData(), &own) != 1
        || (m_answerFd = boundUdp(ntohl(own.s_addr), 0, false)) < 0) {
        *error = QStringLiteral("cannot answer the dock enumerator from %1: %2").arg(m_address, errorText());
        return false;
    }
    for (auto& listener : m_listeners) {
        listener->fd = boundUdp(INADDR_ANY, listener->enquiry.enquiryPort, true);
        if (listener->fd < 0) {
            emit note(QStringLiteral("enquiries on UDP port %1 go unanswered: %2")
                          .arg(listener->enquiry.enquiryPort)
                          .arg(errorText()));
            continue;
        }
        listener->notifier = std::make_unique<QSocketNotifier>(listener->fd, QSocketNotifier::Read);
        Listener* heard = listener.get();
        connect(listener->notifier.get(), &QSocketNotifier::activated, this, [this, heard] { readEnquiries(*heard); });
    }
    return true;
}

// Every datagram waiting; only "ENQ" is answered.
void SimDockEnquiries::readEnquiries(Listener& listener)
{
    for (;;) {
        char buffer[EnquiryBufferSize];
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t got = ::recvfrom(listener.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (got < 0) {
            return;
        }
        if (QByteArray(buffer, int(got)) == "ENQ" && answers(ntohl(from.sin_addr.s_addr))) {
            answer(listener, ntohl(from.sin_addr.s_addr));
        }
    }
}

// The refusal is told once: a network's enquiries may come often, and from anyone.
bool SimDockEnquiries::answers(quint32 enquirer)
{
    if (isLoopback(enquirer)) {
        return true;
    }
    if (!m_refusalTold) {
        m_refusalTold = true;
        emit note(QStringLiteral("enquiries from other hosts go unanswered (the first from %1): the dock is served "
                                 "on loopback only")
                      .arg(shownAddress(enquirer)));
    }
    return false;
}

void SimDockEnquiries::answer(const Listener& listener, quint32 enquirer)
{
    const QByteArray text = QByteArray(listener.enquiry.name) + ' ' + m_address.toLatin1();
    const sockaddr_in to = ipv4(enquirer, listener.enquiry.answerPort);
    const bool sent = ::sendto(m_answerFd, text.constData(), size_t(text.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                               sizeof to) == text.size();
    char shown[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &to.sin_addr, shown, sizeof shown);
    emit note(sent ? QStringLiteral("enquiry on UDP port %1 answered \"%2\" to %3:%4")
                         .arg(listener.enquiry.enquiryPort)
                         .arg(QString::fromLatin1(text), QString::fromLatin1(shown))
                         .arg(listener.enquiry.answerPort)
                   : QStringLiteral("enquiry on UDP port %1: answer not sent: %2")
                         .arg(listener.enquiry.enquiryPort)
                         .arg(errorText()));
}
