#include "usb/USBPipe.h"

#include "platform/Dialogs.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>

namespace {

using Clock = std::chrono::steady_clock;

// Indexed by TDockFamily.
const TGUID& GuidOf(TDockFamily Type)
{
    static const TGUID guids[] = {GuidKeloExpress, GuidMPKeloExpress, GuidMirtal, GuidCorvaneKelo6};
    return guids[static_cast<int>(Type)];
}

bool KnownType(TDockFamily Type)
{
    return Type >= TDockFamily::tpKeloExpress && Type <= TDockFamily::tpCorvaneKelo6;
}

constexpr int PacketCounts[] = {0, 64, 128, 256, 512, 1024};  // by TPacketSize

// Texts handed from one thread to the other are copies of their own, so that
// no two threads share Qt's implicitly shared data.
QString Detached(const QString& Text)
{
    return QString(Text.constData(), Text.size());
}

QStringList Detached(const QStringList& Texts)
{
    QStringList copies;
    for (const QString& text : Texts)
        copies << Detached(text);
    return copies;
}

// The box shown when the device path cannot be opened; on Linux a lack of
// permission is the usual cause, and the box says what mends it.
QString OpenFailedText(const QString& Path, int Error)
{
    QString text = QStringLiteral("Failed to open device");
    if (Error == EACCES || Error == EPERM)
        text += QStringLiteral("\n%1: permission denied. Install the udev rule 70-kt4-docks.rules for the dock's "
                               "IDs (see \"USB docks on Linux\" in the README).")
                    .arg(Path);
    return text;
}

}  // namespace

// ================================================================ TUSBPipe

TUSBPipe::TUSBPipe(TUSBDevice* Owner) : QObject(Owner), FDevice(Owner) {}

TUSBPipe::~TUSBPipe()
{
    int handle;
    {
        std::lock_guard lock(FDevice->FLock);
        handle = DetachLocked();
    }
    if (handle >= 0)
        FDevice->CloseHandles({handle});
}

QString TUSBPipe::DeviceName() const
{
    std::lock_guard lock(FDevice->FLock);
    return FDeviceName;
}

void TUSBPipe::SetDeviceName(const QString& Value)
{
    std::lock_guard lock(FDevice->FLock);
    FDeviceName = Value;
}

int TUSBPipe::PipeNumber() const
{
    std::lock_guard lock(FDevice->FLock);
    return FPipeNumber;
}

void TUSBPipe::SetPipeNumber(int Value)
{
    std::lock_guard lock(FDevice->FLock);
    FPipeNumber = Value;
    FPacketSize = FEndpoint.wMaxPacketSize;
}

bool TUSBPipe::IsInput() const
{
    std::lock_guard lock(FDevice->FLock);
    return FEndpoint.IsInput();
}

int TUSBPipe::InputTrigger() const
{
    std::lock_guard lock(FDevice->FLock);
    return FInputTrigger;
}

void TUSBPipe::SetInputTrigger(int Value)
{
    std::lock_guard lock(FDevice->FLock);
    FInputTrigger = Value;
}

int TUSBPipe::InputBufferCount() const
{
    std::lock_guard lock(FDevice->FLock);
    return int(FInput.size());
}

int TUSBPipe::OutputBufferCount() const
{
    std::lock_guard lock(FDevice->FLock);
    return FOutputCount;
}

int TUSBPipe::PacketSize() const
{
    std::lock_guard lock(FDevice->FLock);
    return FPacketSize;
}

void TUSBPipe::SetPacketSize(int Value)
{
    std::lock_guard lock(FDevice->FLock);
    FPacketSize = Value;
}

TEndpointDescriptor TUSBPipe::Endpoint() const
{
    std::lock_guard lock(FDevice->FLock);
    return FEndpoint;
}

void TUSBPipe::SetEndpoint(const TEndpointDescriptor& Value)
{
    std::lock_guard lock(FDevice->FLock);
    FEndpoint = Value;
}

