#pragma once
// What every dock component shares: the command engine of the dock message
// protocol and the two transports (the dock's USB device, or a control and a
// data TCP connection to its network address).
//
// A dock kind is a description (its ports, its USB device family, its event
// table and the few texts and switches that differ) plus the members it alone
// has. Everything runs on the main thread; every wait (a command's reply, the
// connections coming up, instrument data leaving) sleeps on the event loop and
// wakes on the event it waits for, the dock's loss or its time-out.

#include "dock/ControlStream.h"
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

enum TCommandStatus { csIdle, csPending, csAcknowledged, csFailed };

// What the payload after "ACK" means, set by each command before it is sent.
enum TReplyKind { rkPlain, rkAdc, rkMasterSlave, rkLcdText };

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
    QString PendingText;           // shown when a command is refused as pending; empty: silent
    int TransportWaitMs = 5000;    // deadline of the network enabling (and disabling) wait
    // The enabling wait ends as soon as neither connection is still trying
    // (both refused, say), not only when both are up or at the deadline.
    bool WaitEndsWhenConnectsFail = false;
    // Disabling over the network sends what is queued, closes both connections
    // once the event loop is back and waits for them to go (within the
    // deadline) instead of closing them at once.
    bool ClosesGracefully = false;
    bool IdleWhenDisabled = true;  // disabling sets CommandStatus to csIdle
    // A command's wait also ends when its command timer is stopped.
    bool WaitEndsWithCommandTimer = false;
};

// How a queued command ended.
enum class TDockOutcome { Acknowledged, Refused, TimedOut, Lost };

struct TDockReply {
    TDockOutcome Outcome = TDockOutcome::Lost;
    QByteArray Payload;  // what followed "ACK"
    bool Acknowledged() const { return Outcome == TDockOutcome::Acknowledged; }
};
using TDockDone = std::function<void(const TDockReply& Reply)>;

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
    static constexpr int EnableWaitMs = 5000;    // for both connections to come up (the Kelo6's)
    static constexpr int DefaultCommandTimeOut = 10000;

    ~TKeloDock() override;

    // ---- transport ----
    TDockUSBDevice* USBDevice() const { return FUSBDevice; }
    // Not owned. A device makes the dock use USB from the next enabling on:
    // its family is set to this dock's and its pipe data comes here.
    void SetUSBDevice(TDockUSBDevice* Value);
    QString EthernetAddress() const { return FEthernetAddress; }
    void SetEthernetAddress(const QString& Value) { FEthernetAddress = Value; }
    // Over USB: the device is connected (and has been neither reported
    // removed nor disabled since); over the network: both connections are connected. Never stored.
    bool Enabled() const override;
    void SetEnabled(bool Value) override;
    bool HasUSBDevice() const override { return FUSBDevice != nullptr; }
    void SetUSBDeviceHalted(bool Value) override;
    TWSocket* ControlSocket() const { return FControlSocket; }
    TWSocket* DataSocket() const { return FDataSocket; }
    // The deadline of the enabling wait over the network (the description's
    // TransportWaitMs), and of the disabling wait of a dock that closes gracefully.
    TTimer* EnableTimer() const { return FEnableTimer; }
    const TDockDescription& Description() const { return FDescription; }

    // ---- command engine ----
    TCommandStatus CommandStatus() const { return FCommandStatus; }
    TReplyKind ReplyKind() const { return FReplyKind; }
    TTimer* CommandTimer() const { return FCommandTimer; }
    int CommandTimeOut() const { return FCommandTimer->Interval(); }
    void SetCommandTimeOut(int Value) { FCommandTimer->SetInterval(Value); }
    // The last "ADC" reply's 8 bytes, reversed (the four values in the reverse
    // of their wire order, each little-endian).
    const QByteArray& AdcValues() const { return FAdcValues; }
    QByteArray LcdText() const { return FLcdText; }
    bool DockBusy() const { return FDockBusy; }
    // Control bytes wait for the rest of their reply or event.
    bool ControlWaiting() const { return FControl.Waiting(); }
    bool DataSent() const { return FDataSent; }

    // Sends one command and waits for its reply: true exactly when the dock
    // acknowledged it. A command while another one waits is refused with
    // "Can't Send, Pending Command!". For a caller that uses the dock directly;
    // the upgrade road uses the queue below.
    bool SendCommand(const QByteArray& Text);

    // ---- the command queue ----
    // Commands wait in order; one is in flight at a time, with its own
    // time-out (TimeOutMs, or CommandTimeOut when 0 or less), and each ends
    // with its outcome (Done, which may queue more) before the next is sent.
    // Nothing waits: Done runs from the reply's handler, the timer or the
    // transport's loss. A dock that is not enabled ends every command as lost.
    void Queue(const QByteArray& Text, TReplyKind Kind, TDockDone Done = {}, int TimeOutMs = 0);
    void QueueSlaveMode(bool Slave, TDockDone Done = {});
    void QueueLcdLine(int Line, const QByteArray& Text, TDockDone Done = {});
    // Commands waiting or in flight.
    int QueuedCommands() const { return int(FQueue.size()); }
    // Whether the dock's answer to "SLV"/"MST" says it is busy.
    bool BusyReply(const TDockReply& Reply) const;
    // The "SLV"/"MST" command and reply kind of this dock.
    virtual TReplyKind SlaveModeReplyKind() const { return rkMasterSlave; }
    bool DisconnectInstrument() override;
    bool CommandPending() const override { return FCommandStatus == csPending; }
    bool ReadAdc();
    // "SLV" (Slave) or "MST"; Busy receives DockBusy, true when the command failed.
    virtual bool SetSlaveMode(bool Slave, bool& Busy);
    // The link's form: the dock's busy state after asking.
    bool SetSlaveMode(bool Value) override;
    // "LCD0".."LCD3" (any line above 2 is line 3) and the text left-aligned in 16 characters.
    bool WriteLcdLine(int Line, const QByteArray& Text);
    static QByteArray LcdCommand(int Line, const QByteArray& Text);
    // "RLC0" or "RLC1" while enabled: the line's text, empty on failure.
    QByteArray ReadLcdLine(int Line);
    QByteArray LCDLine0Text() { return ReadLcdLine(0); }
    void SetLCDLine0Text(const QByteArray& Value) { WriteLcdLine(0, Value); }
    QByteArray LCDLine1Text() { return ReadLcdLine(1); }
    void SetLCDLine1Text(const QByteArray& Value) { WriteLcdLine(1, Value); }
    // Reads the dock's converters and scales the second value: millivolts x 300 / 768.
    unsigned BatteryVoltage();
    // Passes instrument data through: true when it was handed to the
    // transport and the dock is still enabled.
    bool SendUserData(const QByteArray& Data) override;
    // The same without waiting for the data to leave: the transport sends it
    // as the line takes it.
    bool PassUserData(const QByteArray& Data) override;
    // Opens the transport without waiting: Done(enabled) once both network
    // connections are up or have failed (or the enabling deadline passed), or
    // once the USB device is connected and settled or has failed.
    void Open(std::function<void(bool Enabled)> Done) override;
    void RequestSlaveMode(std::function<void(TSlaveAnswer)> Done) override;
    void RequestDisconnect(std::function<void()> Done) override;

    // ---- the transports' entry points ----
    // The control-channel send that starts every command.
    virtual void SendControlData(const QByteArray& Text);
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
    void SetCommandStatus(TCommandStatus Value) { FCommandStatus = Value; }
    void Fail(int Code, const QString& Text) { RaiseError(OnError, this, Code, Text); }
    void SetReplyKind(TReplyKind Value) { FReplyKind = Value; }
    // Opening and closing the transports, for a kind that waits otherwise.
    virtual void EnableUsb();
    virtual void EnableNetwork();
    virtual void DisableTransport();

