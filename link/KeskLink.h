#pragma once
// The instrument link: carries text commands to the instrument and its replies
// back as events. It hides the way the instrument is reached (its own serial
// line, the infrared port, the infrared driver's COM port or a docking station)
// and adds, per instrument type, the framing, the message index and the reply
// checks the instrument expects.

#include "link/ApdComPort.h"
#include "link/KeskTypes.h"
#include "link/PassThroughDock.h"
#include "link/ReplyAssembler.h"
#include "link/WIrCOMMSocket.h"
#include "platform/ErrorEvent.h"
#include "platform/Events.h"
#include "platform/Timer.h"

#include <QElapsedTimer>
#include <QObject>
#include <atomic>
#include <deque>
#include <memory>
#include <optional>

// The link's own infrared socket; it changes no behaviour.
class TIrSocket : public TWIrCOMMSocket {
public:
    using TWIrCOMMSocket::TWIrCOMMSocket;
};

class TKeskLink : public QObject {
public:
    explicit TKeskLink(QObject* Owner = nullptr);
    ~TKeskLink() override;

    // ---- published properties ----
    TKeskType InstrumentType() const { return FInstrumentType; }
    void SetInstrumentType(TKeskType Value) { FInstrumentType = Value; }
    int RS232Port() const { return FRS232Port; }
    void SetRS232Port(int Value) { FRS232Port = static_cast<quint16>(Value); }
    int RS232BaudRate() const { return FRS232BaudRate; }
    void SetRS232BaudRate(int Value) { FRS232BaudRate = Value; }
    void SetText(const QByteArray& Value) { SendMsg(Value, FDefaultTimeOut); }
    bool Connected() const { return FConnected; }
    void SetConnected(bool Value);
    int DefaultTimeOut() const { return FDefaultTimeOut; }
    void SetDefaultTimeOut(int Value) { FDefaultTimeOut = Value; }
    // How long after a busy or refusing answer the dock is asked again for
    // the instrument (500 ms).
    int DockRetryMs() const { return FDockRetryMs; }
    void SetDockRetryMs(int Value) { FDockRetryMs = Value; }
    TTraceLogState Logging() const { return FComPort->Logging(); }
    void SetLogging(TTraceLogState Value) { FComPort->SetLogging(Value); }

    // The dock the link talks through (not owned; null: none).
    TPassThroughDock* Dock() const { return FDock; }
    void SetDock(TPassThroughDock* Value) { FDock = Value; }

    // ---- published events ----
    TReceiveMsg OnReceiveMsg;
    TReceiveMsg OnDebugReceive;
    TReceiveMsg OnDebugSend;
    TLinkStatus OnLinkUp;
    TLinkStatus OnLinkDown;
    TOnTimeOut OnTimeOut;
    TNotifyEvent OnIrError;
    TErrorEvent OnError;  // a failure to tell the operator (without a handler: a box)

    // ---- operations ----
    // Sends one command. TimeOut: positive is seconds, zero or negative its
    // magnitude in milliseconds; 0 never times out.
    void SendMsg(QByteArray Text, int TimeOut);
    void OpenLink(int TimeOut);
    void CloseLink();

    // The answer that came was not the outstanding command's (a late answer to
    // an earlier one, chatter): the command keeps waiting until the deadline it
    // was given when it was sent, not one counted from now.
    void ResumeTimeOut();

    // One turn of the poll, on the main thread: reports a change of Connected
    // and delivers a completed frame. Sender is the link.
    void PollLink(QObject* Sender);
    // Asks for one poll turn on the main thread, from any thread. Wakes that
    // come before it has run make one turn; an idle link runs none.
    void WakePoll();
    // The payload of a completed frame, when one is waiting and valid.
    std::optional<QByteArray> ExtractFrame();

    // Receive paths of the infrared socket and of a dock.
    void IrDataAvailable(const QByteArray& Block);
    void DockRcvUserData(QObject* Sender, const QByteArray& Data);

    // ---- state, readable for the main window and for tests ----
    char MsgIndex() const { return FMsgIndex; }
    bool UseIrSocket() const { return FUseIrSocket; }
    void SetUseIrSocket(bool Value) { FUseIrSocket = Value; }
    int IrComPort() const { return FIrComPort; }
    void SetIrComPort(int Value) { FIrComPort = static_cast<quint16>(Value); }
    QString IrComDevice() const { return FIrComDevice; }
    void SetIrComDevice(const QString& Value) { FIrComDevice = Value; }
    // The next open goes to the infrared driver's COM port and none is set
    // (no number, no device): it fails with "No serial port selected" unless
    // whoever opens the link sets one first. The link never asks for one.
    bool IrComPortMissing() const;
    bool Closing() const { return FClosing; }
    const QByteArray& RxBuffer() const { return FRxBuffer; }
    bool FrameComplete() const { return FFrameComplete; }
    // Part of an answer waits for the rest (or for the line to go quiet).
    bool AnswerWaiting() const { return FReplies.Waiting(); }
    TApdComPort* ComPort() const { return FComPort; }
    TIrSocket* IrSocket() const { return FIrSocket; }
    // The devices the last infrared discovery found (none before one ran).
    const TIrdaDevicesInfo* Devices() const { return FDevices.get(); }
    TTimer* ResponseTimer() const { return FResponseTimer; }
    // The poll follows the transport's notifications (from the first open on a
    // serial or infrared way; never through a dock).
    bool Polling() const { return FPolling; }
    // Poll turns run so far (for tests and the idle benchmark).
    quint64 PollTurns() const { return FPollTurns; }