bool TUSBPipe::IsOpen() const
{
    std::lock_guard lock(FDevice->FLock);
    return FOpen;
}

QString TUSBPipe::PipePath() const
{
    std::lock_guard lock(FDevice->FLock);
    return FDeviceName + QStringLiteral("\\\\PIPE") + QStringLiteral("%1").arg(FPipeNumber, 2, 16, QLatin1Char('0')).toUpper();
}

QByteArray TUSBPipe::ReadData()
{
    std::lock_guard lock(FDevice->FLock);
    return std::exchange(FInput, QByteArray());
}

void TUSBPipe::ShowNotOpen() const
{
    ::RaiseError(FDevice->OnError, FDevice, ecUsbPipeNotOpen, QStringLiteral("Pipe %1 not open!").arg(PipeNumber()));
}

int TUSBPipe::QueueData(const char* Data, int Count)
{
    if (!IsOpen()) {
        ShowNotOpen();
        return -1;
    }
    if (IsInput())
        return -1;  // an IN endpoint sends nothing: not a block that could ever leave
    Count = std::max(Count, 0);
    {
        std::lock_guard lock(FDevice->FLock);
        if (Count > 0)
            FOutput.emplace_back(Data, Count);
        FOutputCount += Count;
    }
    FDevice->FThread->Wake();
    return Count;
}

bool TUSBPipe::Open()
{
    if (IsOpen())
        return true;
    int error = 0;
    const int handle = FDevice->FPlatform.OpenPipe(DeviceName(), PipeNumber(), error);
    if (handle < 0) {
        OnOpenError(this, PipeNumber(), error, PipePath());
        return false;
    }
    const int waitFd = FDevice->FPlatform.WaitHandle(handle);
    std::lock_guard lock(FDevice->FLock);
    FHandle = handle;
    FWaitFd = waitFd;
    FOpen = true;
    FRestUntil = {};
    return true;
}

void TUSBPipe::Close()
{
    std::unique_lock lock(FDevice->FLock);
    const int handle = DetachLocked();
    if (handle < 0)
        return;
    if (FDevice->FUsingHandles) {
        FDevice->FHandlesToClose.push_back(handle);
        FDevice->FThread->Wake();
        return;
    }
    lock.unlock();
    FDevice->CloseHandles({handle});
}

int TUSBPipe::DetachLocked()
{
    if (!FOpen)
        return -1;
    FOpen = false;
    FOutput.clear();
    FOutputCount = 0;
    ++FOutputEpoch;
    FWaitFd = -1;
    return std::exchange(FHandle, -1);
}

// ---------------------------------------------------------------- receive thread

void TUSBPipe::Service(TUSBPlatform& Platform)
{
    int handle;
    int size;
    bool input;
    {
        std::lock_guard lock(FDevice->FLock);
        if (!FOpen)
            return;  // closed under the thread's feet: nothing of it to serve
        handle = FHandle;
        size = std::min(FEndpoint.TransferSize(), TUSBDevice::StagingSize);
        input = FEndpoint.IsInput();
    }
    if (input)
        ServiceInput(Platform, handle, size);
    else
        ServiceOutput(Platform, handle, size);
}

// One pass reads packet by packet until the device has nothing more, a read
// fails, more than 512 bytes came or the 11th read is done, so that the other
// pipes get their turn.
void TUSBPipe::ServiceInput(TUSBPlatform& Platform, int Handle, int Size)
{
    QByteArray received;
    char staging[TUSBDevice::StagingSize];
    int error = 0;
    bool failed = false;
    for (int reads = 0; reads < TUSBDevice::MaxReadsPerPass && received.size() <= TUSBDevice::MaxBytesPerPass;
         ++reads) {
        const int got = Platform.ReadPipe(Handle, staging, Size, error);
        if (got < 0)
            failed = true;
        if (got <= 0)
            break;
        received.append(staging, got);
    }
    if (failed)
        RaiseError(error);
    int number;
    int count;
    bool announce;
    {
        std::lock_guard lock(FDevice->FLock);
        number = FPipeNumber;
        if (!received.isEmpty()) {
            FInput.append(received.constData(), received.size());  // copied: no data shared across threads
            announce = FInput.size() >= FInputTrigger;
        } else {
            announce = !FInput.isEmpty();  // still not taken: told again
        }
        count = int(FInput.size());
    }
    if (announce)
        OnData(this, number, count);
}

