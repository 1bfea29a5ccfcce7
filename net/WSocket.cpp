#include "net/WSocket.h"

#include "net/WSocketAddress.h"

#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString stepResolve = QStringLiteral("Resolve");
const QString stepSocket = QStringLiteral("Socket");
const QString stepOption = QStringLiteral("SetSockOpt");
const QString stepBind = QStringLiteral("Bind");
const QString stepConnect = QStringLiteral("Connect");
const QString stepListen = QStringLiteral("Listen");
const QString stepSend = QStringLiteral("Send");

// The step named for a port that is not a decimal number from 0 to 65535.
QString PortStep(const QString& Port)
{
    return QStringLiteral("Resolve port \"%1\"").arg(Port);
}

// Errors of a non-blocking connect that are its outcome rather than a fault of
// the call: they are reported as a failed connection, after the call returns.
bool IsConnectOutcome(int Errno)
{
    return Errno == ECONNREFUSED || Errno == ETIMEDOUT || Errno == ENETUNREACH || Errno == EHOSTUNREACH
        || Errno == ECONNRESET;
}

bool IsAny(const QString& Value, const char* AnyText)
{
    const QString v = Value.trimmed();
    return v.isEmpty() || v == QLatin1String(AnyText);
}

}  // namespace

TCustomWSocket::TCustomWSocket(QObject* Owner) : QObject(Owner) {}

TCustomWSocket::~TCustomWSocket()
{
    ReleaseHandle();
}

void TCustomWSocket::SetSendBlockSize(int Value)
{
    FSendBlockSize = std::max(1, Value);
}

bool TCustomWSocket::IsUdp() const
{
    return FProto.trimmed().compare(QLatin1String("udp"), Qt::CaseInsensitive) == 0;
}

bool TCustomWSocket::IsTcp() const
{
    return FProto.trimmed().compare(QLatin1String("tcp"), Qt::CaseInsensitive) == 0;
}

// ---------------------------------------------------------------- connect, listen

void TCustomWSocket::Connect()
{
    if (FState != wsClosed) {
        SocketError(stepConnect, WSAEISCONN);
        return;
    }
    if (!CheckProto(stepConnect))
        return;
    quint16 port = 0;
    if (!ParsePort(FPort, port)) {
        SocketError(PortStep(FPort), WSAEINVAL);
        return;
    }
    in_addr address{};
    if (ParseDottedDecimal(FAddr, address))
        ConnectTo(MakeSockAddr(address, port));
    else if (FAddr.trimmed().isEmpty())
        SocketError(stepResolve, WSAHOST_NOT_FOUND);
    else
        LookUp(FAddr.trimmed(), port);
}

void TCustomWSocket::ConnectTo(const sockaddr_in& Remote)
{
    if (!CreateHandle(IsUdp()))
        return;
    if (FDatagram) {
        if (PrepareUdp())
            StartUdp(Remote);
    } else if (PrepareTcp()) {
        StartTcp(Remote);
    }
}

// A host name is looked up on a worker thread while the socket waits in
// wsConnecting (with no handle yet); the outcome comes back through the event
// loop. A socket closed meanwhile forgets the look-up.
void TCustomWSocket::LookUp(const QString& Host, quint16 Port)
{
    FState = wsConnecting;
    const quint64 session = ++FSession;
    FLookupId = QHostInfo::lookupHost(Host, this, [this, session, Port](const QHostInfo& Info) {
        if (session != FSession)
            return;
        FLookupId = -1;
        QList<quint32> addresses;
        for (const QHostAddress& address : Info.addresses())
            if (address.protocol() == QAbstractSocket::IPv4Protocol)
                addresses << address.toIPv4Address();
        const int error = Info.error() == QHostInfo::HostNotFound ? WSAHOST_NOT_FOUND
                          : Info.error() != QHostInfo::NoError    ? WSATRY_AGAIN
                                                                  : WSANO_DATA;
        Notify([&] { Resolved(addresses, error, Port); });
    });
}

