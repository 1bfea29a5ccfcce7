#pragma once
// IPv4 addresses of the socket layer: resolving the Addr/Port settings and
// writing an address back in dotted-decimal form.

#include <QString>
#include <netinet/in.h>

// Resolves Host (dotted decimal or a host name) and Port (decimal or a service
// name) to an IPv4 socket address for a stream (Udp false) or datagram socket.
// 0 on success, otherwise the socket error code.
int ResolveIPv4(const QString& Host, const QString& Port, bool Udp, sockaddr_in& Out);

// "a.b.c.d" for the address, and its port in host order.
QString DottedDecimal(const sockaddr_in& Address);
quint16 PortOf(const sockaddr_in& Address);
