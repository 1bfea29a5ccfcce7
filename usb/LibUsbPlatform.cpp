#include "usb/LibUsbPlatform.h"

#include <QRegularExpression>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <libusb.h>

namespace {

constexpr int InTransferSize = 4096;     // bytes one pending IN transfer can take
constexpr int MaxArrived = 64 * 1024;    // held back from the device until read
constexpr int CancelWaitMs = 1000;

// A transfer goes from the thread that submits it to the event thread that
// completes it through the kernel, where ThreadSanitizer cannot follow it:
// this counter hands it over where it can (released before each submission,
// acquired first thing on completion).
std::atomic<quint64> TransferHandOver{0};

int Failed(int& Error, int Code)
{
    Error = Code;
    return -1;
}

int ErrnoOf(int LibUsbError)
{
    switch (LibUsbError) {
    case LIBUSB_ERROR_IO: return EIO;
    case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
    case LIBUSB_ERROR_ACCESS: return EACCES;
    case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
    case LIBUSB_ERROR_BUSY: return EBUSY;
    case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
    case LIBUSB_ERROR_PIPE: return EPIPE;
    case LIBUSB_ERROR_INTERRUPTED: return EINTR;
    case LIBUSB_ERROR_NO_MEM: return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED: return ENOTSUP;
    default: return EIO;
    }
}

int ErrnoOfStatus(int Status)
{
    switch (Status) {
    case LIBUSB_TRANSFER_NO_DEVICE: return ENODEV;
    case LIBUSB_TRANSFER_STALL: return EPIPE;
    case LIBUSB_TRANSFER_TIMED_OUT: return ETIMEDOUT;
    case LIBUSB_TRANSFER_OVERFLOW: return EOVERFLOW;
    default: return EIO;
    }
}

QString PathOf(libusb_device* Device, const libusb_device_descriptor& Descriptor)
{
    uint8_t ports[8];
    const int count = libusb_get_port_numbers(Device, ports, sizeof ports);
    return TLibUsbPlatform::DevicePath(libusb_get_bus_number(Device),
                                       std::vector<int>(ports, ports + std::max(count, 0)),
                                       {Descriptor.idVendor, Descriptor.idProduct});
}

}  // namespace

// ---------------------------------------------------------------- names