// The first IPv4 address is connected to; none is a failed connect.
void TCustomWSocket::Resolved(const QList<quint32>& Addresses, int Error, quint16 Port)
{
    if (Addresses.isEmpty()) {
        ConnectCompleted(Error);
        return;
    }
    in_addr address{};
    address.s_addr = htonl(Addresses.first());
    FState = wsClosed;
    ConnectTo(MakeSockAddr(address, Port));
}

void TCustomWSocket::Listen()
{
    if (FState != wsClosed) {
        SocketError(stepListen, WSAEISCONN);
        return;
    }
    if (!CheckProto(stepListen))
        return;
    if (!IsUdp()) {
        SocketError(stepListen, WSAEOPNOTSUPP);  // stream listening is not offered
        return;
    }
    if (!CreateHandle(true) || !BindTo(FAddr, FPort))
        return;
    SetState(wsConnected);
    OnSessionConnected(this, 0);
}

bool TCustomWSocket::CheckProto(const QString& Step)
{
    if (IsTcp() || IsUdp())
        return true;
    SocketError(Step, WSAEPROTONOSUPPORT);
    return false;
}

// A step of Connect or Listen failed: the half-made handle goes quietly, then
// the error path runs.
bool TCustomWSocket::Fail(const QString& Step, int Code)
{
    ReleaseHandle();
    SocketError(Step, Code);
    return false;
}