// An output pass sends at most 64 bytes of the block in front; the slice
// counts as queued until the platform has taken it (it may still be on its
// way to the device then).
void TUSBPipe::ServiceOutput(TUSBPlatform& Platform, int Handle, int Size)
{
    QByteArray slice;
    quint64 epoch;
    int waitFd;
    {
        std::lock_guard lock(FDevice->FLock);
        if (!FOutput.empty())
            slice = QByteArray(FOutput.front().constData(),
                               std::min<int>(FOutput.front().size(), TUSBDevice::OutputSliceSize));
        epoch = FOutputEpoch;
        waitFd = FWaitFd;
    }
    if (slice.isEmpty()) {
        CheckAlive(Platform, Handle, waitFd);
        return;
    }
    int error = 0;
    const bool sent = Send(Platform, Handle, Size, slice, error);
    {
        std::lock_guard lock(FDevice->FLock);
        if (epoch == FOutputEpoch) {
            QByteArray& front = FOutput.front();
            front.remove(0, slice.size());
            if (front.isEmpty())
                FOutput.pop_front();
            FOutputCount -= int(slice.size());
        }
    }
    if (!sent)
        RaiseError(error);  // the rest of the slice is dropped
}

// An output pipe's wait descriptor speaks only when its device has gone or a
// write failed after the platform took it.
void TUSBPipe::CheckAlive(TUSBPlatform& Platform, int Handle, int WaitFd)
{
    pollfd signalled{WaitFd, POLLIN, 0};
    int error = 0;
    if (::poll(&signalled, 1, 0) > 0 && !Platform.PipeAlive(Handle, error))
        RaiseError(error);
}

// Endpoint-sized writes. A write that moves nothing counts as failed, so
// that a device that takes nothing never keeps the thread here.
bool TUSBPipe::Send(TUSBPlatform& Platform, int Handle, int Size, const QByteArray& Block, int& Error)
{
    for (int at = 0; at < Block.size();) {
        const int piece = std::min<int>(Size, Block.size() - at);
        const int written = Platform.WritePipe(Handle, Block.constData() + at, piece, Error);
        if (written == 0)
            Error = EIO;
        if (written <= 0)
            return false;
        at += written;
    }
    return true;
}

void TUSBPipe::RaiseError(int Error)
{
    int number;
    {
        std::lock_guard lock(FDevice->FLock);
        number = FPipeNumber;
    }
    OnError(this, number, Error);
}

// ================================================================ TUSBDevThread

// A thread that could never be woken (nor stopped) is not started.
TUSBDevThread::TUSBDevThread(TUSBDevice* Device)
    : FDevice(Device), FThread(FWake.Valid() ? std::thread([this] { Execute(); }) : std::thread())
{
}

TUSBDevThread::~TUSBDevThread()
{
    Terminate();
    WaitFor();
}

void TUSBDevThread::Terminate()
{
    {
        std::lock_guard lock(FDevice->FLock);
        FDevice->FTerminated = true;
    }
    FWake.Signal();
}

void TUSBDevThread::WaitFor()
{
    if (FThread.joinable())
        FThread.join();
}

void TUSBDevThread::Execute()
{
    for (;;) {
        const TPlan plan = Plan();
        if (plan.Terminated)
            return;
        if (!plan.RunNow)
            Sleep(plan);
        Cycle();
    }
}

