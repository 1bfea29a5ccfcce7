// The libusb back end, as far as a machine without a dock allows: the ID
// lists and device paths, and a device that lists nothing and opens nothing.

#include "tests/usb/UsbTestSupport.h"
#include "usb/LibUsbPlatform.h"

#include <cerrno>

TEST(LibUsbPlatformTest, IdListsAreVendorProductPairsInHex)
{
    const struct {
        const char* Text;
        std::vector<TUsbId> Ids;
        QStringList Rejected;
    } cases[] = {
        {"", {}, {}},
        {"1234:5678", {{0x1234, 0x5678}}, {}},
        {" 1234:5678, abcd:EF01 ;1234:5678", {{0x1234, 0x5678}, {0xABCD, 0xEF01}}, {}},
        {"12345:678,0x12:0x34,1234,xyzw:0001,04d8:000a", {{0x04D8, 0x000A}}, {"12345:678", "0x12:0x34", "1234", "xyzw:0001"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        QStringList rejected;
        EXPECT_EQ(TLibUsbPlatform::ParseIdList(c.Text, &rejected), c.Ids);
        EXPECT_EQ(rejected, c.Rejected);
    }
}

TEST(LibUsbPlatformTest, FamiliesHaveTheirVariablesAndPathsNameThePort)
{
    EXPECT_EQ(TLibUsbPlatform::IdVariable(GuidCorvaneKelo6), "KT4_USB_KELO6");
    EXPECT_EQ(TLibUsbPlatform::IdVariable(GuidKeloExpress), "KT4_USB_KELOEXPRESS");
    EXPECT_EQ(TLibUsbPlatform::IdVariable(GuidMPKeloExpress), "KT4_USB_MPKELOEXPRESS");
    EXPECT_EQ(TLibUsbPlatform::IdVariable(GuidMirtal), "KT4_USB_MIRTAL");
    EXPECT_EQ(TLibUsbPlatform::IdVariable(TGUID{}), "");
    EXPECT_EQ(TLibUsbPlatform::DevicePath(1, {4, 2}, {0x1234, 0xABCD}), "usb:1-4.2:1234:abcd");
    EXPECT_EQ(TLibUsbPlatform::DevicePath(3, {}, {0x0001, 0x0002}), "usb:3-0:0001:0002");
}

// IDs no device on this machine has: the family lists nothing, and a device
// path that is not there cannot be opened.
TEST(LibUsbPlatformTest, AFamilyWithoutItsDockListsNothingAndOpensNothing)
{
    TScriptedDialogsScope dialogs;
    qputenv("KT4_USB_KELO6", "fffe:fffd");
    TLibUsbPlatform usb;
    {
        TUSBDevice device(nullptr, &usb);
        device.SetDeviceType(TDockFamily::tpCorvaneKelo6);
        EXPECT_TRUE(device.DeviceList().isEmpty());
        device.SetDeviceName("usb:1-1:fffe:fffd");
        EXPECT_EQ(device.PipeCount(), 0);
    }
    int error = 0;
    EXPECT_EQ(usb.OpenPipe("usb:1-1:fffe:fffd", 0, error), -1);
    EXPECT_EQ(error, ENODEV);
    qunsetenv("KT4_USB_KELO6");
    EXPECT_EQ(dialogs->Texts(), QStringList({"Failed to open device", "Device Info not found!"}));
}
