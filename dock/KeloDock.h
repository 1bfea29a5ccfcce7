#pragma once
// What every dock component shares: the command engine of the dock message
// protocol and the two transports (the dock's USB device, or a control and a
// data TCP connection to its network address).
//
// A dock kind is a description (its ports, its USB device family, its event
// table and the few texts and switches that differ) plus the members it alone
// has. Everything runs on the main thread and nothing waits: a command's
// reply, the connections coming up or going, instrument data leaving each end
// in a callback or an event, moved on by the transport's events, the dock's
// loss or a timer.

#include "dock/ControlStream.h"
#include "dock/DockCommandQueue.h"
#include "dock/DockUSBDevice.h"
#include "net/WSocket.h"
#include "link/PassThroughDock.h"
#include "platform/ErrorEvent.h"
#include "platform/Events.h"
#include "platform/Timer.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>


// Why a dock asks for a span calibration (event "B"), the same for every kind.
enum TSpanCalDueTo : quint8 { Span_CalFlag, Span_FailedBump, Span_Unknown, Span_DockCalDue };
// A set of a dock kind's sensor slots in one byte: bit n for slot n.
using TSensorFlags = quint8;

using TDebugMsgEvent = TEvent<QObject*, const QByteArray&>;
using TOnEmailDelivery = TEvent<QObject*, bool>;
// Sender, Total, Remain.
using TFlashProgressEvent = TEvent<QObject*, int, int>;
// Sender, Channel (0 control, 1 data), Error, Description.
using TTCPError = TEvent<QObject*, int, int, const QString&>;

// One event of a dock's control channel: "EVT", the code, then its payload.
struct TDockEventRule {
    char Code = 0;
    int Size = 0;                 // payload bytes after the code
    bool LengthPrefixed = false;  // instead: one length byte N, then N bytes
    bool Reversed = false;        // the payload is reversed in place, in the chunk, first
    std::function<void(const QByteArray& Payload)> Raise;
};

// An event whose one-byte payload is a state of the dock's own: kept in Field,
// then announced by Event with the dock as sender.
template <class TState, class TStateEvent>
TDockEventRule ByteStateRule(char Code, QObject* Dock, TState& Field, TStateEvent& Event)
{
    return {Code, 1, false, false, [Dock, &Field, &Event](const QByteArray& Payload) {
                Field = TState(quint8(Payload.at(0)));
                Event(Dock, Field);
            }};
}

// What tells one dock kind from another, besides its event table.
struct TDockDescription {
    QString ControlPort;
    QString DataPort;
    TDockFamily DeviceType = TDockFamily::tpCorvaneKelo6;
    QByteArray PumpOffCommand;     // switches the kind's pump off; empty for a kind without a pump
    bool DebugRcvUserData = true;  // OnDebugRcvUserData for every network data chunk
    int TransportWaitMs = 5000;    // deadline of an opening over the network (and of a graceful close)
    // Closing over the network sends what is queued and lets both connections
    // go once it has left (within the deadline) instead of closing them at once.
    bool ClosesGracefully = false;
};

// Words of one-bit switches and flags: MSB-first is bit 31 - Index of a
// 32-bit word, LSB-first bit Index.
#define KT4_DOCK_BIT_GET(Name, Word, Bit) \
    bool Name() const { return (Word >> (Bit)) & 1u; }
#define KT4_DOCK_BIT_SET(Name, Word, Bit) \
    void Set##Name(bool Value) { Word = Value ? Word | (1u << (Bit)) : Word & ~(1u << (Bit)); }
#define KT4_DOCK_MSB_SWITCH(Name, Word, Index) \
    KT4_DOCK_BIT_GET(Name, Word, 31 - (Index)) KT4_DOCK_BIT_SET(Name, Word, 31 - (Index))
#define KT4_DOCK_MSB_FLAG(Name, Word, Index) KT4_DOCK_BIT_GET(Name, Word, 31 - (Index))
#define KT4_DOCK_LSB_SWITCH(Name, Word, Index) \
    KT4_DOCK_BIT_GET(Name, Word, Index) KT4_DOCK_BIT_SET(Name, Word, Index)
