#pragma once
// The socket layer shared by the network docks, the dock enumerator and the
// infrared socket of the link: a non-visual component over the kernel's own
// sockets, owned by its user, that keeps all its work on the main thread and
// reports through events instead of blocking.
//
//   TCustomWSocket      the engine: settings, state, send queue, notifications,
//                       the error path
//   TCustomSyncWSocket  the base of TWSocket and of the infrared socket; adds
//                       nothing of its own
//   TWSocket            the socket the docks and the dock enumerator create
//
// Notifications (a host name resolved, a TCP connect completed, data
// readable, the queue sent, the peer closed, a delayed close) reach the socket
// through the main thread's event loop, never inside the call that caused
// them. Nothing here blocks or waits: names are resolved on a worker of
// Qt's, and whatever takes time ends in an event. Raised directly by the
// call itself: OnSessionClosed by Close (before it returns),
// OnSessionConnected by a UDP Connect or Listen, and the error path's events.
//
// An exception that escapes a handler run by a notification is caught here and
// aborts that socket (see Abort); it goes no further. An exception from a
// handler raised inside one of the calls below reaches that call's caller.

#include "net/WSocketErrors.h"
#include "platform/ErrorDisplay.h"
#include "platform/Events.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>
#include <netinet/in.h>

class QSocketNotifier;

enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsSocksConnected,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

// Sender, Error (0 for none, otherwise a socket error code).
using TSessionConnected = TEvent<QObject*, quint16>;
using TSessionClosed = TEvent<QObject*, quint16>;
using TDataAvailable = TEvent<QObject*, quint16>;
using TDataSent = TEvent<QObject*, quint16>;

// Raised by the error path when no OnError handler is assigned; Code() is the
// socket error code, the text "Error <code> in function <step>" CR LF and the
// code's text.
class ESocketException : public EKT4Error {
public:
    using EKT4Error::EKT4Error;
};

class TCustomWSocket : public QObject {
public:
    explicit TCustomWSocket(QObject* Owner = nullptr);
    // Closes an open handle without raising any event.
    ~TCustomWSocket() override;

    // ---- settings: they take effect at the next Connect or Listen ----
    // Remote address for a connect: dotted decimal or a host name (looked up
    // off the main thread while the socket is wsConnecting). Local address for
    // a listen: dotted decimal.
    QString Addr() const { return FAddr; }
    void SetAddr(const QString& Value) { FAddr = Value; }
    // Remote port for a connect, local port for a listen: decimal, 0 to 65535
    // (a service name or a larger number is refused with 10022, never wrapped).
    QString Port() const { return FPort; }
    void SetPort(const QString& Value) { FPort = Value; }
    // "tcp" or "udp".
    QString Proto() const { return FProto; }
    void SetProto(const QString& Value) { FProto = Value; }
    // Local port bound before a UDP connect ("0": any free port).
    QString LocalPort() const { return FLocalPort; }
    void SetLocalPort(const QString& Value) { FLocalPort = Value; }
    QString LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const QString& Value) { FLocalAddr = Value; }
    // Outgoing stream data is queued in blocks of this size (1460 unless set).
    int SendBlockSize() const { return FSendBlockSize; }
    void SetSendBlockSize(int Value);

    // ---- state ----
    TSocketState State() const { return FState; }
    // The socket error code of the last failed operation.
    int LastError() const { return FLastError; }
    // The error path's text for it: "Error <code> in function <step>" CR LF and
    // the code's text.
    QString LastErrorText() const { return FLastErrorText; }
    // Everything queued has been handed to the kernel.
    bool AllSent() const { return FQueue.empty(); }
    // The file descriptor, -1 while closed.
    int Handle() const { return FHandle; }

    // ---- operations (main thread only) ----
    // TCP: wsConnecting, later wsConnected with OnSessionConnected(0), or the
    // closed state with OnSessionConnected(error). UDP: bound to
    // LocalAddr:LocalPort, destination fixed, wsConnected at once.
    virtual void Connect();
    // UDP only: bound to Addr:Port, wsConnected, OnSessionConnected(0).
    virtual void Listen();
    // 0 for no bytes; -1 when the socket is not connected (error 10057 through
    // the error path) or the first send failed; else the number of bytes taken.
    // OnDataSent follows through the event loop once the queue has emptied.
    // On a UDP socket each call is one datagram.
    int SendBytes(const QByteArray& Data);
    // What is readable now, at most MaxReceiveSize bytes (up to 255 when the
    // kernel reports none); empty on error or when nothing is there. What is
    // left announces itself again (OnDataAvailable) once the event loop has
    // run, so a peer that sends without end never holds the main thread.
    static constexpr int MaxReceiveSize = 4096;
    QByteArray ReceiveAvailable();
    // One datagram of at most BufferSize bytes, with its sender: its length, or
    // -1 with LastError set (10040 for a datagram longer than the buffer, which
    // is then dropped). Meant for UDP sockets.
    int ReceiveDatagram(QByteArray& Data, int BufferSize, QString& FromAddr, quint16& FromPort);
    // Shuts the sending direction down and closes the handle; wsClosed. An open
    // socket raises OnSessionClosed(0) before this returns; a closed one nothing.
    void Close();
    // Close, when the event loop next handles the request and everything
    // queued has been handed to the kernel (the write notification sends the
    // rest as the peer takes it); dropped if the socket has closed by then.
    // Not abortive: the kernel still sends what it holds. A peer that takes
    // nothing keeps the socket open until it goes or Close is called.
    void CloseLater();

    // ---- events; the socket is the sender ----
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TNotifyEvent OnError;