// What to sleep on: the thread's own wake-up always; while connected and
// released also the open pipes (input, or a device gone), and a time-out
// while untaken bytes are to be announced again or a pipe rests. Queued
// output or a stop to carry out need no sleep at all.
TUSBDevThread::TPlan TUSBDevThread::Plan()
{
    TPlan plan;
    std::lock_guard lock(FDevice->FLock);
    if (FDevice->FTerminated) {
        plan.Terminated = true;
        return plan;
    }
    plan.Fds.push_back(FWake.Fd());
    const bool running = FDevice->FConnected && !FDevice->FHalted;
    FDevice->FUsingHandles = running;
    if (!running)
        return plan;
    if (FDevice->FStopRequested) {
        plan.RunNow = true;
        return plan;
    }
    const auto now = Clock::now();
    const auto wakeAfter = [&](Clock::duration Wait) {
        const int ms = int(std::chrono::ceil<std::chrono::milliseconds>(Wait).count());
        plan.TimeoutMs = plan.TimeoutMs < 0 ? ms : std::min(plan.TimeoutMs, ms);
    };
    for (TUSBPipe* pipe : FDevice->FPipes) {
        if (!pipe->FOpen)
            continue;
        if (!pipe->FOutput.empty() && !pipe->FEndpoint.IsInput()) {
            plan.RunNow = true;
            return plan;
        }
        if (pipe->FRestUntil > now) {
            wakeAfter(pipe->FRestUntil - now);
            continue;
        }
        plan.Fds.push_back(pipe->FWaitFd);
        if (!pipe->FInput.isEmpty())
            wakeAfter(std::chrono::milliseconds(TUSBDevice::ReannounceMs));
    }
    return plan;
}

void TUSBDevThread::Sleep(const TPlan& Plan)
{
    std::vector<pollfd> fds;
    for (int fd : Plan.Fds)
        fds.push_back({fd, POLLIN, 0});
    while (::poll(fds.data(), fds.size(), Plan.TimeoutMs) < 0 && errno == EINTR) {
    }
    FWake.Drain();
}

// One cycle: every pipe in pipe-number order, stopping before the next one
// as soon as a stop is requested; a requested stop then closes the pipes.
void TUSBDevThread::Cycle()
{
    std::vector<TUSBPipe*> pipes;
    {
        std::unique_lock lock(FDevice->FLock);
        if (FDevice->FTerminated || !FDevice->FConnected || FDevice->FHalted) {
            EndCycle(lock);
            return;
        }
        FDevice->FUsingHandles = true;  // released while the thread slept: its use starts here
        pipes = FDevice->FPipes;
    }
    for (TUSBPipe* pipe : pipes) {
        {
            std::lock_guard lock(FDevice->FLock);
            if (FDevice->FStopRequested || FDevice->FTerminated)
                break;
        }
        pipe->Service(FDevice->FPlatform);
    }
    std::unique_lock lock(FDevice->FLock);
    const bool stopping = FDevice->FStopRequested && !FDevice->FTerminated;
    if (stopping)
        for (TUSBPipe* pipe : FDevice->FPipes)
            if (const int handle = pipe->DetachLocked(); handle >= 0)
                FDevice->FHandlesToClose.push_back(handle);
    EndCycle(lock);
    if (stopping)
        EndStop();
}

// The thread's use of pipes and handles ends here: it closes the handles set
// aside meanwhile and lets the main thread free the pipes retired meanwhile.
void TUSBDevThread::EndCycle(std::unique_lock<std::mutex>& Lock)
{
    FDevice->FUsingHandles = false;
    ++FDevice->FUseEpoch;
    const std::vector<int> handles = std::exchange(FDevice->FHandlesToClose, {});
    const bool retired = !FDevice->FRetired.empty();
    Lock.unlock();
    FDevice->CloseHandles(handles);
    if (retired)
        FDevice->FMainWake.Signal();
}