#define KT4_DOCK_LSB_FLAG(Name, Word, Index) KT4_DOCK_BIT_GET(Name, Word, Index)
// The gases both express docks report in their gas-support word, bits 0 to 12.
#define KT4_DOCK_GAS_SUPPORT_SWITCHES                        \
    KT4_DOCK_LSB_SWITCH(O2_Supported, FGasSupport, 0)        \
    KT4_DOCK_LSB_SWITCH(CO_Supported, FGasSupport, 1)        \
    KT4_DOCK_LSB_SWITCH(H2S_Supported, FGasSupport, 2)       \
    KT4_DOCK_LSB_SWITCH(SO2_Supported, FGasSupport, 3)       \
    KT4_DOCK_LSB_SWITCH(CO_Minus_Supported, FGasSupport, 4)  \
    KT4_DOCK_LSB_SWITCH(CL2_Supported, FGasSupport, 5)       \
    KT4_DOCK_LSB_SWITCH(CLO2_Supported, FGasSupport, 6)      \
    KT4_DOCK_LSB_SWITCH(NH3_Supported, FGasSupport, 7)       \
    KT4_DOCK_LSB_SWITCH(NO2_Supported, FGasSupport, 8)       \
    KT4_DOCK_LSB_SWITCH(PH3_Supported, FGasSupport, 9)       \
    KT4_DOCK_LSB_SWITCH(HCN_Supported, FGasSupport, 10)      \
    KT4_DOCK_LSB_SWITCH(CO_Plus_Supported, FGasSupport, 11)  \
    KT4_DOCK_LSB_SWITCH(SO2_High_Supported, FGasSupport, 12)

class TKeloDock : public QObject, public TPassThroughDock {
public:
    static constexpr int MaxUserData = 1048576;  // instrument data of this length or more is refused
    static constexpr int NetworkPieceSize = 1024;
    static constexpr int PiecePauseMs = 100;     // between pieces of long data, for the dock's serial side
    static constexpr int DefaultCommandTimeOut = 10000;

    ~TKeloDock() override;

    // ---- transport ----
    TDockUSBDevice* USBDevice() const { return FUSBDevice; }
    // Not owned. A device makes the dock use USB from the next opening on:
    // its family is set to this dock's and its pipe data comes here.
    void SetUSBDevice(TDockUSBDevice* Value);
    QString EthernetAddress() const { return FEthernetAddress; }
    void SetEthernetAddress(const QString& Value) { FEthernetAddress = Value; }
    // Over USB: the device is connected (and has been neither reported
    // removed nor closed since); over the network: both connections are
    // connected. Never while a close is under way; never stored.
    bool Enabled() const override;
    bool HasUSBDevice() const override { return FUSBDevice != nullptr; }
    void SetUSBDeviceHalted(bool Value) override;
    TWSocket* ControlSocket() const { return FControlSocket; }
    TWSocket* DataSocket() const { return FDataSocket; }
    // The deadline of an opening over the network (the description's
    // TransportWaitMs), and of the close of a dock that closes gracefully.
    TTimer* EnableTimer() const { return FEnableTimer; }
    const TDockDescription& Description() const { return FDescription; }

    // ---- command engine ----
    TReplyKind ReplyKind() const { return FReplyKind; }
    // The time-out of a queued command that names none of its own, and the
    // bound of instrument data the dock takes nothing of.
    int CommandTimeOut() const { return FCommandTimeOut; }
    void SetCommandTimeOut(int Value) { FCommandTimeOut = Value; }
    // The last "ADC" reply's 8 bytes, reversed (the four values in the reverse
    // of their wire order, each little-endian).
    const QByteArray& AdcValues() const { return FAdcValues; }
    QByteArray LcdText() const { return FLcdText; }
    bool DockBusy() const { return FDockBusy; }
    // Control bytes wait for the rest of their reply or event.
    bool ControlWaiting() const { return FControl.Waiting(); }
    bool DataSent() const { return FDataSent; }
    // The last "ADC" reading's second value on the wire, scaled: millivolts x 300 / 768.
    unsigned BatteryVoltage() const;

