// The USB device on the libusb back end, against a dock on an emulated bus
// (umockdev): the real libusb enumerates it, reads its descriptors, claims
// its interface with the kernel driver detached, moves bytes through its
// endpoints with the receive thread, and notices it leave and arrive.
//
// The emulated dock echoes as the simulator's test device does: what comes on
// pipe 0 goes back on pipe 1, what comes on pipe 3 on pipe 2.

#include "tests/TestSupport.h"
#include "tests/umock/EmulatedUsb.h"
#include "tests/usb/UsbTestSupport.h"
#include "usb/LibUsbPlatform.h"
#include "usb/USBPipe.h"

#include <QFileInfo>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

namespace {

TEmulatedIdentity DockIdentity()
{
    TEmulatedIdentity identity;
    identity.Vendor = 0x1209;
    identity.Product = 0x4B36;
    identity.Endpoints = {{0x01}, {0x81}, {0x82}, {0x02}};
    return identity;
}

void Echo(TEmulatedUsbDevice& Dock)
{
    Dock.OnOut = [&Dock](quint8 Endpoint, const QByteArray& Bytes) { Dock.Send(Endpoint == 0x01 ? 0x81 : 0x82, Bytes); };
}

QByteArray Pattern(int Size)
{
    QByteArray bytes;
    for (int n = 0; n < Size; ++n)
        bytes.append(char((n * 7) & 0xFF));  // zero bytes included
    return bytes;
}

// A device on the libusb back end with what it hands over recorded. The
// testbed comes first: libusb must start inside it.
class LibUsbDevice : public ::testing::Test {
protected:
    LibUsbDevice() : Dock(Testbed, DockIdentity())
    {
        Echo(Dock);
        qunsetenv("KT4_USB_SIM");
        qputenv("KT4_USB_KELO6", Dock.IdText().toLatin1());
    }
    ~LibUsbDevice() override { qunsetenv("KT4_USB_KELO6"); }

    // The platform and the device, once the bus is as the test wants it.
    void Start()
    {
        Usb = std::make_unique<TLibUsbPlatform>();
        ASSERT_TRUE(Usb->Available());
        Device = std::make_unique<TUSBDevice>(nullptr, Usb.get());
        Device->OnPipeData = [this](QObject*, int Pipe, int) { Taken[Pipe] += Device->Pipes(Pipe)->ReadData(); };
        Device->OnDeviceRemoved = [this](QObject*) { ++Removed; };
        Device->SetDeviceType(TDockFamily::tpCorvaneKelo6);
    }

    void ConnectAndRelease()
    {
        Device->SetDeviceName(Dock.DevicePath());
        ASSERT_EQ(Device->PipeCount(), 4);
        ASSERT_TRUE(ConnectAndSettle(*Device));
        Device->SetHalted(false);
    }

    // Bytes written on OutPipe come back whole on InPipe.
    void ExpectEcho(int OutPipe, int InPipe, const QByteArray& Bytes)
    {
        Taken[InPipe].clear();
        ASSERT_EQ(Device->Pipes(OutPipe)->QueueData(Bytes), Bytes.size());
        EXPECT_TRUE(WaitFor([&] { return Taken[InPipe].size() >= Bytes.size(); }, 30000));
        EXPECT_EQ(Hex(Taken[InPipe]), Hex(Bytes));
    }

    TScriptedDialogsScope Dialogs;
    TUmockTestbed Testbed;
    TEmulatedUsbDevice Dock;
    std::unique_ptr<TLibUsbPlatform> Usb;
    std::unique_ptr<TUSBDevice> Device;  // goes before the platform
    QByteArray Taken[8];
    int Removed = 0;
};

}  // namespace

TEST_F(LibUsbDevice, TheDockIsFoundOpenedServedAndLetGo)
{
    Dock.Plug();
    Start();
    EXPECT_EQ(Device->DeviceList(), QStringList({Dock.DevicePath()}));
    Device->SetDeviceName(Dock.DevicePath());
    ASSERT_EQ(Device->PipeCount(), 4);
    const quint8 addresses[] = {0x01, 0x81, 0x82, 0x02};
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(Device->Pipes(n)->Endpoint().bEndpointAddress, addresses[n]);
        EXPECT_EQ(Device->Pipes(n)->Endpoint().wMaxPacketSize, 64);
        EXPECT_EQ(Device->Pipes(n)->PipePath(), Dock.DevicePath() + QString("\\\\PIPE0%1").arg(n));
    }
    EXPECT_GE(Dock.Requests(USBDEVFS_SUBMITURB), 1) << "the configuration is asked of the device itself";

    ASSERT_TRUE(ConnectAndSettle(*Device));
    EXPECT_TRUE(Dock.Claimed());
    EXPECT_EQ(Dock.Requests(USBDEVFS_DISCONNECT_CLAIM), 1) << "claimed once, a kernel driver detached";
    Device->SetHalted(false);
    ExpectEcho(0, 1, Pattern(150));
    ExpectEcho(3, 2, "ENQ0");
    ExpectEcho(0, 1, Pattern(2000));

    EXPECT_TRUE(DisconnectAndWait(*Device));
    EXPECT_FALSE(Device->IsConnected());
    EXPECT_TRUE(Device->Halted());
    EXPECT_TRUE(WaitFor([&] { return !Dock.Claimed(); }));
    EXPECT_EQ(Dock.Requests(USBDEVFS_DISCARDURB), 2) << "the two pending IN transfers cancelled";
    EXPECT_EQ(Removed, 0);
    EXPECT_TRUE(Dialogs->Texts().isEmpty()) << Dialogs->Texts().join('|').toStdString();
}

// Pulled while its IN transfers wait: the pending transfers fail with "no
// device", the device is told removed once and closes.
TEST_F(LibUsbDevice, APulledDockEndsTheConnectionOnce)
{
    Dock.Plug();
    Start();
    ConnectAndRelease();
    ExpectEcho(3, 2, "ENQ0");

    Dock.Pull();
    EXPECT_TRUE(WaitFor([&] { return Removed > 0 && !Device->IsConnected(); }, 30000));
    EXPECT_EQ(Removed, 1);
    EXPECT_TRUE(Device->Halted());
    Device->RefreshDeviceList();
    EXPECT_TRUE(Device->DeviceList().isEmpty());
    EXPECT_EQ(Device->Pipes(3)->QueueData("ENQ1", 4), -1);
    EXPECT_EQ(Dialogs->Texts(), QStringList({"Pipe 3 not open!"}));
}

// libusb started on a bus without the dock learns of it from the "add"
// uevent; a testbed let go leaves nothing behind.
TEST_F(LibUsbDevice, ADockPluggedInAfterStartUpIsFoundAndServed)
{
    Start();
    EXPECT_TRUE(Device->DeviceList().isEmpty());
    Dock.Plug();
    EXPECT_TRUE(WaitFor([&] {
        Device->RefreshDeviceList();
        return !Device->DeviceList().isEmpty();
    }, 30000));
    EXPECT_EQ(Device->DeviceList(), QStringList({Dock.DevicePath()}));
    ConnectAndRelease();
    ExpectEcho(3, 2, "ENQ0");
    ExpectEcho(0, 1, Pattern(300));
}

TEST(LibUsbTestbed, IsLetGoWithItsDirectory)
{
    QString root;
    {
        TUmockTestbed testbed;
        root = testbed.RootDir();
        TEmulatedUsbDevice dock(testbed, DockIdentity());
        dock.Plug();
        EXPECT_TRUE(QFileInfo(root + "/dev/bus/usb/001/002").exists());
    }
    EXPECT_FALSE(root.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(root));
}