std::vector<TUsbId> TLibUsbPlatform::ParseIdList(const QString& Text, QStringList* Rejected)
{
    static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
    static const QRegularExpression pair(QStringLiteral("^([0-9A-Fa-f]{4}):([0-9A-Fa-f]{4})$"));
    std::vector<TUsbId> ids;
    for (const QString& entry : Text.split(separators, Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = pair.match(entry);
        if (!match.hasMatch()) {
            if (Rejected)
                *Rejected << entry;
            continue;
        }
        const TUsbId id{quint16(match.captured(1).toUInt(nullptr, 16)), quint16(match.captured(2).toUInt(nullptr, 16))};
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            ids.push_back(id);
    }
    return ids;
}

QString TLibUsbPlatform::IdVariable(const TGUID& InterfaceClass)
{
    if (InterfaceClass == GuidCorvaneKelo6)
        return QStringLiteral("KT4_USB_KELO6");
    if (InterfaceClass == GuidKeloExpress)
        return QStringLiteral("KT4_USB_KELOEXPRESS");
    if (InterfaceClass == GuidMPKeloExpress)
        return QStringLiteral("KT4_USB_MPKELOEXPRESS");
    if (InterfaceClass == GuidMirtal)
        return QStringLiteral("KT4_USB_MIRTAL");
    return QString();
}

QString TLibUsbPlatform::DevicePath(int Bus, const std::vector<int>& Ports, TUsbId Id)
{
    QStringList ports;
    for (int port : Ports)
        ports << QString::number(port);
    return QStringLiteral("usb:%1-%2:%3:%4")
        .arg(Bus)
        .arg(ports.isEmpty() ? QStringLiteral("0") : ports.join('.'))
        .arg(Id.Vendor, 4, 16, QLatin1Char('0'))
        .arg(Id.Product, 4, 16, QLatin1Char('0'));
}

// ---------------------------------------------------------------- life

TLibUsbPlatform::TLibUsbPlatform()
{
    if (libusb_init(&FContext) != LIBUSB_SUCCESS) {
        FContext = nullptr;  // no USB on this machine: every device is absent
        return;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        FHasHotplug = libusb_hotplug_register_callback(
                          FContext, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, libusb_hotplug_flag(0), LIBUSB_HOTPLUG_MATCH_ANY,
                          LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                          [](libusb_context* c, libusb_device* d, libusb_hotplug_event e, void* self) {
                              return DeviceLeft(c, d, e, self);
                          },
                          this, &FHotplug)
                      == LIBUSB_SUCCESS;
    }
    FEvents = std::thread([this] { HandleEvents(); });
}

TLibUsbPlatform::~TLibUsbPlatform()
{
    if (!FContext)
        return;
    std::vector<int> handles;
    {
        std::lock_guard lock(FLock);
        for (const auto& [handle, pipe] : FPipes)
            handles.push_back(handle);
    }
    for (int handle : handles)
        ClosePipe(handle);
    if (FHasHotplug)
        libusb_hotplug_deregister_callback(FContext, FHotplug);
    FStopEvents = true;
    libusb_interrupt_event_handler(FContext);
    if (FEvents.joinable())
        FEvents.join();
    libusb_exit(FContext);
}

// Sleeps in libusb until a transfer completes, a device leaves or it is
// interrupted to end.
void TLibUsbPlatform::HandleEvents()
{
    while (!FStopEvents)
        libusb_handle_events_completed(FContext, nullptr);
}

int TLibUsbPlatform::DeviceLeft(libusb_context*, libusb_device* Device, int, void* Self)
{
    auto* self = static_cast<TLibUsbPlatform*>(Self);
    std::lock_guard lock(self->FLock);
    for (const auto& [handle, pipe] : self->FPipes)
        if (pipe->Device->Device == Device) {
            pipe->Device->Gone = true;
            pipe->Error = ENODEV;
            pipe->Wake.Signal();
        }
    self->FChanged.notify_all();  // a write waiting for room ends
    return 0;  // stay registered
}

// ---------------------------------------------------------------- devices

QStringList TLibUsbPlatform::EnumerateDevices(const TGUID& InterfaceClass)
{
    const std::vector<TUsbId> ids = ParseIdList(qEnvironmentVariable(IdVariable(InterfaceClass).toLatin1()));
    QStringList paths;
    libusb_device** list = nullptr;
    if (!FContext || ids.empty() || libusb_get_device_list(FContext, &list) < 0)
        return paths;
    for (libusb_device** d = list; *d; ++d) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(*d, &descriptor) != LIBUSB_SUCCESS)
            continue;
        const TUsbId id{descriptor.idVendor, descriptor.idProduct};
        if (std::find(ids.begin(), ids.end(), id) != ids.end())
            paths << PathOf(*d, descriptor);
    }
    libusb_free_device_list(list, 1);
    paths.sort();
    return paths;
}

libusb_device* TLibUsbPlatform::FindDevice(const QString& Path)
{
    libusb_device** list = nullptr;
    if (!FContext || libusb_get_device_list(FContext, &list) < 0)
        return nullptr;
    libusb_device* found = nullptr;
    for (libusb_device** d = list; *d && !found; ++d) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(*d, &descriptor) == LIBUSB_SUCCESS
            && PathOf(*d, descriptor).compare(Path, Qt::CaseInsensitive) == 0)
            found = libusb_ref_device(*d);
    }
    libusb_free_device_list(list, 1);
    return found;
}