    // ---- the command queue (dock/DockCommandQueue.h) ----
    // Commands wait in order; one is in flight at a time, with its own
    // time-out (TimeOutMs, or CommandTimeOut when 0 or less), and each ends
    // with its outcome (Done, which may queue more) before the next is sent.
    // A dock that is not enabled ends every command as lost.
    void Queue(const QByteArray& Text, TReplyKind Kind, TDockDone Done = {}, int TimeOutMs = 0);
    void QueueSlaveMode(bool Slave, TDockDone Done = {});
    // "LCD0".."LCD3" (any line above 2 is line 3) and the text left-aligned in 16 characters.
    void QueueLcdLine(int Line, const QByteArray& Text, TDockDone Done = {});
    // What is queued or in flight is bounded (TDockCommandQueue::Bound):
    // commands queued after this are not held back by it.
    void BoundQueued(int BoundMs) { FCommands->Bound(BoundMs); }
    static QByteArray LcdCommand(int Line, const QByteArray& Text);
    // "RLC0" or "RLC1" (any line but 0): the line's text in LcdText.
    void QueueLcdRead(int Line, TDockDone Done = {});
    // "ADC": the dock's converters in AdcValues.
    void QueueAdc(TDockDone Done = {});
    // Commands waiting or in flight.
    int QueuedCommands() const { return FCommands->Count(); }
    // Whether the dock's answer to "SLV"/"MST" says it is busy.
    bool BusyReply(const TDockReply& Reply) const;
    // The "SLV"/"MST" command and reply kind of this dock.
    virtual TReplyKind SlaveModeReplyKind() const { return rkMasterSlave; }
    // Hands instrument data to the transport: over the network, data longer
    // than NetworkPieceSize goes in pieces, each once the one before has left
    // and PiecePauseMs have passed, counted down with OnFlashProgress; what is
    // passed meanwhile follows it. A piece the dock takes nothing of within the
    // command time-out, or one the socket layer refuses for that long, ends
    // the send with "Error sending data on TCP!" and drops what waits.
    bool PassUserData(const QByteArray& Data) override;
    // Opens the transport: Done(enabled) once both network connections are up
    // or neither is still trying (or the deadline passed; what came up alone
    // is closed), or once the USB device is connected and settled or has
    // failed. An opening during a close starts once it has ended.
    void Open(std::function<void(bool Enabled)> Done) override;
    // Closes the transport: commands end as lost, the instrument is let go of
    // without a word. Done once the USB device has let go of its pipes, or
    // once both connections are closed: at once, or, for a dock that closes
    // gracefully, once what is queued has left or the deadline passed.
    void Close(std::function<void()> Done) override;
    void RequestSlaveMode(std::function<void(TSlaveAnswer)> Done) override;
    void RequestDisconnect(std::function<void()> Done) override;

    // ---- the transports' entry points ----
    // The control-channel send that starts every command: true when the text
    // was handed to the transport.
    virtual bool SendControlData(const QByteArray& Text);
    // One received chunk of the control channel: its events, then its reply.
    void HandleControlData(QByteArray Chunk);
    // One received chunk of instrument data.
    void HandleUserData(const QByteArray& Chunk);
    // The USB device's pipe data: pipe 1 instrument data, pipe 2 control.
    void HandlePipeData(QObject* Sender, int Pipe, int Count);

    // Swaps the bytes end for end.
    static void ReverseBytes(char* Data, int Count);

    // ---- events shared by every dock kind ----
    TNotifyEvent OnPumpLowFlow;
    TNotifyEvent OnDeviceInRange;
    TNotifyEvent OnDeviceRemoved;  // the dock's word that the instrument was taken out
    TNotifyEvent OnFailedToConnect;
    TNotifyEvent OnMultipleTCPConnections;
    TDebugMsgEvent OnDebugMessage;
    TOnEmailDelivery OnEmailDelivered;
    TNotifyEvent OnCmdTimeOut;
    TFlashProgressEvent OnFlashProgress;
    TUserData OnDebugRcvControlData;
    TUserData OnDebugSndControlData;
    TUserData OnDebugRcvUserData;
    TTCPError OnTCPError;
    TErrorEvent OnError;  // a failure to tell the operator (without a handler: a box)
    TNotifyEvent OnTCPConnected;
    TNotifyEvent OnTCPClosed;