// The pipes are closed, their handles too: only now is the device no longer
// connected, and the main thread told (unless setting DeviceName has ended
// the stop meanwhile).
void TUSBDevThread::EndStop()
{
    {
        std::lock_guard lock(FDevice->FLock);
        if (FDevice->FStopRequested) {
            FDevice->FConnected = false;
            FDevice->FStopRequested = false;
            FDevice->FHalted = true;
            ++FDevice->FStopsEnded;
        }
    }
    FDevice->FMainWake.Signal();
}

// ================================================================ TUSBDevice

TUSBDevice::TUSBDevice(QObject* Owner, TUSBPlatform* Platform)
    : QObject(Owner),
      FPlatform(Platform ? *Platform : UsbPlatform()),
      FInterfaceGuid(GuidKeloExpress),
      FMainNotifier(FMainWake.Fd(), QSocketNotifier::Read)
{
    connect(&FMainNotifier, &QSocketNotifier::activated, this, [this] { OnWake(); });
    FSettle.setSingleShot(true);
    FSettle.setInterval(ConnectSettleMs);
    FSettle.setTimerType(Qt::PreciseTimer);  // never short of the settling time
    connect(&FSettle, &QTimer::timeout, this, [this] { Settled(); });
    FThread = std::make_unique<TUSBDevThread>(this);
}

TUSBDevice::~TUSBDevice()
{
    FThread.reset();  // terminated and ended: nothing else touches the pipes now
    std::vector<int> handles;
    {
        std::lock_guard lock(FLock);
        for (TUSBPipe* pipe : FPipes)
            if (const int handle = pipe->DetachLocked(); handle >= 0)
                handles.push_back(handle);
        handles.insert(handles.end(), FHandlesToClose.begin(), FHandlesToClose.end());
        FHandlesToClose.clear();
    }
    CloseHandles(handles);
    // Freed here, while the lock they use still exists.
    for (TUSBPipe* pipe : std::exchange(FPipes, {}))
        delete pipe;
    for (const auto& [pipe, epoch] : std::exchange(FRetired, {}))
        delete pipe;
}

QString TUSBDevice::DeviceName() const
{
    std::lock_guard lock(FLock);
    return Detached(FDeviceName);
}

QStringList TUSBDevice::DeviceList() const
{
    std::lock_guard lock(FLock);
    return Detached(FDeviceList);
}

bool TUSBDevice::IsConnected() const
{
    std::lock_guard lock(FLock);
    return FConnected;
}

TGUID TUSBDevice::InterfaceGuid() const
{
    std::lock_guard lock(FLock);
    return FInterfaceGuid;
}

bool TUSBDevice::UseWindowsMsgs() const
{
    std::lock_guard lock(FLock);
    return FUseWindowsMsgs;
}

void TUSBDevice::SetUseWindowsMsgs(bool Value)
{
    std::lock_guard lock(FLock);
    FUseWindowsMsgs = Value;
}

bool TUSBDevice::Halted() const
{
    std::lock_guard lock(FLock);
    return FHalted;
}

void TUSBDevice::SetHalted(bool Value)
{
    {
        std::lock_guard lock(FLock);
        FHalted = Value;
    }
    FThread->Wake();
}

int TUSBDevice::PipeCount() const
{
    std::lock_guard lock(FLock);
    return int(FPipes.size());
}

TUSBPipe* TUSBDevice::Pipes(int Index) const
{
    std::lock_guard lock(FLock);
    return Index >= 0 && Index < int(FPipes.size()) ? FPipes[Index] : nullptr;
}

QList<QPointer<TUSBPipe>> TUSBDevice::PipeList() const
{
    std::lock_guard lock(FLock);
    QList<QPointer<TUSBPipe>> pipes;
    for (TUSBPipe* pipe : FPipes)
        pipes << pipe;
    return pipes;
}

void TUSBDevice::SetDeviceType(TDockFamily Value)
{
    FDeviceType = Value;
    if (!KnownType(Value))
        return;
    {
        std::lock_guard lock(FLock);
        FInterfaceGuid = GuidOf(Value);
    }
    RefreshDeviceList();
}

