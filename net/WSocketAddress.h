#pragma once
// IPv4 addresses of the socket layer: reading the Addr/Port settings and
// writing an address back in dotted-decimal form. Nothing here looks a name
// up: host names are resolved by the socket itself, off the main thread.

#include <QString>
#include <netinet/in.h>

// True for an IPv4 address in dotted-decimal form ("127.0.0.5"), with it.
bool ParseDottedDecimal(const QString& Host, in_addr& Out);

// A port in decimal, 0 to 65535 (surrounding blanks allowed). Service names,
// signs and larger numbers are refused rather than wrapped.
bool ParsePort(const QString& Port, quint16& Out);

// A dotted-decimal Host and a decimal Port as a socket address: 0, else the
// socket error code (11001 for an empty or non-numeric host, 10022 for a bad
// port).
int NumericIPv4(const QString& Host, const QString& Port, sockaddr_in& Out);

sockaddr_in MakeSockAddr(in_addr Address, quint16 Port);

// "a.b.c.d" for the address, and its port in host order.
QString DottedDecimal(const sockaddr_in& Address);
quint16 PortOf(const sockaddr_in& Address);