protected:
    // ---- extension points for sockets of other families (the infrared socket) ----
    //
    // A subclass creates its handle however its platform does (a simulated
    // IrDA stack hands out one end of a socket pair), then AdoptHandle() it.
    // From there on the notifiers, the send queue, the receive calls, the
    // events, Close, CloseLater, Abort and the error path are this class's.
    // Its platform's data calls go in by overriding the Handle... methods
    // below. A subclass that overrides HandleClose must call ReleaseHandle()
    // in its own destructor (the base destructor closes with ::close).

    // Takes over an open descriptor (it must be one the kernel can poll): made
    // non-blocking, watched by the notifiers, State := NewState. Typical: wsOpened,
    // then wsConnecting once a connect was started, or wsConnected at once.
    // False (nothing taken, errno set) when the descriptor cannot be made
    // non-blocking.
    bool AdoptHandle(int Handle, TSocketState NewState = wsOpened, bool Datagram = false);
    // Closes the handle with no event and no shutdown; wsClosed, queue emptied,
    // notifications still pending for it dropped.
    void ReleaseHandle();
    // Setting the state also arms the notifiers: wsConnecting waits for the
    // handle to become writable (then ConnectCompleted with
    // HandleConnectResult()), wsConnected watches for data.
    void SetState(TSocketState Value);
    // Ends a connect in progress: 0 gives wsConnected and OnSessionConnected(0);
    // an error code closes the handle, sets LastError and raises
    // OnSessionConnected(code) in the closed state.
    void ConnectCompleted(int Error);
    // wsConnecting for a connect whose outcome the subclass learns from its
    // platform and reports itself through ConnectCompleted (the handle's
    // writability says nothing about it).
    void AwaitConnectCompletion();
    // The error path for a failing Step with a socket error code: builds the
    // text, closes at once on 10054 and 10057 (OnSessionClosed(code) if it was
    // open), sets LastError, then raises OnError or, without a handler, throws
    // ESocketException.
    void SocketError(const QString& Step, int Code);
    // The same with the code taken from errno (read before anything else runs).
    void SocketErrorFromErrno(const QString& Step);
    // Aborts after a handler failed: linger off for a connected stream, close
    // without shutdown, wsClosed, OnSessionClosed(10053). Nothing else.
    void Abort();
    // The one guarded path of every notification: runs what the notification
    // started; an exception that escapes a handler aborts the socket and goes
    // no further. A subclass whose platform reports outcomes by callbacks runs
    // them through it too.
    void Notify(const std::function<void()>& Call);

    // Platform calls on the handle; the defaults are the kernel's socket calls.
    // Each reports failure as -1 with a socket error code in Error (10035 when
    // it would block).
    virtual int HandleSend(const char* Data, int Size, int& Error);
    virtual int HandleReceive(char* Buffer, int Size, int& Error);
    // Above 0: data waits; 0: the peer closed (a stream) or an empty datagram.
    virtual int HandlePeek(int& Error);
    // The bytes readable now, 0 when unknown.
    virtual int HandleBytesAvailable();
    // The outcome of the connect started on the handle: 0 or a socket error code.
    virtual int HandleConnectResult();
    virtual void HandleShutdownSend();
    virtual void HandleLingerOff();
    virtual void HandleClose(int Handle);

