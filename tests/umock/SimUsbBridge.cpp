#include "tests/umock/SimUsbBridge.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>

TSimUsbBridge::TSimUsbBridge(TUmockTestbed& Testbed, const QString& SimDirectory, quint16 Vendor, quint16 Product)
    : FSim(SimDirectory)
{
    const QStringList devices = FSim.EnumerateDevices(GuidCorvaneKelo6);
    if (devices.isEmpty())
        throw std::runtime_error("no simulated device in " + SimDirectory.toStdString());
    FSimPath = devices.first();
    QByteArray configuration;
    int error = 0;
    if (FSim.FetchConfiguration(FSimPath, configuration, error) != TUSBPlatform::frOk)
        throw std::runtime_error("the simulated device gave no configuration");
    FEndpoints = WalkConfiguration(configuration).Endpoints;

    TEmulatedIdentity identity;
    identity.Vendor = Vendor;
    identity.Product = Product;
    identity.Configuration = configuration;
    FDevice = std::make_unique<TEmulatedUsbDevice>(Testbed, identity);
    FDevice->OnClaim = [this] { Post({TCommand::Open, 0, {}}); };
    FDevice->OnRelease = [this] { Post({TCommand::Close, 0, {}}); };
    FDevice->OnOut = [this](quint8 Endpoint, const QByteArray& Bytes) {
        const int pipe = PipeOf(Endpoint);
        if (pipe >= 0)
            Post({TCommand::Out, pipe, Bytes});
    };
    FThread = std::thread([this] { Run(); });
    FDevice->Plug();
}

TSimUsbBridge::~TSimUsbBridge()
{
    {
        std::lock_guard lock(FLock);
        FStop = true;
    }
    FWake.Signal();
    FThread.join();
    FDevice.reset();
}

qint64 TSimUsbBridge::BytesOut() const
{
    std::lock_guard lock(FLock);
    return FBytesOut;
}

int TSimUsbBridge::PipeOf(quint8 Address) const
{
    for (std::size_t n = 0; n < FEndpoints.size(); ++n)
        if (FEndpoints[n].bEndpointAddress == Address)
            return int(n);
    return -1;
}

void TSimUsbBridge::Post(TCommand Command)
{
    {
        std::lock_guard lock(FLock);
        FCommands.push_back(std::move(Command));
    }
    FWake.Signal();
}

void TSimUsbBridge::Run()
{
    std::vector<int> handles(FEndpoints.size(), -1);
    bool gone = false;
    const auto closeAll = [&] {
        for (int& handle : handles)
            if (handle >= 0)
                FSim.ClosePipe(std::exchange(handle, -1));
    };
    for (;;) {
        std::vector<pollfd> fds{{FWake.Fd(), POLLIN, 0}};
        for (int handle : handles)
            if (handle >= 0)
                fds.push_back({FSim.WaitHandle(handle), POLLIN, 0});
        while (::poll(fds.data(), fds.size(), -1) < 0 && errno == EINTR) {
        }
        FWake.Drain();
        std::deque<TCommand> commands;
        {
            std::lock_guard lock(FLock);
            if (FStop)
                break;
            commands.swap(FCommands);
        }
        for (TCommand& command : commands) {
            if (gone)
                break;
            int error = 0;
            switch (command.Kind) {
            case TCommand::Open:
                for (std::size_t n = 0; n < handles.size(); ++n)
                    if (handles[n] < 0)
                        handles[n] = FSim.OpenPipe(FSimPath, int(n), error);
                break;
            case TCommand::Close:
                closeAll();
                break;
            case TCommand::Out:
                for (int at = 0; handles[command.Pipe] >= 0 && at < command.Bytes.size();) {
                    const int n = FSim.WritePipe(handles[command.Pipe], command.Bytes.constData() + at,
                                                 int(command.Bytes.size()) - at, error);
                    if (n <= 0) {
                        gone = true;
                        break;
                    }
                    at += n;
                    std::lock_guard lock(FLock);
                    FBytesOut += n;
                }
                break;
            }
        }
        for (std::size_t n = 0; n < handles.size() && !gone; ++n) {
            if (handles[n] < 0)
                continue;
            int error = 0;
            if (!FEndpoints[n].IsInput()) {  // an OUT pipe speaks only when the device has gone
                gone = !FSim.PipeAlive(handles[n], error);
                continue;
            }
            char buffer[4096];
            int got;
            while ((got = FSim.ReadPipe(handles[n], buffer, sizeof buffer, error)) > 0)
                FDevice->Send(FEndpoints[n].bEndpointAddress, QByteArray(buffer, got));
            if (got < 0)
                gone = true;
        }
        if (gone) {
            closeAll();
            FDevice->Pull();  // the dock left the simulated bus: it leaves this one too
        }
    }
    closeAll();
}