bool TCustomWSocket::CreateHandle(bool Datagram)
{
    const int type = (Datagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC;
    const int handle = ::socket(AF_INET, type, 0);
    if (handle < 0) {
        SocketErrorFromErrno(stepSocket);
        return false;
    }
    if (!AdoptHandle(handle, wsOpened, Datagram)) {
        const int error = errno;
        ::close(handle);
        SocketError(stepSocket, WSocketErrorFromErrno(error));
        return false;
    }
    return true;
}

bool TCustomWSocket::SetOption(int Level, int Name, const void* Value, unsigned Size)
{
    if (::setsockopt(FHandle, Level, Name, Value, Size) == 0)
        return true;
    return Fail(stepOption, WSocketErrorFromErrno(errno));
}

bool TCustomWSocket::SetIntOption(int Level, int Name, int Value)
{
    return SetOption(Level, Name, &Value, sizeof(Value));
}

bool TCustomWSocket::BindTo(const QString& Host, const QString& Port)
{
    const QString host = IsAny(Host, "0.0.0.0") ? QStringLiteral("0.0.0.0") : Host;
    const QString port = IsAny(Port, "0") ? QStringLiteral("0") : Port;
    quint16 number = 0;
    if (!ParsePort(port, number))
        return Fail(PortStep(port), WSAEINVAL);
    in_addr address{};
    if (!ParseDottedDecimal(host, address))
        return Fail(stepResolve, WSAEADDRNOTAVAIL);  // a local end is given in dotted decimal
    const sockaddr_in local = MakeSockAddr(address, number);
    if (::bind(FHandle, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
        return Fail(stepBind, WSocketErrorFromErrno(errno));
    SetState(wsBound);
    return true;
}

// Every message is written whole, so small writes must not wait for delayed
// acknowledgements (TCP_NODELAY). A close is abortive (linger on, 0 s).
bool TCustomWSocket::PrepareTcp()
{
    const linger abortive{1, 0};
    if (!SetIntOption(SOL_SOCKET, SO_REUSEADDR, 1) || !SetOption(SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive))
        || !SetIntOption(SOL_SOCKET, SO_KEEPALIVE, 1) || !SetIntOption(IPPROTO_TCP, TCP_NODELAY, 1))
        return false;
    if (IsAny(FLocalAddr, "0.0.0.0") && IsAny(FLocalPort, "0"))
        return true;  // the kernel picks the local end at connect
    return BindTo(FLocalAddr, FLocalPort);
}

// Broadcasting is allowed on every datagram socket, whatever its destination
// (the loopback broadcast 127.255.255.255 as well as 255.255.255.255); it
// changes nothing for a unicast destination.
bool TCustomWSocket::PrepareUdp()
{
    return BindTo(FLocalAddr, FLocalPort) && SetIntOption(SOL_SOCKET, SO_BROADCAST, 1);
}

void TCustomWSocket::StartTcp(const sockaddr_in& Remote)
{
    if (::connect(FHandle, reinterpret_cast<const sockaddr*>(&Remote), sizeof(Remote)) == 0 || errno == EINPROGRESS) {
        SetState(wsConnecting);  // the handle turning writable completes it
        return;
    }
    const int error = errno;
    if (!IsConnectOutcome(error)) {
        Fail(stepConnect, WSocketErrorFromErrno(error));
        return;
    }
    FPendingConnectError = WSocketErrorFromErrno(error);
    SetState(wsConnecting);
    Post([this] { ConnectCompleted(FPendingConnectError); });
}

void TCustomWSocket::StartUdp(const sockaddr_in& Remote)
{
    if (::connect(FHandle, reinterpret_cast<const sockaddr*>(&Remote), sizeof(Remote)) != 0) {
        Fail(stepConnect, WSocketErrorFromErrno(errno));
        return;
    }
    SetState(wsConnected);
    OnSessionConnected(this, 0);
}

void TCustomWSocket::ConnectCompleted(int Error)
{
    if (FState != wsConnecting)
        return;
    FPendingConnectError = 0;
    FConnectReportedBySubclass = false;
    if (Error == 0) {
        SetState(wsConnected);
        OnSessionConnected(this, 0);
        return;
    }
    ReleaseHandle();
    FLastError = Error;
    OnSessionConnected(this, static_cast<quint16>(Error));
}

void TCustomWSocket::AwaitConnectCompletion()
{
    FConnectReportedBySubclass = true;
    SetState(wsConnecting);
}

// ---------------------------------------------------------------- closing

void TCustomWSocket::Close()
{
    InternalClose(true, 0);
}

void TCustomWSocket::CloseLater()
{
    if (FHandle < 0)
        return;
    Post([this] {
        if (FState == wsConnected && !FQueue.empty())
            FCloseWhenSent = true;  // the queue's emptying closes it
        else
            CloseAfterSending();
    });
}

// Unlike Close, not abortive: what the kernel still holds goes out after it.
void TCustomWSocket::CloseAfterSending()
{
    if (FHandle >= 0 && !FDatagram && FState == wsConnected)
        HandleLingerOff();
    Close();
}

void TCustomWSocket::InternalClose(bool Shutdown, int Error)
{
    if (FHandle < 0) {
        if (FState != wsClosed)
            ReleaseHandle();  // a connect still looking its host up: never open
        return;
    }
    if (Shutdown)
        HandleShutdownSend();
    ReleaseHandle();
    OnSessionClosed(this, static_cast<quint16>(Error));
}

void TCustomWSocket::Abort()
{
    if (FHandle < 0)
        return;
    if (!FDatagram && FState == wsConnected)
        HandleLingerOff();
    ReleaseHandle();
    try {
        OnSessionClosed(this, WSAECONNABORTED);
    } catch (...) {
        // an abort reports nothing further
    }
}

// ---------------------------------------------------------------- error path

void TCustomWSocket::SocketError(const QString& Step, int Code)
{
    const QString text = QStringLiteral("Error %1 in function %2\r\n%3")
                             .arg(QString::number(Code), Step, WSocketErrorDesc(Code));
    if (Code == WSAECONNRESET || Code == WSAENOTCONN) {
        const bool wasOpen = FState != wsClosed;
        ReleaseHandle();
        QPointer<TCustomWSocket> alive(this);
        if (wasOpen)
            OnSessionClosed(this, static_cast<quint16>(Code));
        if (!alive)
            return;
    }
    FLastError = Code;
    FLastErrorText = text;
    if (OnError) {
        OnError(this);
        return;
    }
    throw ESocketException(text, Code);
}

void TCustomWSocket::SocketErrorFromErrno(const QString& Step)
{
    SocketError(Step, WSocketErrorFromErrno(errno));
}

// ---------------------------------------------------------------- handle and notifiers

bool TCustomWSocket::AdoptHandle(int Handle, TSocketState NewState, bool Datagram)
{
    ReleaseHandle();
    const int flags = ::fcntl(Handle, F_GETFL);
    if (flags < 0 || ::fcntl(Handle, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    FHandle = Handle;
    FDatagram = Datagram;
    ++FSession;
    WatchHandle();
    SetState(NewState);
    return true;
}

void TCustomWSocket::ReleaseHandle()
{
    if (FLookupId >= 0)
        QHostInfo::abortHostLookup(FLookupId);
    FLookupId = -1;
    DropNotifiers();
    if (FHandle >= 0)
        HandleClose(FHandle);
    FHandle = -1;
    FQueue.clear();
    FReadSuppressed = false;
    FWriteBlocked = false;
    FDataSentPosted = false;
    FCloseWhenSent = false;
    FPendingConnectError = 0;
    FConnectReportedBySubclass = false;
    ++FSession;
    FState = wsClosed;
}

void TCustomWSocket::SetState(TSocketState Value)
{
    FState = Value;
    UpdateNotifiers();
}

void TCustomWSocket::WatchHandle()
{
    FReadNotifier = new QSocketNotifier(FHandle, QSocketNotifier::Read, this);
    FWriteNotifier = new QSocketNotifier(FHandle, QSocketNotifier::Write, this);
    FReadNotifier->setEnabled(false);
    FWriteNotifier->setEnabled(false);
    connect(FReadNotifier, &QSocketNotifier::activated, this, [this] { Notify([this] { ReadReady(); }); });
    connect(FWriteNotifier, &QSocketNotifier::activated, this, [this] { Notify([this] { WriteReady(); }); });
    if (!FDatagram)
        WatchHangUp();
}

// The kernel reports a stream's hang-up (the peer closed or reset it) on an
// epoll set that holds the handle for nothing else, so the close is seen
// even while data the handler was told of waits unread. A handle that epoll
// cannot watch is left to the read notifier alone.
void TCustomWSocket::WatchHangUp()
{
    FHangUpFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event watch{};
    watch.events = EPOLLRDHUP;  // hang-up and errors are always reported
    if (FHangUpFd < 0 || ::epoll_ctl(FHangUpFd, EPOLL_CTL_ADD, FHandle, &watch) != 0) {
        if (FHangUpFd >= 0)
            ::close(FHangUpFd);
        FHangUpFd = -1;
        return;
    }
    FHangUpNotifier = new QSocketNotifier(FHangUpFd, QSocketNotifier::Read, this);
    FHangUpNotifier->setEnabled(false);
    connect(FHangUpNotifier, &QSocketNotifier::activated, this, [this] { Notify([this] { PeerHungUp(); }); });
}

void TCustomWSocket::PeerHungUp()
{
    if (FHandle < 0 || FState != wsConnected || !FReadSuppressed)
        return;
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(FHandle, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = 0;
    InternalClose(false, error == 0 ? 0 : WSocketErrorFromErrno(error));
}

// A notifier may be the one whose signal is running: it is switched off at once
// (before its descriptor closes) and deleted later.
void TCustomWSocket::DropNotifiers()
{
    for (QSocketNotifier* notifier : {FReadNotifier, FWriteNotifier, FHangUpNotifier}) {
        if (notifier == nullptr)
            continue;
        notifier->setEnabled(false);
        notifier->disconnect(this);
        notifier->deleteLater();
    }
    FReadNotifier = nullptr;
    FWriteNotifier = nullptr;
    FHangUpNotifier = nullptr;
    if (FHangUpFd >= 0)
        ::close(FHangUpFd);
    FHangUpFd = -1;
}

// Read is watched while connected, until data was announced and not yet read
// (a handler that leaves data in place is not called again until it reads);
// meanwhile only the peer's hang-up is watched. Write is watched while a
// connect is under way and while the kernel holds back queued data.
void TCustomWSocket::UpdateNotifiers()
{
    if (FReadNotifier == nullptr)
        return;
    FReadNotifier->setEnabled(FState == wsConnected && !FReadSuppressed);
    if (FHangUpNotifier != nullptr)
        FHangUpNotifier->setEnabled(FState == wsConnected && FReadSuppressed);
    const bool awaitConnect = FState == wsConnecting && FPendingConnectError == 0 && !FConnectReportedBySubclass;
    FWriteNotifier->setEnabled(awaitConnect || (FState == wsConnected && FWriteBlocked));
}

void TCustomWSocket::SetWriteBlocked(bool Value)
{
    FWriteBlocked = Value;
    UpdateNotifiers();
}

void TCustomWSocket::WantRead()
{
    FReadSuppressed = false;
    UpdateNotifiers();
}

void TCustomWSocket::ReadReady()
{
    if (FHandle < 0 || FState != wsConnected)
        return;
    int error = 0;
    const int peeked = HandlePeek(error);
    if (peeked < 0 && error == WSAEWOULDBLOCK)
        return;
    if (!FDatagram && peeked <= 0) {
        InternalClose(false, peeked == 0 ? 0 : error);  // the peer closed or reset
        return;
    }
    if (peeked < 0)
        return;  // a stale datagram error, cleared by the peek
    FReadSuppressed = true;
    UpdateNotifiers();
    OnDataAvailable(this, 0);
}

void TCustomWSocket::WriteReady()
{
    if (FHandle < 0)
        return;
    if (FState == wsConnecting) {
        ConnectCompleted(HandleConnectResult());
        return;
    }
    SetWriteBlocked(false);
    TryToSend();
}

void TCustomWSocket::Notify(const std::function<void()>& Call)
{
    QPointer<TCustomWSocket> alive(this);
    try {
        Call();
    } catch (...) {
        if (alive)
            Abort();
    }
}

// Runs Call from the event loop, unless the handle it was meant for has gone.
void TCustomWSocket::Post(std::function<void()> Call)
{
    const quint64 session = FSession;
    QMetaObject::invokeMethod(
        this,
        [this, session, Call = std::move(Call)] {
            if (session == FSession)
                Notify(Call);
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------- sending

int TCustomWSocket::SendBytes(const QByteArray& Data)
{
    if (Data.isEmpty())
        return 0;
    if (FHandle < 0 || FState != wsConnected) {
        SocketError(stepSend, WSAENOTCONN);
        return -1;
    }
    Enqueue(Data);
    return TryToSend() ? static_cast<int>(Data.size()) : -1;
}

// Stream data fills blocks of SendBlockSize bytes; a datagram stays whole.
void TCustomWSocket::Enqueue(const QByteArray& Data)
{
    if (FDatagram) {
        FQueue.push_back(Data);
        return;
    }
    qsizetype done = 0;
    while (done < Data.size()) {
        if (FQueue.empty() || FQueue.back().size() >= FSendBlockSize)
            FQueue.emplace_back();
        QByteArray& block = FQueue.back();
        const qsizetype take = std::min<qsizetype>(FSendBlockSize - block.size(), Data.size() - done);
        block.append(Data.constData() + done, take);
        done += take;
    }
}

void TCustomWSocket::TakeSent(int Count)
{
    if (Count >= FQueue.front().size())
        FQueue.pop_front();
    else
        FQueue.front().remove(0, Count);
}

// Hands queued blocks to the kernel until it holds back (the write
// notification resumes) or the queue is empty (OnDataSent follows, once per
// emptying). False when a send failed and the error path ran.
bool TCustomWSocket::TryToSend()
{
    if (FQueue.empty())
        return true;
    while (!FQueue.empty()) {
        int error = 0;
        const int sent = HandleSend(FQueue.front().constData(), static_cast<int>(FQueue.front().size()), error);
        if (sent < 0 && error == WSAEWOULDBLOCK) {
            SetWriteBlocked(true);
            return true;
        }
        if (sent < 0 && error == WSAEINTR)
            continue;  // interrupted before anything went: the same block again
        if (sent < 0) {
            FQueue.clear();
            SetWriteBlocked(false);
            SocketError(stepSend, error);
            return false;
        }
        TakeSent(sent);
    }
    SetWriteBlocked(false);
    if (!FDataSentPosted) {
        FDataSentPosted = true;
        Post([this] { DataSentDelivered(); });
    }
    return true;
}

// OnDataSent tells that the queue is empty: a notice overtaken by a later send
// still under way says nothing, and that send's own emptying raises it. A
// close asked for meanwhile follows.
void TCustomWSocket::DataSentDelivered()
{
    FDataSentPosted = false;
    if (!FQueue.empty())
        return;
    const quint64 session = FSession;
    QPointer<TCustomWSocket> alive(this);
    OnDataSent(this, 0);
    if (alive && session == FSession && FCloseWhenSent)
        CloseAfterSending();
}

// ---------------------------------------------------------------- receiving

QByteArray TCustomWSocket::ReceiveAvailable()
{
    if (FHandle < 0)
        return {};
    WantRead();
    int size = std::min(HandleBytesAvailable(), MaxReceiveSize);
    if (size <= 0)
        size = 255;
    QByteArray data(size, Qt::Uninitialized);
    int error = 0;
    const int got = HandleReceive(data.data(), size, error);
    if (got < 0 && error != WSAEWOULDBLOCK)
        FLastError = error;
    data.resize(std::max(got, 0));
    return data;
}

int TCustomWSocket::ReceiveDatagram(QByteArray& Data, int BufferSize, QString& FromAddr, quint16& FromPort)
{
    Data.clear();
    if (FHandle < 0) {
        FLastError = WSAENOTCONN;
        return -1;
    }
    WantRead();
    QByteArray buffer(std::max(BufferSize, 0), Qt::Uninitialized);
    sockaddr_in from{};
    socklen_t fromSize = sizeof(from);
    const int flags = MSG_DONTWAIT | (FDatagram ? MSG_TRUNC : 0);  // the datagram's real length
    const ssize_t got = ::recvfrom(FHandle, buffer.data(), buffer.size(), flags,
                                   reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (got < 0 || got > BufferSize) {
        FLastError = got < 0 ? WSocketErrorFromErrno(errno) : WSAEMSGSIZE;
        return -1;
    }
    Data = buffer.left(got);
    FromAddr = DottedDecimal(from);
    FromPort = PortOf(from);
    return static_cast<int>(got);
}

// ---------------------------------------------------------------- platform calls

int TCustomWSocket::HandleSend(const char* Data, int Size, int& Error)
{
    const ssize_t sent = ::send(FHandle, Data, Size, MSG_NOSIGNAL | MSG_DONTWAIT);
    Error = sent < 0 ? WSocketErrorFromErrno(errno) : 0;
    return static_cast<int>(sent);
}

int TCustomWSocket::HandleReceive(char* Buffer, int Size, int& Error)
{
    const ssize_t got = ::recv(FHandle, Buffer, Size, MSG_DONTWAIT);
    Error = got < 0 ? WSocketErrorFromErrno(errno) : 0;
    return static_cast<int>(got);
}

int TCustomWSocket::HandlePeek(int& Error)
{
    char byte = 0;
    const ssize_t got = ::recv(FHandle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    Error = got < 0 ? WSocketErrorFromErrno(errno) : 0;
    return static_cast<int>(got);
}

int TCustomWSocket::HandleBytesAvailable()
{
    int count = 0;
    return ::ioctl(FHandle, FIONREAD, &count) == 0 ? count : 0;
}

int TCustomWSocket::HandleConnectResult()
{
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(FHandle, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
    return WSocketErrorFromErrno(error);
}

void TCustomWSocket::HandleShutdownSend()
{
    ::shutdown(FHandle, SHUT_WR);
}

void TCustomWSocket::HandleLingerOff()
{
    const linger graceful{0, 0};
    ::setsockopt(FHandle, SOL_SOCKET, SO_LINGER, &graceful, sizeof(graceful));
}

void TCustomWSocket::HandleClose(int Handle)
{
    ::close(Handle);
}
