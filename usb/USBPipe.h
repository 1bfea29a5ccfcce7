#pragma once
// The USB device layer. TUSBDevice finds the docks of one family on the USB
// bus, opens the endpoints of one of them as pipes (TUSBPipe) and moves bytes
// through them on its receive thread (TUSBDevThread), handing received bytes
// to its owner through OnPipeData.
//
// Threads. Every operation and every event of the device runs on the main
// thread; the receive thread does all pipe I/O and raises the pipes' own
// events. Everything the two share (flags, buffers, counts, the hand-overs
// on their way, the device list, the pipe list) is guarded by the device's
// lock, which is never held across I/O or a hand-over.
//
// Nothing here waits on the main thread. The thread never spins: it sleeps
// until there is work (input arrived on an open pipe, a block queued, a
// release, a stop, a change of the pipes). It posts each hand-over (bytes on
// a pipe with their count, the device's removal) by value to the main thread
// and goes on at once; while bytes it announced stay untaken it announces
// them again every ReannounceMs. Connect and Disconnect return at once and
// tell their end through a callback: Connect once the device has settled
// (a timer), Disconnect once the thread has closed the pipes.

#include "platform/ErrorEvent.h"
#include "platform/Events.h"
#include "usb/DockFamily.h"
#include "usb/USB.h"
#include "usb/USBPlatform.h"
#include "usb/WakeSignal.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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
    // Queues Count bytes for the receive thread to send behind the blocks
    // queued before them: Count, or -1 when the pipe is not open (with a
    // message) or is an IN endpoint. Returns at once; OutputBufferCount is
    // back at 0 once everything queued has left.
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
    void EndCycle(std::unique_lock<std::mutex>& Lock);
    void EndStop();

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
    static constexpr int ConnectSettleMs = 500;     // from the pipes opened to the device connected
    static constexpr int ReannounceMs = 50;         // untaken bytes are announced again this often
    static constexpr int ErrorRestMs = 250;         // a pipe whose error was dropped rests this long

    // The platform is the one in force (UsbPlatform()) unless one is given.
    explicit TUSBDevice(QObject* Owner = nullptr, TUSBPlatform* Platform = nullptr);
    ~TUSBDevice() override;

    QString DeviceName() const;
    void SetDeviceName(const QString& Value);
    QStringList DeviceList() const;
    bool IsConnected() const;
    TDockFamily DeviceType() const { return FDeviceType; }
    void SetDeviceType(TDockFamily Value);
    TGUID InterfaceGuid() const;
    TPacketSize ReceiveBufferSize() const;
    void SetReceiveBufferSize(TPacketSize Value);
    // Kept as the owner configures it; the hand-over is posted whatever its
    // value: the receive thread never waits for the main thread.
    bool UseWindowsMsgs() const;
    void SetUseWindowsMsgs(bool Value);
    // The descriptor of the device's own message channel, on which the
    // receive thread's hand-overs reach the main thread.
    int Handle() const { return FMainWake.Fd(); }
    bool Halted() const;
    void SetHalted(bool Value);

    using TConnectDone = std::function<void(bool Connected)>;
    using TStopDone = std::function<void()>;

    bool RefreshDeviceList();
    // Opens every pipe not yet open and leaves the device halted; the device
    // is connected once it has settled, ConnectSettleMs later. Done runs once
    // with IsConnected: at once when that is known at once (connected
    // already, no pipes, a pipe that did not open), else from the event loop
    // when the device has settled. A connect during a stop follows the stop.
    void Connect(TConnectDone Done = {});
    // Asks the receive thread to close the pipes: whether a stop is under
    // way. Done runs once the thread has closed them, from the event loop, or
    // at once when nothing was connected. A connect still settling is given
    // up: its pipes are closed and it is told false.
    bool Disconnect(TStopDone Done = {});
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
        bool operator==(const TDelivery&) const = default;
    };
    struct TStopWaiter {
        quint64 Stop = 0;  // told once this many stops have ended
        TStopDone Done;
    };

    void RebuildPipes(const QString& Path, const TConfigurationLayout& Layout);
    void ClosePipes(std::vector<TUSBPipe*>& Pipes);
    void Retire(std::vector<TUSBPipe*> Pipes);
    void CloseHandles(const std::vector<int>& Handles);
    QList<QPointer<TUSBPipe>> PipeList() const;
    bool Listed(const QString& Path) const;

    // ---- connecting and stopping (main thread) ----
    void Settled();
    void GiveUpConnect();
    void TellConnected(bool Connected);
    void TellStopped();

    // ---- the pipes' handlers ----
    void HandlePipeData(int Pipe, int Count);                     // receive thread
    void HandlePipeError(TUSBPipe* Pipe, int Error);              // receive thread
    void HandleOpenError(int Pipe, int Error, const QString& Path);  // main thread

    // ---- hand-over to the main thread ----
    void Post(const TDelivery& Delivery);  // receive thread
    void OnWake();                         // main thread
    void Deliver(const TDelivery& Delivery);
    void FreeRetired();

    TUSBPlatform& FPlatform;
    TDockFamily FDeviceType = TDockFamily::tpKeloExpress;  // main thread only
    int FPacketCount = 8;                     // main thread only

    // Guarded by FLock.
    mutable std::mutex FLock;
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
    std::deque<TDelivery> FDeliveries;                    // posted, not yet handed over
    quint64 FStopsEnded = 0;

    // Main thread only.
    QTimer FSettle;                           // runs while a connect settles
    std::vector<TConnectDone> FConnectWaiters;
    std::vector<TStopWaiter> FStopWaiters;
    int FOpenErrorPipe = 0;                   // the open-error hand-over slots
    int FOpenErrorCode = 0;
    QString FOpenErrorPath;

    TWakeSignal FMainWake;
    QSocketNotifier FMainNotifier;
    std::unique_ptr<TUSBDevThread> FThread;
};