private:
    bool IsUdp() const;
    bool IsTcp() const;
    bool CheckProto(const QString& Step);
    bool Fail(const QString& Step, int Code);
    bool CreateHandle(bool Datagram);
    bool SetOption(int Level, int Name, const void* Value, unsigned Size);
    bool SetIntOption(int Level, int Name, int Value);
    bool BindTo(const QString& Host, const QString& Port);
    void ConnectTo(const sockaddr_in& Remote);
    void LookUp(const QString& Host, quint16 Port);
    void Resolved(const QList<quint32>& Addresses, int Error, quint16 Port);
    bool PrepareTcp();
    bool PrepareUdp();
    void StartTcp(const sockaddr_in& Remote);
    void StartUdp(const sockaddr_in& Remote);

    void WatchHandle();
    void WatchHangUp();
    void PeerHungUp();
    void DropNotifiers();
    void UpdateNotifiers();
    void SetWriteBlocked(bool Value);
    void WantRead();
    void ReadReady();
    void WriteReady();
    void Post(std::function<void()> Call);
    void InternalClose(bool Shutdown, int Error);
    void CloseAfterSending();

    void Enqueue(const QByteArray& Data);
    void TakeSent(int Count);
    bool TryToSend();
    void DataSentDelivered();

    QString FAddr;
    QString FPort;
    QString FProto = QStringLiteral("tcp");
    QString FLocalPort = QStringLiteral("0");
    QString FLocalAddr = QStringLiteral("0.0.0.0");
    int FSendBlockSize = 1460;

    TSocketState FState = wsClosed;
    int FLastError = 0;
    QString FLastErrorText;
    int FHandle = -1;
    bool FDatagram = false;
    quint64 FSession = 0;         // changes whenever a handle comes or goes
    bool FReadSuppressed = false;  // data was announced and not yet read
    bool FWriteBlocked = false;    // the kernel refused the last block for now
    bool FDataSentPosted = false;  // an OnDataSent is on its way through the event loop
    bool FCloseWhenSent = false;   // CloseLater waits for the queue to empty
    int FLookupId = -1;            // a host-name look-up under way
    int FPendingConnectError = 0;  // a connect that failed at once, reported later
    bool FConnectReportedBySubclass = false;
    std::deque<QByteArray> FQueue;
    QSocketNotifier* FReadNotifier = nullptr;
    QSocketNotifier* FWriteNotifier = nullptr;
    // The peer's close is watched apart from its data (an epoll set holding
    // the handle for hang-up only), so that a close is seen while announced
    // data waits unread.
    int FHangUpFd = -1;
    QSocketNotifier* FHangUpNotifier = nullptr;
};

class TCustomSyncWSocket : public TCustomWSocket {
public:
    using TCustomWSocket::TCustomWSocket;
};

class TWSocket : public TCustomSyncWSocket {
public:
    using TCustomSyncWSocket::TCustomSyncWSocket;
};
