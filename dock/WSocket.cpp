#include "dock/WSocket.h"

#include "dock/WSocketAddress.h"
#include "platform/MainThread.h"

#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
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

const QString broadcastAddress = QStringLiteral("255.255.255.255");

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
    sockaddr_in remote{};
    const int resolved = ResolveIPv4(FAddr, FPort, IsUdp(), remote);
    if (resolved != 0) {
        SocketError(stepResolve, resolved);
        return;
    }
    if (!CreateHandle(IsUdp()))
        return;
    if (FDatagram) {
        if (PrepareUdp())
            StartUdp(remote);
    } else if (PrepareTcp()) {
        StartTcp(remote);
    }
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
    sockaddr_in local{};
    const int resolved = ResolveIPv4(host, port, FDatagram, local);
    if (resolved != 0)
        return Fail(stepResolve, resolved);
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

bool TCustomWSocket::PrepareUdp()
{
    if (!BindTo(FLocalAddr, FLocalPort))
        return false;
    return FAddr.trimmed() != broadcastAddress || SetIntOption(SOL_SOCKET, SO_BROADCAST, 1);
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
    if (FHandle >= 0)
        Post([this] { Close(); });
}

void TCustomWSocket::InternalClose(bool Shutdown, int Error)
{
    if (FHandle < 0)
        return;
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
    DropNotifiers();
    if (FHandle >= 0)
        HandleClose(FHandle);
    FHandle = -1;
    FQueue.clear();
    FReadSuppressed = false;
    FWriteBlocked = false;
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
}

// A notifier may be the one whose signal is running: it is switched off at once
// (before its descriptor closes) and deleted later.
void TCustomWSocket::DropNotifiers()
{
    for (QSocketNotifier* notifier : {FReadNotifier, FWriteNotifier}) {
        if (notifier == nullptr)
            continue;
        notifier->setEnabled(false);
        notifier->disconnect(this);
        notifier->deleteLater();
    }
    FReadNotifier = nullptr;
    FWriteNotifier = nullptr;
}

// Read is watched while connected, until data was announced and not yet read
// (a handler that leaves data in place is not called again until it reads).
// Write is watched while a connect is under way and while the kernel holds
// back queued data.
void TCustomWSocket::UpdateNotifiers()
{
    if (FReadNotifier == nullptr)
        return;
    FReadNotifier->setEnabled(FState == wsConnected && !FReadSuppressed);
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

// Runs what a notification started; an exception that escapes a handler aborts
// the socket and goes no further.
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
        if (sent < 0) {
            FQueue.clear();
            SetWriteBlocked(false);
            SocketError(stepSend, error);
            return false;
        }
        TakeSent(sent);
    }
    SetWriteBlocked(false);
    Post([this] { OnDataSent(this, 0); });
    return true;
}

void TCustomWSocket::FlushQueue()
{
    QPointer<TCustomWSocket> alive(this);
    while (alive && FHandle >= 0 && FState == wsConnected && !FQueue.empty()) {
        if (!TryToSend() || FHandle < 0 || FQueue.empty())
            return;
        WaitWritable(10);
        ProcessMessages();
    }
}

void TCustomWSocket::WaitWritable(int TimeoutMs) const
{
    pollfd watch{FHandle, POLLOUT, 0};
    ::poll(&watch, 1, TimeoutMs);
}

// ---------------------------------------------------------------- receiving

QByteArray TCustomWSocket::ReceiveAvailable()
{
    if (FHandle < 0)
        return {};
    WantRead();
    int size = HandleBytesAvailable();
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