private:
    // transports
    bool Connecting() const;
    void CloseGracefully();
    void CloseTransport();
    void WireSocket(TWSocket* Socket, int Channel);
    void ControlDataAvailable();
    void DataChunk(const QByteArray& Chunk);
    void SocketClosed();
    void LoseInstrument();
    bool SendToDataSocket(const QByteArray& Piece);
    bool TakesUserData(const QByteArray& Data);
    bool WaitUntilDataSent();
    bool SendOverNetwork(const QByteArray& Data);

    // engine
    void CommandTimerExpired();
    int EventExtent(char Code, QByteArrayView After) const;
    void HandleStream(bool Quiet);
    void RaiseEvent(char Code, const QByteArray& Payload);
    void TakeReply(const TControlStream::TItem& Reply);
    int ReplySize() const;
    std::vector<TDockEventRule> SharedEvents();

    // queue
    void SendNextQueued();
    void QueuedCommandTimedOut();
    void CompleteQueued(TDockOutcome Outcome, const QByteArray& Payload = {});
    void LoseQueue();

    // enabling without waiting
    void FinishOpening();
    void UsbOpened();

    TDockDescription FDescription;
    std::vector<TDockEventRule> FEvents;
    TDockUSBDevice* FUSBDevice = nullptr;
    QString FEthernetAddress;
    TWSocket* FControlSocket;
    TWSocket* FDataSocket;
    TTimer* FCommandTimer;
    TTimer* FEnableTimer;
    bool FEnabling = false;
    bool FDisabling = false;
    bool FUsbRemoved = false;          // the device left the bus since it was enabled
    bool FUsbClosing = false;          // disabled: the device is letting go of its pipes
    bool FInstrumentPresent = false;   // the dock reported the instrument connected

    TControlStream FControl;
    QTimer* FControlQuiet;             // the control line's quiet gap
    bool FDataReadCut = false;         // the last data read took all it may: more of that piece follows

    struct TQueued {
        QByteArray Text;
        TReplyKind Kind = rkPlain;
        TDockDone Done;
        int TimeOutMs = 0;
    };
    std::deque<TQueued> FQueue;        // the front one is in flight when FQueueInFlight
    bool FQueueInFlight = false;
    QTimer* FQueueTimer;

    std::vector<std::function<void(bool)>> FOpened;  // told when the enabling under way ends
    TCommandStatus FCommandStatus = csIdle;
    TReplyKind FReplyKind = rkPlain;
    QByteArray FAdcValues = QByteArray(8, '\0');
    QByteArray FLcdText;
    bool FDockBusy = false;
    bool FDataSent = false;

    QDateTime FDateTime;
    quint32 FDataloggerSize = 0;
    QString FFlashFileName;
};
