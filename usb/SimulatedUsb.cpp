#include "usb/SimulatedUsb.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

int Failed(int& Error, int Code)
{
    Error = Code;
    return -1;
}

}  // namespace

void TSimulatedUsb::Record(const QString& Call)
{
    FCalls << Call;
}

const TSimulatedUsb::TDevice* TSimulatedUsb::Find(const QString& Path) const
{
    for (const TDevice& device : FDevices)
        if (device.Path.compare(Path, Qt::CaseInsensitive) == 0)
            return &device;
    return nullptr;
}

// ---------------------------------------------------------------- the scene

void TSimulatedUsb::AddDevice(const TDevice& Device)
{
    std::lock_guard lock(FLock);
    FDevices.push_back(Device);
}

void TSimulatedUsb::Unplug(const QString& Path)
{
    std::lock_guard lock(FLock);
    std::erase_if(FDevices, [&](const TDevice& d) { return d.Path.compare(Path, Qt::CaseInsensitive) == 0; });
    for (auto& [handle, pipe] : FPipes)
        if (pipe.Key.first == Path.toLower()) {
            pipe.Gone = true;
            pipe.Wake->Signal();
        }
    FChanged.notify_all();
}

void TSimulatedUsb::SetPipeOpenError(const QString& Path, int Index, int Error)
{
    std::lock_guard lock(FLock);
    FEndpoints[Key(Path, Index)].OpenError = Error;
}

void TSimulatedUsb::SendIn(const QString& Path, int Index, const QByteArray& Bytes)
{
    std::lock_guard lock(FLock);
    const TKey key = Key(Path, Index);
    FEndpoints[key].In.append(Bytes.constData(), Bytes.size());  // a copy of its own: no data shared across threads
    for (auto& [handle, pipe] : FPipes)
        if (pipe.Key == key)
            pipe.Wake->Signal();
}

void TSimulatedUsb::FailNextRead(const QString& Path, int Index, int Error)
{
    std::lock_guard lock(FLock);
    const TKey key = Key(Path, Index);
    FEndpoints[key].ReadFailures.push_back(Error);
    for (auto& [handle, pipe] : FPipes)
        if (pipe.Key == key)
            pipe.Wake->Signal();  // a failing transfer completes at once
}

void TSimulatedUsb::FailNextWrite(const QString& Path, int Index, int Error)
{
    std::lock_guard lock(FLock);
    FEndpoints[Key(Path, Index)].WriteFailures.push_back(Error);
}

void TSimulatedUsb::AcceptNothingNext(const QString& Path, int Index)
{
    std::lock_guard lock(FLock);
    ++FEndpoints[Key(Path, Index)].NothingWrites;
}

void TSimulatedUsb::SetStalled(const QString& Path, int Index, bool Stalled)
{
    std::lock_guard lock(FLock);
    FEndpoints[Key(Path, Index)].Stalled = Stalled;
    FChanged.notify_all();
}

void TSimulatedUsb::HoldCloses(bool Hold)
{
    std::lock_guard lock(FLock);
    FHoldCloses = Hold;
    FChanged.notify_all();
}

int TSimulatedUsb::ClosesHeld() const
{
    std::lock_guard lock(FLock);
    return FClosesHeld;
}

// Copies of their own: the receive thread goes on recording.
QStringList TSimulatedUsb::Calls() const
{
    std::lock_guard lock(FLock);
    QStringList calls;
    for (const QString& call : FCalls)
        calls << QString(call.constData(), call.size());
    return calls;
}

QByteArray TSimulatedUsb::Written(const QString& Path, int Index) const
{
    std::lock_guard lock(FLock);
    const auto endpoint = FEndpoints.find(Key(Path, Index));
    return endpoint == FEndpoints.end() ? QByteArray()
                                        : QByteArray(endpoint->second.Written.constData(), endpoint->second.Written.size());
}

int TSimulatedUsb::OpenPipes() const
{
    std::lock_guard lock(FLock);
    return int(FPipes.size());
}

// ---------------------------------------------------------------- the platform calls

QStringList TSimulatedUsb::EnumerateDevices(const TGUID& InterfaceClass)
{
    std::lock_guard lock(FLock);
    Record("enumerate " + InterfaceClass.ToString());
    QStringList paths;
    for (const TDevice& device : FDevices)
        if (device.Class == InterfaceClass)
            paths << device.Path;
    return paths;
}