    // Reads the infrared driver's COM port from the environment variable
    // KT4_IRCOMM: a COM name matched as the driver's registry value is, or a
    // device path used as the port itself.
    void LookUpIrComPort();

private:
    enum class TWay { Dock, Kesk5Serial, IrSocket, IrComPort };
    TWay Way() const;

    // sending
    void AdvanceIndex(QByteArray& Text);
    void HandToTransport(const QByteArray& Wire);
    void SendOverIrSocket(const QByteArray& Wire);
    void SendFramedPieces(const QByteArray& Wire);
    void SendNextPiece();
    bool IrSessionUsable() const;
    void ArmTimeOut(int TimeOut);
    void TimeOutHandler();

    // receiving
    void SerialDataAvailable(quint16 Count);
    bool ReassemblesReplies() const;
    void AssembleReply(const QByteArray& Chunk);
    void LineWentQuiet();
    bool IsLateAnswer(const QByteArray& Reply) const;
    void RejectIrReply(const QByteArray& Reply);
    void AppendFramedChunk(const QByteArray& Chunk, bool ApplyLimit);
    void AcceptIndexedIrReply(const QByteArray& Reply);
    void Deliver(QObject* Sender, const QByteArray& Data);

    // transports
    void OpenWay(int TimeOut);
    void StartUpStep();
    void StartUpError(int Code);
    void SubscribeIrSocket();
    bool OpenIrSocket(int TimeOut);
    void DiscoverUntilFound(int TimeOut);
    void OpenSerial(int Port, int Baud, const QString& Device);
    void OpenThroughDock(TPassThroughDock* ADock);
    void SubscribeDock(TPassThroughDock* ADock);
    void AskDockForInstrument(TPassThroughDock* ADock, int Session);
    void DockInstrumentArrived();
    void DockInstrumentGone();
    void CloseThroughDock();
    void DiscoverAgain(int TimeOut);
    void ConnectToFirstDevice();
    void StartPolling();
    void RunPoll();
    void SetLinkState(bool IsConnected);

    char FMsgIndex = '9';
    std::atomic<bool> FPolling = false;
    std::atomic<bool> FPollPosted = false;  // a turn is on its way through the event loop
    std::atomic<quint64> FPollTurns = 0;
    TKeskType FInstrumentType = tpKeskPico;
    TApdComPort* FComPort = nullptr;
    TIrSocket* FIrSocket = nullptr;
    std::unique_ptr<TIrdaDevicesInfo> FDevices;
    int FRS232BaudRate = 19200;
    bool FClosing = false;
    quint16 FRS232Port = 1;
    std::deque<QByteArray> FPieces;  // framed pieces still to go over the infrared socket
    int FPiecesError = 0;            // the socket's last error when they were queued
    QByteArray FRxBuffer;
    bool FFrameComplete = false;
    TReplyAssembler FReplies;        // indexed answers on the serial ways
    QTimer* FQuietTimer = nullptr;   // the line's quiet gap that completes an answer
    TTimer* FResponseTimer = nullptr;
    QElapsedTimer FArmedAt;          // when the outstanding command's time-out was armed
    int FArmedMs = 0;                // and for how long (0: none)
    bool FRejectionShown = false;    // one box per command for an infrared answer refused
    bool FOpening = false;           // a connect is under way (it may wait for discovery)
    QTimer* FDiscoveryTimer = nullptr;  // the next infrared discovery while none was found
    int FDockSession = 0;            // counts opens and closes through a dock: an answer to an older one is stale
    bool FThroughDock = false;       // the link is open through a dock (from the open to the close)
    bool FDockAsking = false;        // the dock is being asked to pass the instrument through
    bool FDisconnectAsked = false;   // "DSC" is on its way to the dock
    int FDefaultTimeOut = 10;
    int FDockRetryMs = 500;
    TPassThroughDock* FDock = nullptr;
    bool FConnected = false;
    bool FReportedConnected = false;  // the last state the poll reported
    bool FUseIrSocket = true;
    quint16 FIrComPort = 0;
    QString FIrComDevice;  // a device path given for the infrared COM port
};

// The number of the infrared driver's COM port for a registry-style value: 4 to 8
// for the first of "COM4".."COM8" that contains the value, 0 for none.
int IrComPortFromValue(const QString& Value);
