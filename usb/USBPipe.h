#pragma once
// The USB device layer. TUSBDevice finds the docks of one family on the USB
// bus, opens the endpoints of one of them as pipes (TUSBPipe) and moves bytes
// through them on its receive thread (TUSBDevThread), handing received bytes
// to its owner through OnPipeData.
//
// Threads. Every operation and every event of the device runs on the main
// thread; the receive thread does all pipe I/O and raises the pipes' own
// events. Everything the two share (flags, buffers, counts, the hand-over
// slots, the device list, the pipe list) is guarded by the device's lock,
// which is never held across I/O or a hand-over.
//
// The thread never spins: it sleeps until there is work (input arrived on an
// open pipe, a block queued, a release, a stop, a change of the pipes). While
// bytes it announced stay untaken it announces them again every
// ReannounceMs. With UseWindowsMsgs false it waits for the owner's handler
// to have run before it goes on; with it true the hand-over is posted.
// Disconnect and WriteData wait on the event loop, never by spinning; called
// from inside a waiting hand-over (where waiting for the thread could never
// end) Disconnect returns the request pending and WriteData queues the block
// behind the one that is still leaving.

#include "platform/ErrorEvent.h"
#include "platform/Events.h"
#include "usb/USB.h"
#include "usb/USBPlatform.h"
#include "usb/WakeSignal.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

enum TDeviceType : int { tpKeloExpress, tpMPKeloExpress, tpMirtal, tpCorvaneKelo6 };
enum TPacketSize : int { szAuto, sz64, sz128, sz256, sz512, sz1024 };

using TOnPipeData = TEvent<QObject*, int, int>;   // Sender, Pipe, Count
using TOnPipeError = TEvent<QObject*, int, int>;  // Sender, Pipe, Error
using TOnOpenPipeError = TEvent<QObject*, int, int, const QString&>;  // Sender, Pipe, Error, PipePath

class TUSBDevice;

class TUSBPipe : public QObject {
public:
    explicit TUSBPipe(TUSBDevice* Owner);
    ~TUSBPipe() override;

    QString DeviceName() const;
    void SetDeviceName(const QString& Value);
    int PipeNumber() const;
    void SetPipeNumber(int Value);  // also resets PacketSize to the endpoint's wMaxPacketSize
    bool IsInput() const;
    int InputTrigger() const;
    void SetInputTrigger(int Value);
    int InputBufferCount() const;
    int OutputBufferCount() const;
    int PacketSize() const;
    void SetPacketSize(int Value);
    TEndpointDescriptor Endpoint() const;
    void SetEndpoint(const TEndpointDescriptor& Value);
    bool IsOpen() const;

    // The pipe's file name: the device path, the six characters "\\PIPE"
    // and the pipe number in two upper-case hexadecimal digits.
    QString PipePath() const;

    // Everything received and not yet taken.
    QByteArray ReadData();
    // Queues Count bytes for the receive thread: Count, or -1 when the pipe
    // is not open (with a message) or is an IN endpoint. Waits (on the event
    // loop) until the previous block has left.
    int WriteData(const char* Data, int Count);
    int WriteData(const QByteArray& Data) { return WriteData(Data.constData(), int(Data.size())); }
    // The same without waiting for the blocks before it to leave: the block
    // goes behind them, in order (what the upgrade road uses).
    int QueueData(const char* Data, int Count);
    int QueueData(const QByteArray& Data) { return QueueData(Data.constData(), int(Data.size())); }

    // Opens the endpoint (OnOpenError when it cannot be); closing drops what
    // was queued and not sent.
    bool Open();
    void Close();

    // Raised on the receive thread (OnOpenError on the main thread). The
    // device assigns all three when it creates the pipe.
    TOnPipeData OnData;
    TOnPipeError OnError;
    TOnOpenPipeError OnOpenError;

private:
    friend class TUSBDevice;
    friend class TUSBDevThread;

    // ---- on the receive thread ----
    void Service(TUSBPlatform& Platform);
    void ServiceInput(TUSBPlatform& Platform, int Handle, int Size);
    void ServiceOutput(TUSBPlatform& Platform, int Handle, int Size);
    void CheckAlive(TUSBPlatform& Platform, int Handle, int WaitFd);
    static bool Send(TUSBPlatform& Platform, int Handle, int Size, const QByteArray& Block, int& Error);
    void RaiseError(int Error);

    // Takes the handle out of the pipe and drops the queued output (the
    // device's lock held): the handle, or -1 when it was not open.
    int DetachLocked();
    void ShowNotOpen() const;

    TUSBDevice* FDevice;
    // Guarded by the device's lock.
    QString FDeviceName;
    int FPipeNumber = 0;
    TEndpointDescriptor FEndpoint;
    int FPacketSize = 0;
    int FInputTrigger = 0;
    QByteArray FInput;
    std::deque<QByteArray> FOutput;  // blocks, the one leaving first
    int FOutputCount = 0;
    quint64 FOutputEpoch = 0;  // changes when queued output is dropped
    int FHandle = -1;
    int FWaitFd = -1;
    bool FOpen = false;
    std::chrono::steady_clock::time_point FRestUntil{};  // an error was dropped: not watched until then
};

class TUSBDevThread {
public:
    explicit TUSBDevThread(TUSBDevice* Device);  // starts the thread
    ~TUSBDevThread();                            // terminates it and waits for it

    void Terminate();
    void WaitFor();
    void Wake() const { FWake.Signal(); }
    // Why the thread could not be started (its wake-up descriptor was refused); 0 when it runs.
    int WakeError() const { return FWake.Error(); }

private:
    struct TPlan {
        bool Terminated = false;
        bool RunNow = false;
        std::vector<int> Fds;
        int TimeoutMs = -1;
    };