TPacketSize TUSBDevice::ReceiveBufferSize() const
{
    const int* found = std::find(std::begin(PacketCounts) + 1, std::end(PacketCounts), FPacketCount);
    return found == std::end(PacketCounts) ? szAuto : TPacketSize(found - std::begin(PacketCounts));
}

void TUSBDevice::SetReceiveBufferSize(TPacketSize Value)
{
    FPacketCount = Value >= szAuto && Value <= sz1024 ? PacketCounts[Value] : 0;
    std::lock_guard lock(FLock);
    for (TUSBPipe* pipe : FPipes)
        pipe->FPacketSize = FPacketCount ? FPacketCount : pipe->FEndpoint.wMaxPacketSize;
}

// ---------------------------------------------------------------- device list and pipes

// Runs on either thread: the receive thread refreshes it when a transfer fails.
bool TUSBDevice::RefreshDeviceList()
{
    const QStringList paths = Detached(FPlatform.EnumerateDevices(InterfaceGuid()));
    std::lock_guard lock(FLock);
    FDeviceList = paths;
    return true;
}

bool TUSBDevice::Listed(const QString& Path) const
{
    return DeviceList().contains(Path, Qt::CaseInsensitive);
}

void TUSBDevice::SetDeviceName(const QString& Value)
{
    {
        std::lock_guard lock(FLock);
        FDeviceName = Value;
    }
    QByteArray descriptor;
    int error = 0;
    const TUSBPlatform::TFetchResult fetched = FPlatform.FetchConfiguration(Value, descriptor, error);
    if (fetched == TUSBPlatform::frOpenFailed)
        RaiseError(OnError, this, ecUsbOpenFailed, OpenFailedText(Value, error));
    if (fetched != TUSBPlatform::frOk) {
        RaiseError(OnError, this, ecUsbDeviceInfo, "Device Info not found!");
        return;
    }
    const TConfigurationLayout layout = WalkConfiguration(descriptor);
    if (layout.DeclaredEndpoints() > MaxEndpoints) {
        RaiseError(OnError, this, ecUsbTooManyPipes, "Error too many pipes!");
        return;
    }
    RebuildPipes(Value, layout);
}

// The old pipes are closed at once, on this thread; a stop that was pending
// has nothing left to close and ends here (told from the event loop).
void TUSBDevice::RebuildPipes(const QString& Path, const TConfigurationLayout& Layout)
{
    std::vector<TUSBPipe*> old;
    {
        std::lock_guard lock(FLock);
        old.swap(FPipes);
        if (!old.empty())
            FConnected = false;
        if (std::exchange(FStopRequested, false)) {
            ++FStopsEnded;
            FMainWake.Signal();
        }
    }
    ClosePipes(old);
    Retire(old);
    std::vector<TUSBPipe*> pipes;
    const int count = std::min<int>(Layout.DeclaredEndpoints(), int(Layout.Endpoints.size()));
    for (int n = 0; n < count; ++n) {
        auto* pipe = new TUSBPipe(this);
        pipe->FDeviceName = Path;
        pipe->FEndpoint = Layout.Endpoints[n];
        pipe->FPipeNumber = n;
        pipe->FPacketSize = FPacketCount ? FPacketCount : pipe->FEndpoint.wMaxPacketSize;
        pipe->OnData = [this](QObject*, int Pipe, int Count) { HandlePipeData(Pipe, Count); };
        pipe->OnError = [this](QObject* Sender, int, int Error) { HandlePipeError(static_cast<TUSBPipe*>(Sender), Error); };
        pipe->OnOpenError = [this](QObject*, int Pipe, int Error, const QString& PipePath) {
            HandleOpenError(Pipe, Error, PipePath);
        };
        pipes.push_back(pipe);
    }
    std::lock_guard lock(FLock);
    FPipes = std::move(pipes);
}

void TUSBDevice::ClosePipes(std::vector<TUSBPipe*>& Pipes)
{
    for (TUSBPipe* pipe : Pipes)
        pipe->Close();
}