TUSBPlatform::TFetchResult TLibUsbPlatform::FetchConfiguration(const QString& Path, QByteArray& Descriptor,
                                                               int& Error)
{
    libusb_device* device = FindDevice(Path);
    if (!device) {
        Error = ENODEV;
        return frOpenFailed;
    }
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(device, &handle);
    libusb_unref_device(device);
    if (opened != LIBUSB_SUCCESS) {
        Error = ErrnoOf(opened);
        return frOpenFailed;
    }
    unsigned char buffer[UsbDescriptor::MaxConfigurationSize];
    const int got = libusb_get_descriptor(handle, LIBUSB_DT_CONFIG, 0, buffer, sizeof buffer);
    libusb_close(handle);
    if (got < 0) {
        Error = ErrnoOf(got);
        return frRequestFailed;
    }
    Descriptor = QByteArray(reinterpret_cast<const char*>(buffer), got);
    Error = 0;
    return frOk;
}

// A device's pipes share one handle and one claim of its first interface.
// Called without FLock: opening and claiming talk to the device.
TLibUsbPlatform::TOpenDevice* TLibUsbPlatform::OpenDevice(const QString& Path, int& Error)
{
    {
        std::lock_guard lock(FLock);
        if (const auto open = FDevices.find(Path.toLower()); open != FDevices.end() && !open->second->Gone) {
            ++open->second->Users;
            return open->second;
        }
    }
    libusb_device* device = FindDevice(Path);
    if (!device) {
        Error = ENODEV;
        return nullptr;
    }
    auto open = std::make_unique<TOpenDevice>();
    open->Path = Path;
    open->Device = device;
    int result = libusb_open(device, &open->Handle);
    libusb_config_descriptor* configuration = nullptr;
    if (result == LIBUSB_SUCCESS)
        result = libusb_get_active_config_descriptor(device, &configuration);
    if (result == LIBUSB_SUCCESS && configuration->bNumInterfaces > 0)
        open->Interface = configuration->interface[0].altsetting[0].bInterfaceNumber;
    if (configuration)
        libusb_free_config_descriptor(configuration);
    if (result == LIBUSB_SUCCESS) {
        libusb_set_auto_detach_kernel_driver(open->Handle, 1);  // not every platform can: then claim says so
        result = libusb_claim_interface(open->Handle, open->Interface);
    }
    if (result != LIBUSB_SUCCESS) {
        if (open->Handle)
            libusb_close(open->Handle);
        libusb_unref_device(device);
        Error = ErrnoOf(result);
        return nullptr;
    }
    open->Users = 1;
    std::lock_guard lock(FLock);
    // Replaces an earlier open of a device that has gone; its pipes still hold that one.
    FDevices[Path.toLower()] = open.get();
    return open.release();
}

// The last pipe of a device lets it go.
void TLibUsbPlatform::ReleaseDevice(TOpenDevice* Device)
{
    {
        std::lock_guard lock(FLock);
        if (--Device->Users > 0)
            return;
        const auto slot = FDevices.find(Device->Path.toLower());
        if (slot != FDevices.end() && slot->second == Device)
            FDevices.erase(slot);
    }
    libusb_release_interface(Device->Handle, Device->Interface);
    libusb_close(Device->Handle);
    libusb_unref_device(Device->Device);
    delete Device;
}

// ---------------------------------------------------------------- pipes

TLibUsbPlatform::TPipe* TLibUsbPlatform::PipeLocked(int Handle)
{
    const auto pipe = FPipes.find(Handle);
    return pipe == FPipes.end() ? nullptr : pipe->second.get();
}

