#include "usb/USBPlatform.h"

#include "usb/LibUsbPlatform.h"
#include "usb/RemoteSimUsb.h"

namespace {

std::unique_ptr<TUSBPlatform>& Installed()
{
    static std::unique_ptr<TUSBPlatform> platform;
    return platform;
}

}  // namespace

TUSBPlatform& UsbPlatform()
{
    auto& platform = Installed();
    if (!platform) {
        const QString simulated = qEnvironmentVariable("KT4_USB_SIM");
        if (simulated.isEmpty())
            platform = std::make_unique<TLibUsbPlatform>();
        else
            platform = std::make_unique<TRemoteSimUsb>(simulated);
    }
    return *platform;
}

std::unique_ptr<TUSBPlatform> SetUsbPlatform(std::unique_ptr<TUSBPlatform> Platform)
{
    std::swap(Installed(), Platform);
    return Platform;
}
