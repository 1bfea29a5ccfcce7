#pragma once
// The platform calls of the USB device layer go through this interface, so
// that a simulated USB stack can stand in for the real bus:
//
//   TLibUsbPlatform   real docks through libusb-1.0 (LibUsbPlatform.h);
//   TRemoteSimUsb     devices served by the simulator program as Unix sockets
//                     in a directory named by KT4_USB_SIM (RemoteSimUsb.h);
//   TSimulatedUsb     an in-process stack for tests (SimulatedUsb.h).
//
// A device is named by its device path; its endpoints are opened by their
// position in the first interface descriptor. Error codes are errno values.
// Every call may come from the main thread or from a device's receive thread;
// one pipe handle is used by one thread at a time.

#include "usb/USB.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

class TUSBPlatform {
public:
    enum TFetchResult { frOk, frOpenFailed, frRequestFailed };

    // How long a write may wait for the device to take its bytes.
    static constexpr int WriteTimeoutMs = 1000;

    virtual ~TUSBPlatform() = default;

    // The device paths of the present devices of an interface class, in
    // enumeration order; nothing when no enumeration can run.
    virtual QStringList EnumerateDevices(const TGUID& InterfaceClass) = 0;

    // The device's configuration descriptor as the device returns it (at most
    // 256 bytes). frOpenFailed: the device cannot be opened; frRequestFailed:
    // it did not answer the request. Error tells why.
    virtual TFetchResult FetchConfiguration(const QString& Path, QByteArray& Descriptor, int& Error) = 0;

    // Opens endpoint Index of the first interface: a handle >= 0, or -1 with Error.
    virtual int OpenPipe(const QString& Path, int Index, int& Error) = 0;
    virtual void ClosePipe(int Handle) = 0;

    // At most Size bytes of what has arrived on an IN endpoint: the count (0:
    // nothing has come), or -1 with Error. Never waits.
    virtual int ReadPipe(int Handle, char* Buffer, int Size, int& Error) = 0;

    // Sends Size bytes on an OUT endpoint: the count the device took, or -1
    // with Error. Waits at most WriteTimeoutMs for the device. A back end may
    // take the bytes and send them after it returns: then the bytes of
    // successive writes still leave in the order written, a write that fails
    // on its way is told once (by the pipe's next write, or through the wait
    // descriptor and PipeAlive), a device that goes fails what is on its way,
    // and closing the pipe lets it arrive first.
    virtual int WritePipe(int Handle, const char* Data, int Size, int& Error) = 0;

    // A descriptor that polls readable while the pipe has something to say:
    // input waiting on an IN endpoint, a write that failed on its way on an
    // OUT endpoint, or (on any pipe) the device has gone.
    virtual int WaitHandle(int Handle) = 0;

    // False with Error once the pipe's device has gone away, and once (with
    // its error) for a write that failed on its way and was not told yet.
    virtual bool PipeAlive(int Handle, int& Error) = 0;
};

// The USB platform in force: the one installed, else the simulated stack
// served in the directory named by KT4_USB_SIM when that is set, else libusb.
TUSBPlatform& UsbPlatform();
std::unique_ptr<TUSBPlatform> SetUsbPlatform(std::unique_ptr<TUSBPlatform> Platform);