int TLibUsbPlatform::OpenPipe(const QString& Path, int Index, int& Error)
{
    if (!FContext)
        return Failed(Error, ENODEV);
    TOpenDevice* device = OpenDevice(Path, Error);
    if (!device)
        return -1;
    libusb_config_descriptor* configuration = nullptr;
    int result = libusb_get_active_config_descriptor(device->Device, &configuration);
    const libusb_interface_descriptor* interface =
        result == LIBUSB_SUCCESS && configuration->bNumInterfaces > 0 ? &configuration->interface[0].altsetting[0]
                                                                       : nullptr;
    if (!interface || Index < 0 || Index >= interface->bNumEndpoints) {
        if (configuration)
            libusb_free_config_descriptor(configuration);
        ReleaseDevice(device);
        return Failed(Error, result == LIBUSB_SUCCESS ? ENOENT : ErrnoOf(result));
    }
    auto pipe = std::make_unique<TPipe>();
    if (!pipe->Wake.Valid()) {  // the receive thread could not be woken for it
        libusb_free_config_descriptor(configuration);
        ReleaseDevice(device);
        return Failed(Error, pipe->Wake.Error());
    }
    pipe->Owner = this;
    pipe->Device = device;
    pipe->Address = interface->endpoint[Index].bEndpointAddress;
    pipe->Type = interface->endpoint[Index].bmAttributes & 3;
    libusb_free_config_descriptor(configuration);

    std::unique_lock lock(FLock);
    if (pipe->Address & LIBUSB_ENDPOINT_IN) {
        pipe->Transfer = libusb_alloc_transfer(0);
        pipe->Buffer.resize(InTransferSize);
        if (!pipe->Transfer || !SubmitLocked(*pipe)) {
            const int error = pipe->Error ? pipe->Error : ENOMEM;
            if (pipe->Transfer)
                libusb_free_transfer(pipe->Transfer);
            lock.unlock();
            ReleaseDevice(device);
            return Failed(Error, error);
        }
    }
    const int handle = FNextHandle++;
    FPipes[handle] = std::move(pipe);
    Error = 0;
    return handle;
}

bool TLibUsbPlatform::SubmitLocked(TPipe& Pipe)
{
    if (Pipe.Type == LIBUSB_TRANSFER_TYPE_INTERRUPT)
        libusb_fill_interrupt_transfer(Pipe.Transfer, Pipe.Device->Handle, Pipe.Address, Pipe.Buffer.data(),
                                       int(Pipe.Buffer.size()), &TransferDone, &Pipe, 0);
    else
        libusb_fill_bulk_transfer(Pipe.Transfer, Pipe.Device->Handle, Pipe.Address, Pipe.Buffer.data(),
                                  int(Pipe.Buffer.size()), &TransferDone, &Pipe, 0);
    TransferHandOver.fetch_add(1, std::memory_order_release);
    const int result = libusb_submit_transfer(Pipe.Transfer);
    Pipe.InFlight = result == LIBUSB_SUCCESS;
    if (!Pipe.InFlight) {
        Pipe.Error = ErrnoOf(result);
        Pipe.Wake.Signal();
    }
    return Pipe.InFlight;
}

// On the event thread. A completed transfer is at once pending again while
// the pipe has room; a failed one waits for the read that reports it.
void TLibUsbPlatform::TransferDone(libusb_transfer* Transfer)
{
    TransferHandOver.load(std::memory_order_acquire);
    auto* pipe = static_cast<TPipe*>(Transfer->user_data);
    std::lock_guard lock(pipe->Owner->FLock);
    pipe->InFlight = false;
    if (Transfer->status == LIBUSB_TRANSFER_COMPLETED) {
        pipe->Arrived.append(reinterpret_cast<const char*>(Transfer->buffer), Transfer->actual_length);
        if (!pipe->Arrived.isEmpty())
            pipe->Wake.Signal();  // the receive thread wakes while the transfer goes out again
        if (!pipe->Closing && pipe->Arrived.size() < MaxArrived)
            pipe->Owner->SubmitLocked(*pipe);
    } else if (Transfer->status != LIBUSB_TRANSFER_CANCELLED) {
        pipe->Error = ErrnoOfStatus(Transfer->status);
    }
    if (!pipe->Arrived.isEmpty() || pipe->Error)
        pipe->Wake.Signal();
    pipe->Owner->FChanged.notify_all();
}

