// The whole upgrade through a dock on the USB bus on the libusb back end:
// kt4-flash --dock usb, as a user runs it, against the simulated Kelo6 dock
// and instrument (kt4-sim --dock kelo6 --usb DIR) put behind a dock on an
// emulated bus. kt4-flash inherits the testbed and finds the dock by the IDs
// in KT4_USB_KELO6; nothing simulated is named to it.

#include "tests/app/SimProcess.h"
#include "tests/umock/SimUsbBridge.h"

#include <QFile>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

namespace {

const QString Completed = "Flash Upload Completed";
constexpr int FirstFlashAddress = 66 * 256;  // the pages the upload writes start here
constexpr quint16 Vendor = 0x1209;
constexpr quint16 Product = 0x4B34;

QByteArray UploadedPart(const QByteArray& Image)
{
    return Image.mid(FirstFlashAddress);
}

QByteArray ReadFile(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct TUpgrade {
    TFlashRun Run;
    QByteArray Flash;
    QByteArray Image;
    QByteArray SimLog;
    int Claims = 0;
    bool ClaimedAtEnd = true;
};

TUpgrade UpgradeThroughTheEmulatedDock(const QStringList& SimOptions)
{
    qunsetenv("KT4_USB_SIM");
    TUmockTestbed testbed;  // before any libusb starts: kt4-flash inherits it
    TSimProcess sim(SimOptions, TSimProcess::InUsbDock);
    TUpgrade upgrade;
    const QString image = sim.MakeImage();
    {
        TSimUsbBridge dock(testbed, sim.UsbDir(), Vendor, Product);
        upgrade.Run = RunFlash({image, "--dock", "usb", "--yes", "--answer-timeout-ms=500"},
                               {"KT4_USB_KELO6=" + dock.Device().IdText()});
        upgrade.Claims = dock.Device().Requests(USBDEVFS_DISCONNECT_CLAIM);
        upgrade.ClaimedAtEnd = dock.Device().Claimed();
    }
    sim.Stop();
    upgrade.SimLog = sim.Log();
    upgrade.Flash = sim.Flash();
    upgrade.Image = ReadFile(image);
    return upgrade;
}

}  // namespace

TEST(LibUsbUpgrade, ThroughTheDockOnLibusbByteForByte)
{
    const TUpgrade upgrade = UpgradeThroughTheEmulatedDock({});
    EXPECT_EQ(upgrade.Run.ExitCode, 0) << upgrade.Run.Output.toStdString();
    EXPECT_EQ(upgrade.Run.Output.count(Completed), 1);
    EXPECT_EQ(UploadedPart(upgrade.Flash), UploadedPart(upgrade.Image));
    EXPECT_TRUE(upgrade.SimLog.contains("[KT4   446/446   ]")) << "the progress on the dock's display";
    EXPECT_TRUE(upgrade.SimLog.contains("pump level 0"));
    EXPECT_TRUE(upgrade.SimLog.contains("LCD [                ][                ][ Insert KT4     ][   To FLASH     ]"))
        << "handed back with its first two lines blank";
    EXPECT_GE(upgrade.Claims, 1) << "the interface claimed with the kernel driver detached";
    EXPECT_FALSE(upgrade.ClaimedAtEnd) << "the interface released at the end";
}

// The dock leaves the bus at page 200: a "remove" uevent, the pending
// transfers fail with "no device".
TEST(LibUsbUpgrade, ADockPulledMidUploadIsAFailure)
{
    const TUpgrade upgrade = UpgradeThroughTheEmulatedDock({"--lose-after", "200"});
    EXPECT_EQ(upgrade.Run.ExitCode, 4) << upgrade.Run.Output.toStdString();
    EXPECT_FALSE(upgrade.Run.Output.contains(Completed));
    EXPECT_NE(UploadedPart(upgrade.Flash), UploadedPart(upgrade.Image));
    EXPECT_GE(upgrade.Claims, 1);
}
