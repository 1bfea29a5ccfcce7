#pragma once
// A device of the simulated USB stack (kt4-sim --usb DIR, the simulated Kelo6
// dock with its instrument when started with --dock kelo6) put behind an
// emulated USB device, so that the real libusb reaches it:
//
//   the emulated device carries the simulated device's configuration
//   descriptor and the IDs given;
//   the simulated device's pipes are opened when the host claims the
//   interface and closed when it releases it, so the dock sees the utility
//   come and go as it does on the simulated stack;
//   what the host sends on an OUT endpoint goes to the same pipe of the
//   simulated device, what that says on an IN pipe comes back on the IN
//   endpoint;
//   when the simulated device goes away (kt4-sim --lose-after), the emulated
//   one is pulled off the bus.
//
// The bridge's own thread does the simulated stack's I/O, so the emulated
// device's request handler never waits.

#include "tests/umock/EmulatedUsb.h"
#include "usb/RemoteSimUsb.h"
#include "usb/USB.h"
#include "usb/WakeSignal.h"

#include <memory>
#include <thread>

class TSimUsbBridge {
public:
    // Throws when no simulated device is served in SimDirectory.
    TSimUsbBridge(TUmockTestbed& Testbed, const QString& SimDirectory, quint16 Vendor, quint16 Product);
    ~TSimUsbBridge();

    TEmulatedUsbDevice& Device() { return *FDevice; }
    // Bytes that went from the host to the simulated device, all pipes.
    qint64 BytesOut() const;

private:
    struct TCommand {
        enum { Open, Close, Out } Kind = Open;
        int Pipe = 0;
        QByteArray Bytes;
    };

    void Post(TCommand Command);
    void Run();
    int PipeOf(quint8 Address) const;

    TRemoteSimUsb FSim;
    QString FSimPath;
    std::vector<TEndpointDescriptor> FEndpoints;
    std::unique_ptr<TEmulatedUsbDevice> FDevice;

    mutable std::mutex FLock;
    std::deque<TCommand> FCommands;
    bool FStop = false;
    qint64 FBytesOut = 0;
    TWakeSignal FWake;
    std::thread FThread;
};
