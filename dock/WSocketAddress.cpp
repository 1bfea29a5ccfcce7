#include "dock/WSocketAddress.h"

#include "dock/WSocketErrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

int ResolveIPv4(const QString& Host, const QString& Port, bool Udp, sockaddr_in& Out)
{
    if (Host.trimmed().isEmpty())
        return WSAHOST_NOT_FOUND;
    if (Port.trimmed().isEmpty())
        return WSAEINVAL;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = Udp ? SOCK_DGRAM : SOCK_STREAM;
    const QByteArray host = Host.trimmed().toLocal8Bit();
    const QByteArray port = Port.trimmed().toLocal8Bit();
    in_addr numeric{};
    if (::inet_pton(AF_INET, host.constData(), &numeric) == 1)
        hints.ai_flags |= AI_NUMERICHOST;  // dotted decimal: no look-up at all
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.constData(), port.constData(), &hints, &found);
    if (rc != 0)
        return WSocketErrorFromResolver(rc, errno);
    std::memcpy(&Out, found->ai_addr, sizeof(sockaddr_in));
    ::freeaddrinfo(found);
    return 0;
}

QString DottedDecimal(const sockaddr_in& Address)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &Address.sin_addr, text, sizeof(text));
    return QString::fromLatin1(text);
}

quint16 PortOf(const sockaddr_in& Address)
{
    return ntohs(Address.sin_port);
}