void TLibUsbPlatform::ClosePipe(int Handle)
{
    std::unique_lock lock(FLock);
    TPipe* pipe = PipeLocked(Handle);
    if (!pipe)
        return;
    pipe->Closing = true;
    if (pipe->InFlight) {
        libusb_cancel_transfer(pipe->Transfer);
        FChanged.wait_for(lock, std::chrono::milliseconds(CancelWaitMs), [&] { return !pipe->InFlight; });
    }
    // What was written arrives before the pipe goes (the dock's hand-back is
    // the last thing written before a disconnect): each write ends by itself
    // within its time-out; what is still on its way after that is cancelled.
    const auto written = [&] { return pipe->Writes.empty(); };
    if (!FChanged.wait_for(lock, std::chrono::milliseconds(WriteTimeoutMs + CancelWaitMs), written)) {
        for (const auto& [write, number] : pipe->Writes)
            libusb_cancel_transfer(write);
        FChanged.wait_for(lock, std::chrono::milliseconds(CancelWaitMs), written);
    }
    TOpenDevice* device = pipe->Device;
    std::unique_ptr<TPipe> closed = std::move(FPipes[Handle]);
    FPipes.erase(Handle);
    if (closed->InFlight || !closed->Writes.empty())
        closed.release();  // the event thread may still complete them: never freed under its feet
    else if (closed->Transfer)
        libusb_free_transfer(closed->Transfer);
    lock.unlock();
    ReleaseDevice(device);
}

int TLibUsbPlatform::ReadPipe(int Handle, char* Buffer, int Size, int& Error)
{
    std::unique_lock lock(FLock);
    TPipe* pipe = PipeLocked(Handle);
    if (!pipe)
        return Failed(Error, EBADF);
    if (pipe->Arrived.isEmpty() && pipe->Error) {
        const int error = std::exchange(pipe->Error, 0);
        pipe->Wake.Drain();
        if (error == EPIPE) {  // a stalled endpoint is cleared before it is read again
            lock.unlock();
            libusb_clear_halt(pipe->Device->Handle, pipe->Address);
            lock.lock();
        }
        if (!pipe->InFlight && !pipe->Closing && !pipe->Device->Gone)
            SubmitLocked(*pipe);
        return Failed(Error, error);
    }
    const int count = std::min<int>(Size, pipe->Arrived.size());
    std::copy_n(pipe->Arrived.constData(), count, Buffer);
    pipe->Arrived.remove(0, count);
    if (pipe->Arrived.isEmpty() && !pipe->Error)
        pipe->Wake.Drain();
    if (!pipe->InFlight && !pipe->Error && !pipe->Closing && !pipe->Device->Gone)
        SubmitLocked(*pipe);  // it was held back while the pipe was full
    Error = 0;
    return count;
}

