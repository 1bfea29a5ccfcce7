#pragma once
// What a dock component needs of its USB device: the few calls and events of
// the USB layer's device that the docks use, and nothing else. The USB layer's
// device is bound to it by a small adapter (or by implementing it), so the
// docks do not depend on how the USB layer reaches its pipes.
//
// Pipes are addressed by number, as the dock message protocol names them:
// 0 instrument data out, 1 instrument data in, 2 control in, 3 control out.
// Every call is made, and every event raised, on the main thread.

#include "platform/Events.h"
#include "usb/DockFamily.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

// Sender, Pipe, Count: Count bytes wait on pipe Pipe.
using TOnPipeData = TEvent<QObject*, int, int>;

class TDockUSBDevice {
public:
    virtual ~TDockUSBDevice() = default;

    // Selects the family of devices listed and opened.
    virtual void SetDeviceType(TDockFamily Type) = 0;
    // The device path opened by Connect; empty until one is chosen.
    virtual QString DeviceName() const = 0;
    virtual void SetDeviceName(const QString& Name) = 0;
    // Lists the family's devices on the bus now, in enumeration order.
    virtual QStringList RefreshDeviceList() = 0;
    // Opens the named device's pipes and leaves the device halted until
    // Halted is cleared. Done runs once with IsConnected, when the device is
    // connected and settled or has failed: at once, or later from the event
    // loop. Nothing waits.
    virtual void Connect(std::function<void(bool Connected)> Done) = 0;
    // Closes the pipes; Done runs once they are closed: at once, or later
    // from the event loop. Nothing waits.
    virtual void Disconnect(std::function<void()> Done) = 0;
    virtual bool IsConnected() const = 0;
    // While set, the device moves no data.
    virtual bool Halted() const = 0;
    virtual void SetHalted(bool Value) = 0;
    // Takes everything received on an input pipe.
    virtual QByteArray ReadData(int Pipe) = 0;
    // Queues bytes on an output pipe behind those queued before, without
    // waiting: their count, or -1 when the pipe is not open.
    virtual int QueueData(int Pipe, const QByteArray& Data) = 0;

    // Raised after bytes were received on an input pipe.
    TOnPipeData OnPipeData;
    // Raised when a transfer failed because the device left the bus; its
    // pipes close right after.
    TNotifyEvent OnDeviceRemoved;
};
