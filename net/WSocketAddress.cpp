#include "net/WSocketAddress.h"

#include "net/WSocketErrors.h"

#include <arpa/inet.h>

bool ParseDottedDecimal(const QString& Host, in_addr& Out)
{
    const QByteArray text = Host.trimmed().toLatin1();
    return !text.isEmpty() && ::inet_pton(AF_INET, text.constData(), &Out) == 1;
}

bool ParsePort(const QString& Port, quint16& Out)
{
    const QString text = Port.trimmed();
    if (text.isEmpty() || text.size() > 5)
        return false;
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value > 65535)
        return false;
    Out = static_cast<quint16>(value);
    return true;
}

sockaddr_in MakeSockAddr(in_addr Address, quint16 Port)
{
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_addr = Address;
    out.sin_port = htons(Port);
    return out;
}

int NumericIPv4(const QString& Host, const QString& Port, sockaddr_in& Out)
{
    in_addr address{};
    if (!ParseDottedDecimal(Host, address))
        return WSAHOST_NOT_FOUND;
    quint16 port = 0;
    if (!ParsePort(Port, port))
        return WSAEINVAL;
    Out = MakeSockAddr(address, port);
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