int TLibUsbPlatform::WritePipe(int Handle, const char* Data, int Size, int& Error)
{
    std::unique_lock lock(FLock);
    TPipe* pipe = PipeLocked(Handle);
    if (!pipe)
        return Failed(Error, EBADF);
    const auto told = [&] { return pipe->Device->Gone || pipe->WriteError != 0; };
    const auto failure = [&] {
        if (pipe->Device->Gone)
            return ENODEV;
        pipe->Wake.Drain();
        pipe->ToldUpTo = pipe->WritesSubmitted;
        return std::exchange(pipe->WriteError, 0);
    };
    if (told())
        return Failed(Error, failure());
    if (Size <= 0) {
        Error = 0;
        return 0;
    }
    // Sleeps until the oldest write ends when the pipe has its fill on the way.
    if (!FChanged.wait_for(lock, std::chrono::milliseconds(WriteTimeoutMs),
                           [&] { return told() || int(pipe->Writes.size()) < MaxWritesInFlight; })) {
        pipe->ToldUpTo = pipe->WritesSubmitted;  // the writes on their way fail with this one
        return Failed(Error, ETIMEDOUT);
    }
    if (told())
        return Failed(Error, failure());
    libusb_transfer* write = libusb_alloc_transfer(0);
    auto* bytes = static_cast<unsigned char*>(std::malloc(std::size_t(Size)));
    if (!write || !bytes) {
        libusb_free_transfer(write);
        std::free(bytes);
        return Failed(Error, ENOMEM);
    }
    std::memcpy(bytes, Data, std::size_t(Size));
    if (pipe->Type == LIBUSB_TRANSFER_TYPE_INTERRUPT)
        libusb_fill_interrupt_transfer(write, pipe->Device->Handle, pipe->Address, bytes, Size, &WriteDone, pipe,
                                       WriteTimeoutMs);
    else
        libusb_fill_bulk_transfer(write, pipe->Device->Handle, pipe->Address, bytes, Size, &WriteDone, pipe,
                                  WriteTimeoutMs);
    write->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    // Listed before it is submitted (it may end before the lock is back), and
    // submitted without the lock, so that the event thread completes the
    // writes before it meanwhile. Only this thread writes to the pipe and
    // closes it, so the order and the pipe hold.
    pipe->Writes.emplace_back(write, pipe->WritesSubmitted++);
    lock.unlock();
    TransferHandOver.fetch_add(1, std::memory_order_release);
    const int result = libusb_submit_transfer(write);
    if (result != LIBUSB_SUCCESS) {
        lock.lock();
        std::erase_if(pipe->Writes, [&](const auto& Write) { return Write.first == write; });
        libusb_free_transfer(write);
        FChanged.notify_all();
        return Failed(Error, ErrnoOf(result));
    }
    Error = 0;
    return Size;
}

// On the event thread. The first failure is kept until a write or PipeAlive
// tells it, unless one told already stands for this write; a cancelled write
// was cancelled by ClosePipe, which says nothing.
void TLibUsbPlatform::WriteDone(libusb_transfer* Transfer)
{
    TransferHandOver.load(std::memory_order_acquire);
    auto* pipe = static_cast<TPipe*>(Transfer->user_data);
    std::lock_guard lock(pipe->Owner->FLock);
    const auto done = std::find_if(pipe->Writes.begin(), pipe->Writes.end(),
                                   [&](const auto& Write) { return Write.first == Transfer; });
    const quint64 number = done != pipe->Writes.end() ? done->second : 0;
    if (done != pipe->Writes.end())
        pipe->Writes.erase(done);
    const bool whole = Transfer->status == LIBUSB_TRANSFER_COMPLETED && Transfer->actual_length == Transfer->length;
    if (!whole && Transfer->status != LIBUSB_TRANSFER_CANCELLED && !pipe->WriteError && number >= pipe->ToldUpTo) {
        pipe->WriteError = Transfer->status == LIBUSB_TRANSFER_COMPLETED ? EIO : ErrnoOfStatus(Transfer->status);
        pipe->Wake.Signal();
    }
    libusb_free_transfer(Transfer);  // and its bytes
    pipe->Owner->FChanged.notify_all();
}

int TLibUsbPlatform::WaitHandle(int Handle)
{
    std::lock_guard lock(FLock);
    TPipe* pipe = PipeLocked(Handle);
    return pipe ? pipe->Wake.Fd() : -1;
}

bool TLibUsbPlatform::PipeAlive(int Handle, int& Error)
{
    std::lock_guard lock(FLock);
    TPipe* pipe = PipeLocked(Handle);
    if (!pipe || pipe->Device->Gone) {
        Error = ENODEV;
        return false;
    }
    if (pipe->WriteError) {  // told once
        Error = std::exchange(pipe->WriteError, 0);
        pipe->ToldUpTo = pipe->WritesSubmitted;
        pipe->Wake.Drain();
        return false;
    }
    return true;
}