    void Execute();
    TPlan Plan();
    void Sleep(const TPlan& Plan);
    void Cycle();
    void EndCycle(std::unique_lock<std::mutex>& Lock, bool WakeMain);

    TUSBDevice* FDevice;
    TWakeSignal FWake;
    std::thread FThread;
};

class TUSBDevice : public QObject {
public:
    static constexpr int MaxPipes = 8;             // pipe slots
    static constexpr int MaxEndpoints = 7;          // the most endpoints accepted
    static constexpr int OutputSliceSize = 64;      // bytes an output pipe moves per cycle
    static constexpr int MaxBytesPerPass = 512;     // an input pass ends once it holds more
    static constexpr int MaxReadsPerPass = 11;
    static constexpr int StagingSize = 4096;
    static constexpr int ConnectSettleMs = 500;
    static constexpr int DisconnectWaitMs = 5000;   // the longest Disconnect waits for the thread
    static constexpr int ReannounceMs = 50;         // untaken bytes are announced again this often
    static constexpr int ErrorRestMs = 250;         // a pipe whose error was dropped rests this long

    // The platform is the one in force (UsbPlatform()) unless one is given.
    explicit TUSBDevice(QObject* Owner = nullptr, TUSBPlatform* Platform = nullptr);
    ~TUSBDevice() override;

    QString DeviceName() const;
    void SetDeviceName(const QString& Value);
    QStringList DeviceList() const;
    bool IsConnected() const;
    TDeviceType DeviceType() const { return FDeviceType; }
    void SetDeviceType(TDeviceType Value);
    TGUID InterfaceGuid() const;
    TPacketSize ReceiveBufferSize() const;
    void SetReceiveBufferSize(TPacketSize Value);
    bool UseWindowsMsgs() const;
    void SetUseWindowsMsgs(bool Value);
    // The descriptor of the device's own message channel, on which the
    // receive thread's hand-overs reach the main thread.
    int Handle() const { return FMainWake.Fd(); }
    bool Halted() const;
    void SetHalted(bool Value);

    bool RefreshDeviceList();
    bool Connect();
    bool Disconnect();
    TUSBPipe* Pipes(int Index) const;
    int PipeCount() const;

    TOnPipeData OnPipeData;
    TOnPipeData DebugOnPipeData;
    TOnPipeError OnPipeError;  // declared for the owner; nothing raises it
    TOnOpenPipeError OnOpenPipeError;
    TNotifyEvent OnDeviceRemoved;
    TErrorEvent OnError;  // a failure to tell the operator, its pipes' too (without a handler: a box)

private:
    friend class TUSBPipe;
    friend class TUSBDevThread;

    enum TDeliveryKind { dkData, dkRemoved };
    struct TDelivery {
        TDeliveryKind Kind = dkData;
        int Pipe = 0;
        int Count = 0;
        quint64 Ticket = 0;
    };

    void RebuildPipes(const QString& Path, const TConfigurationLayout& Layout);
    void ClosePipes(std::vector<TUSBPipe*>& Pipes);
    void Retire(std::vector<TUSBPipe*> Pipes);
    void CloseHandles(const std::vector<int>& Handles);
    QList<QPointer<TUSBPipe>> PipeList() const;
    bool Listed(const QString& Path) const;
    // Runs the event loop until Done holds, the device is destroyed or
    // TimeoutMs passes (-1: no limit); whether Done held.
    bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs);

    // ---- the pipes' handlers ----
    void HandlePipeData(int Pipe, int Count);                     // receive thread
    void HandlePipeError(TUSBPipe* Pipe, int Error);              // receive thread
    void HandleOpenError(int Pipe, int Error, const QString& Path);  // main thread

    // ---- hand-over to the main thread ----
    void DeliverAndWait(TDelivery Delivery);  // receive thread
    void OnWake();                            // main thread
    void Deliver(const TDelivery& Delivery);
    void FreeRetired();

    TUSBPlatform& FPlatform;
    TDeviceType FDeviceType = tpKeloExpress;  // main thread only
    int FPacketCount = 8;                     // main thread only
    bool FInSyncDelivery = false;             // main thread only

    // Guarded by FLock.
    mutable std::mutex FLock;
    std::condition_variable FDelivered;
    QString FDeviceName;
    QStringList FDeviceList;
    TGUID FInterfaceGuid;
    bool FConnected = false;
    bool FHalted = false;
    bool FStopRequested = false;
    bool FTerminated = false;
    bool FUseWindowsMsgs = false;
    std::vector<TUSBPipe*> FPipes;
    bool FUsingHandles = false;  // the thread may be touching pipes and their handles
    quint64 FUseEpoch = 0;       // counts the thread's ends of use
    std::vector<std::pair<TUSBPipe*, quint64>> FRetired;  // freed once the use they met has ended
    std::vector<int> FHandlesToClose;                     // closed by the thread when its use ends
    int FSlotPipe = 0;
    int FSlotCount = 0;
    std::optional<TDelivery> FWaitingDelivery;
    quint64 FTicketsIssued = 0;
    quint64 FTicketsDone = 0;
    int FPostedDeliveries = 0;

    // Main thread: the open-error hand-over slots.
    int FOpenErrorPipe = 0;
    int FOpenErrorCode = 0;
    QString FOpenErrorPath;

    TWakeSignal FMainWake;
    QSocketNotifier FMainNotifier;
    std::unique_ptr<TUSBDevThread> FThread;
};