void TUSBDevice::Retire(std::vector<TUSBPipe*> Pipes)
{
    {
        std::lock_guard lock(FLock);
        if (FUsingHandles) {
            for (TUSBPipe* pipe : Pipes)
                FRetired.emplace_back(pipe, FUseEpoch);
            FThread->Wake();  // so that its use ends soon
            return;
        }
    }
    for (TUSBPipe* pipe : Pipes)
        delete pipe;
}

void TUSBDevice::FreeRetired()
{
    std::vector<TUSBPipe*> freed;
    {
        std::lock_guard lock(FLock);
        std::erase_if(FRetired, [&](const auto& Retired) {
            const bool done = Retired.second < FUseEpoch;
            if (done)
                freed.push_back(Retired.first);
            return done;
        });
    }
    for (TUSBPipe* pipe : freed)
        delete pipe;
}

void TUSBDevice::CloseHandles(const std::vector<int>& Handles)
{
    for (int handle : Handles)
        FPlatform.ClosePipe(handle);
}

// ---------------------------------------------------------------- Connect and Disconnect

void TUSBDevice::Connect(TConnectDone Done)
{
    {
        std::unique_lock lock(FLock);
        if (FStopRequested) {
            const quint64 stop = FStopsEnded + 1;
            lock.unlock();
            FStopWaiters.push_back({stop, [this, Done = std::move(Done)]() mutable { Connect(std::move(Done)); }});
            return;
        }
    }
    const auto tell = [&Done](bool Connected) {
        if (Done)
            Done(Connected);
    };
    if (const int error = FMainWake.Valid() ? FThread->WakeError() : FMainWake.Error()) {
        RaiseError(OnError, this, ecUsbWakeUp, QStringLiteral("UsbDevice Error - no wake-up: %1!").arg(qt_error_string(error)));
        tell(false);
        return;
    }
    if (IsConnected()) {
        RaiseError(OnError, this, ecUsbAlreadyConnected, "UsBDevice already Connected!");
        tell(true);
        return;
    }
    if (FSettle.isActive()) {
        FConnectWaiters.push_back(std::move(Done));  // told with the connect under way
        return;
    }
    if (PipeCount() < 1) {
        RaiseError(OnError, this, ecUsbNoPipes, "Device has no pipes!");
        tell(false);
        return;
    }
    SetHalted(true);
    QPointer<TUSBDevice> alive(this);
    int failures = 0;
    for (const QPointer<TUSBPipe>& pipe : PipeList())
        if (pipe && !pipe->Open())
            ++failures;
    if (!alive)
        return;
    if (failures > 0) {
        tell(false);  // the pipes that did open stay open
        return;
    }
    FConnectWaiters.push_back(std::move(Done));
    FSettle.start();
}

// The pipes may have been rebuilt while the device settled.
void TUSBDevice::Settled()
{
    bool connected;
    {
        std::lock_guard lock(FLock);
        FConnected = !FPipes.empty()
                     && std::all_of(FPipes.begin(), FPipes.end(), [](TUSBPipe* p) { return p->FOpen; });
        connected = FConnected;
    }
    FThread->Wake();  // released meanwhile: the thread starts at once
    TellConnected(connected);
}

void TUSBDevice::GiveUpConnect()
{
    FSettle.stop();
    for (const QPointer<TUSBPipe>& pipe : PipeList())
        if (pipe)
            pipe->Close();
    TellConnected(false);
}

void TUSBDevice::TellConnected(bool Connected)
{
    QPointer<TUSBDevice> alive(this);
    for (const TConnectDone& done : std::exchange(FConnectWaiters, {})) {
        if (done)
            done(Connected);
        if (!alive)
            return;
    }
}

bool TUSBDevice::Disconnect(TStopDone Done)
{
    if (FSettle.isActive())
        GiveUpConnect();
    quint64 stop;
    {
        std::unique_lock lock(FLock);
        if (!FConnected) {
            lock.unlock();
            if (Done)
                Done();
            return false;
        }
        FHalted = false;
        FStopRequested = true;
        stop = FStopsEnded + 1;
    }
    FStopWaiters.push_back({stop, std::move(Done)});
    FThread->Wake();
    return true;
}