TUSBPlatform::TFetchResult TSimulatedUsb::FetchConfiguration(const QString& Path, QByteArray& Descriptor, int& Error)
{
    std::lock_guard lock(FLock);
    Record("fetch " + Path);
    const TDevice* device = Find(Path);
    if (!device || device->OpenError) {
        Error = device ? device->OpenError : ENOENT;
        return frOpenFailed;
    }
    if (device->RequestFails) {
        Error = EPIPE;
        return frRequestFailed;
    }
    Descriptor = device->Descriptor.left(UsbDescriptor::MaxConfigurationSize);
    Error = 0;
    return frOk;
}

int TSimulatedUsb::OpenPipe(const QString& Path, int Index, int& Error)
{
    std::lock_guard lock(FLock);
    Record(QStringLiteral("open %1 %2").arg(Path).arg(Index));
    if (!Find(Path))
        return Failed(Error, ENODEV);
    const TKey key = Key(Path, Index);
    if (const int error = FEndpoints[key].OpenError)
        return Failed(Error, error);
    const int handle = FNextHandle++;
    TPipe& pipe = FPipes[handle];
    pipe.Key = key;
    pipe.Path = Path;
    if (!FEndpoints[key].In.isEmpty())
        pipe.Wake->Signal();
    Error = 0;
    return handle;
}

void TSimulatedUsb::ClosePipe(int Handle)
{
    std::unique_lock lock(FLock);
    ++FClosesHeld;
    FChanged.wait(lock, [this] { return !FHoldCloses; });
    --FClosesHeld;
    const auto pipe = FPipes.find(Handle);
    if (pipe == FPipes.end())
        return;
    Record(QStringLiteral("close %1 %2").arg(pipe->second.Key.first).arg(pipe->second.Key.second));
    FPipes.erase(pipe);
    FChanged.notify_all();
}

int TSimulatedUsb::ReadPipe(int Handle, char* Buffer, int Size, int& Error)
{
    std::lock_guard lock(FLock);
    const auto found = FPipes.find(Handle);
    if (found == FPipes.end())
        return Failed(Error, EBADF);
    TPipe& pipe = found->second;
    Record(QStringLiteral("read %1 %2 %3").arg(pipe.Key.first).arg(pipe.Key.second).arg(Size));
    if (pipe.Gone)
        return Failed(Error, ENODEV);
    TEndpoint& endpoint = FEndpoints[pipe.Key];
    if (!endpoint.ReadFailures.empty()) {
        const int error = endpoint.ReadFailures.front();
        endpoint.ReadFailures.pop_front();
        return Failed(Error, error);
    }
    const int count = std::min<int>(Size, endpoint.In.size());
    std::memcpy(Buffer, endpoint.In.constData(), count);
    endpoint.In.remove(0, count);
    if (endpoint.In.isEmpty())
        pipe.Wake->Drain();
    Error = 0;
    return count;
}

int TSimulatedUsb::WritePipe(int Handle, const char* Data, int Size, int& Error)
{
    std::unique_lock lock(FLock);
    const auto found = FPipes.find(Handle);
    if (found == FPipes.end())
        return Failed(Error, EBADF);
    const TKey key = found->second.Key;
    const QString path = found->second.Path;
    Record(QStringLiteral("write %1 %2 %3").arg(key.first).arg(key.second).arg(Size));
    TEndpoint& endpoint = FEndpoints[key];
    const auto gone = [&] { return !FPipes.count(Handle) || FPipes.at(Handle).Gone; };
    if (endpoint.Stalled) {
        const bool released = FChanged.wait_for(lock, std::chrono::milliseconds(StallTimeoutMs),
                                                [&] { return !endpoint.Stalled || gone(); });
        if (!released)
            return Failed(Error, ETIMEDOUT);
    }
    if (gone())
        return Failed(Error, ENODEV);
    if (!endpoint.WriteFailures.empty()) {
        const int error = endpoint.WriteFailures.front();
        endpoint.WriteFailures.pop_front();
        return Failed(Error, error);
    }
    Error = 0;
    if (endpoint.NothingWrites > 0) {
        --endpoint.NothingWrites;
        return 0;
    }
    const QByteArray bytes(Data, Size);
    endpoint.Written += bytes;
    const auto handler = OnWrite;
    lock.unlock();
    if (handler)
        handler(path, key.second, bytes);
    return Size;
}

int TSimulatedUsb::WaitHandle(int Handle)
{
    std::lock_guard lock(FLock);
    const auto pipe = FPipes.find(Handle);
    return pipe == FPipes.end() ? -1 : pipe->second.Wake->Fd();
}

bool TSimulatedUsb::PipeAlive(int Handle, int& Error)
{
    std::lock_guard lock(FLock);
    const auto pipe = FPipes.find(Handle);
    if (pipe != FPipes.end() && !pipe->second.Gone)
        return true;
    Error = ENODEV;
    return false;
}
