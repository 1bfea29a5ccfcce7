// A USB device's configuration descriptor, as a dock (or anything claiming to
// be one) hands it over: the walk, and the device building its pipes from it
// on an in-process USB stack.

#include "fuzz/FuzzSupport.h"
#include "usb/SimulatedUsb.h"
#include "usb/USBPipe.h"

namespace {

TSimulatedUsb* Stack = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzInitialise(argc, argv);
    auto stack = std::make_unique<TSimulatedUsb>();
    Stack = stack.get();
    SetUsbPlatform(std::move(stack));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const QByteArray descriptor(reinterpret_cast<const char*>(Data), qsizetype(Size));
    const TConfigurationLayout layout = WalkConfiguration(descriptor);
    if (int(layout.Endpoints.size()) > qMax(0, layout.DeclaredEndpoints()))
        __builtin_trap();  // more pipes than the interface declares

    static int serial = 0;
    const QString path = QString("usb:fuzz-%1").arg(++serial);
    TSimulatedUsb::TDevice device;
    device.Path = path;
    device.Class = GuidCorvaneKelo6;
    device.Descriptor = descriptor;
    Stack->AddDevice(device);
    {
        TUSBDevice usb;
        usb.SetDeviceType(TDockFamily::tpCorvaneKelo6);
        usb.RefreshDeviceList();
        usb.SetDeviceName(path);
        if (usb.PipeCount() > TUSBDevice::MaxPipes)
            __builtin_trap();
    }
    Stack->Unplug(path);
    FuzzProcessEvents();
    return 0;
}