// Every waiter whose stop has ended, in the order they came.
void TUSBDevice::TellStopped()
{
    quint64 ended;
    {
        std::lock_guard lock(FLock);
        ended = FStopsEnded;
    }
    std::vector<TStopDone> due;
    std::vector<TStopWaiter> later;
    for (TStopWaiter& waiter : FStopWaiters) {
        if (waiter.Stop <= ended)
            due.push_back(std::move(waiter.Done));
        else
            later.push_back(std::move(waiter));
    }
    FStopWaiters = std::move(later);
    QPointer<TUSBDevice> alive(this);
    for (const TStopDone& done : due) {
        if (done)
            done();
        if (!alive)
            return;
    }
}

// ---------------------------------------------------------------- the pipes' handlers

void TUSBDevice::HandlePipeData(int Pipe, int Count)
{
    Post({dkData, Pipe, Count});
}

// A failed transfer: dropped while the device is still listed; otherwise the
// device has gone, the stop is requested (the thread carries it out at the
// end of its cycle) and the owner is told.
void TUSBDevice::HandlePipeError(TUSBPipe* Pipe, int)
{
    RefreshDeviceList();
    if (Listed(DeviceName())) {
        std::lock_guard lock(FLock);
        Pipe->FRestUntil = Clock::now() + std::chrono::milliseconds(ErrorRestMs);
        return;
    }
    {
        std::lock_guard lock(FLock);
        if (FConnected && !FStopRequested) {
            FHalted = false;
            FStopRequested = true;
        }
    }
    Post({dkRemoved});
}

void TUSBDevice::HandleOpenError(int Pipe, int Error, const QString& Path)
{
    FOpenErrorPipe = Pipe;
    FOpenErrorCode = Error;
    FOpenErrorPath = Path;
    OnOpenPipeError(this, FOpenErrorPipe, FOpenErrorCode, FOpenErrorPath);
}

// ---------------------------------------------------------------- hand-over

// The thread goes on at once. Bytes announced again while the same
// announcement is still on its way add nothing and are not posted twice.
void TUSBDevice::Post(const TDelivery& Delivery)
{
    {
        std::lock_guard lock(FLock);
        if (FTerminated)
            return;
        if (Delivery.Kind == dkData && std::find(FDeliveries.begin(), FDeliveries.end(), Delivery) != FDeliveries.end())
            return;
        FDeliveries.push_back(Delivery);
    }
    FMainWake.Signal();
}

void TUSBDevice::OnWake()
{
    FMainWake.Drain();
    QPointer<TUSBDevice> alive(this);
    for (;;) {
        TDelivery delivery;
        {
            std::lock_guard lock(FLock);
            if (FDeliveries.empty())
                break;
            delivery = FDeliveries.front();
            FDeliveries.pop_front();
        }
        try {
            Deliver(delivery);
        } catch (...) {
            if (alive)
                FMainWake.Signal();  // what is still pending is handed over next time
            throw;
        }
        if (!alive)
            return;
    }
    TellStopped();
    if (alive)
        FreeRetired();
}

// Runs the owner's handlers with the pipe and count as posted; bytes an
// earlier handler has taken already are not announced again.
void TUSBDevice::Deliver(const TDelivery& Delivery)
{
    if (Delivery.Kind == dkRemoved) {
        OnDeviceRemoved(this);
        return;
    }
    const TUSBPipe* pipe = Pipes(Delivery.Pipe);
    if (pipe == nullptr || pipe->InputBufferCount() == 0)
        return;
    QPointer<TUSBDevice> alive(this);
    DebugOnPipeData(this, Delivery.Pipe, Delivery.Count);
    if (alive)
        OnPipeData(this, Delivery.Pipe, Delivery.Count);
}
