#pragma once
// A device on the in-process USB stack, with everything it reports recorded.

#include "tests/TestSupport.h"
#include "usb/SimulatedUsb.h"
#include "usb/USBPipe.h"

#include <gtest/gtest.h>
#include <memory>
#include <optional>

// Connects Device and waits on the event loop until it has said how that
// went: whether it is connected.
inline bool ConnectAndSettle(TUSBDevice& Device)
{
    auto told = std::make_shared<std::optional<bool>>();
    Device.Connect([told](bool Connected) { *told = Connected; });
    return WaitFor([&] { return told->has_value(); }, 30000) && **told;
}

// Disconnects Device and waits until it has let go of its pipes.
inline bool DisconnectAndWait(TUSBDevice& Device)
{
    auto told = std::make_shared<bool>(false);
    Device.Disconnect([told] { *told = true; });
    return WaitFor([&] { return *told; }, 30000);
}

// Bulk endpoints at the given addresses (bit 7: IN), all of one packet size.
std::vector<TEndpointDescriptor> Endpoints(std::initializer_list<quint8> Addresses, quint16 PacketSize = 64);

// A dock's layout: pipe 0 OUT, 1 IN, 2 IN, 3 OUT.
std::vector<TEndpointDescriptor> DockEndpoints(quint16 PacketSize = 64);

class TUsbDeviceTest : public ::testing::Test {
protected:
    static inline const QString Path = QStringLiteral("usb:1-4.2:1234:5678");

    TUsbDeviceTest();

    // Puts a device with that descriptor on the bus.
    void Plug(const QByteArray& Descriptor, const QString& At = Path);
    // Plugged, named, connected (still halted).
    void Open(const std::vector<TEndpointDescriptor>& Layout = DockEndpoints());
    // Open and released: the thread serves the pipes.
    void Run(const std::vector<TEndpointDescriptor>& Layout = DockEndpoints());
    // The sizes of the writes to endpoint Index, in order.
    QList<int> WriteSizes(int Index) const;

    TScriptedDialogsScope Dialogs;
    TSimulatedUsb Stack;
    std::unique_ptr<TUSBDevice> Device;  // goes before the stack
    QStringList Events;                  // "debug P C", "data P C", "removed", "open-error P E PATH"
    QByteArray Taken[8];                 // what the data handler took with ReadData, by pipe
    bool TakeData = true;
    std::function<void(int Pipe)> OnData;  // runs inside the data handler, after the take
};
