#pragma once
// Socket error codes as the socket layer reports them (the Windows Sockets
// numbering the docks and the infrared link were written against), with their
// texts, and the Linux error numbers mapped onto them.

#include <QString>

// The text for a socket error code.
QString WSocketErrorDesc(int Code);

// The socket error code for a Linux errno value.
int WSocketErrorFromErrno(int Errno);

constexpr int WSAEINVAL = 10022;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