    // ---- published and unused by any operation here ----
    QDateTime DateTime() const { return FDateTime; }
    void SetDateTime(const QDateTime& Value) { FDateTime = Value; }
    quint32 DataloggerSize() const { return FDataloggerSize; }
    QString FlashFileName() const { return FFlashFileName; }
    void SetFlashFileName(const QString& Value) { FFlashFileName = Value; }
    TUserData OnDebugSndUserData;

protected:
    TKeloDock(const TDockDescription& Description, QObject* Owner);

    // The kind's event table: the shared rules (codes 0, 1, 2, 4, 5, 6, 8, C,
    // D) followed by the kind's own.
    void DefineEvents(std::vector<TDockEventRule> Own);
    void Fail(int Code, const QString& Text) { RaiseError(OnError, this, Code, Text); }
    void SetReplyKind(TReplyKind Value) { FReplyKind = Value; }

private:
    // transports
    void EnableUsb();
    bool Connecting() const;
    void CloseSocketsNow();
    void EndClosing();
    void WireSocket(TWSocket* Socket, int Channel);
    void ControlDataAvailable();
    void DataChunk(const QByteArray& Chunk);
    void SocketClosed();
    void LoseInstrument();
    bool SendToDataSocket(const QByteArray& Piece);
    bool TakesUserData(const QByteArray& Data);
    void SendNextPiece();
    void PieceLeft();
    void DropOutgoing();

    // engine
    int EventExtent(char Code, QByteArrayView After) const;
    void HandleStream(bool Quiet);
    void RaiseEvent(char Code, const QByteArray& Payload);
    void TakeReply(const TControlStream::TItem& Reply);
    int ReplySize() const;
    std::vector<TDockEventRule> SharedEvents();

    // queue
    bool SendQueued(const QByteArray& Text, TReplyKind Kind);

    // opening
    void FinishOpening();
    void UsbOpened();

    TDockDescription FDescription;
    std::vector<TDockEventRule> FEvents;
    TDockUSBDevice* FUSBDevice = nullptr;
    QString FEthernetAddress;
    TWSocket* FControlSocket;
    TWSocket* FDataSocket;
    int FCommandTimeOut = DefaultCommandTimeOut;
    TTimer* FEnableTimer;
    bool FEnabling = false;
    bool FDisabling = false;           // closing: the connections' ends are no loss
    bool FUsbRemoved = false;          // the device left the bus since it was enabled
    bool FClosing = false;             // a close is under way
    bool FGraceful = false;            // the connections go once what is queued has left
    std::vector<std::function<void()>> FClosed;  // told when the close under way ends
    std::vector<std::function<void(bool)>> FReopen;  // openings asked for during the close
    bool FInstrumentPresent = false;   // the dock reported the instrument connected

    TControlStream FControl;
    QTimer* FControlQuiet;             // the control line's quiet gap
    bool FDataReadCut = false;         // the last data read took all it may: more of that piece follows

    TDockCommandQueue* FCommands;

    std::vector<std::function<void(bool)>> FOpened;  // told when the opening under way ends
    TReplyKind FReplyKind = rkPlain;
    QByteArray FAdcValues = QByteArray(8, '\0');
    QByteArray FLcdText;
    bool FDockBusy = false;
    bool FDataSent = false;

    // Long instrument data over the network, and what was passed after it.
    std::deque<QByteArray> FOutgoing;
    int FOutgoingDone = 0;             // bytes of the front one handed over
    int FRefusedMs = 0;                // the socket layer has refused the piece this long
    bool FPieceLeaving = false;        // the last piece is not all handed to the kernel yet
    QTimer* FPiecePause;               // the pause after a piece (or a refusal)
    QTimer* FPieceDeadline;            // a piece the dock takes nothing of

    QDateTime FDateTime;
    quint32 FDataloggerSize = 0;
    QString FFlashFileName;
};
