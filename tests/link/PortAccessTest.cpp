// What a person is told about a port: why it cannot be opened and what to do,
// the adapter behind it, and how the serial layer names it in its messages.

#include "link/ApdComPort.h"
#include "link/ComPorts.h"
#include "tests/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>

namespace {

struct TRefusal {
    const char* Name;
    int Errno;
    TDeviceFacts Facts;
    const char* Reason;  // a part of the reason
    const char* Remedy;  // a part of the remedy
};

void PrintTo(const TRefusal& Refusal, std::ostream* Os)
{
    *Os << Refusal.Name;
}

TDeviceFacts Facts(bool GroupMayUse, bool InGroupList, bool InGroupNow, QList<TPortHolder> Holders = {},
                   bool OthersHidden = false)
{
    TDeviceFacts facts;
    facts.Path = "/dev/ttyUSB0";
    facts.Group = "dialout";
    facts.GroupMayUse = GroupMayUse;
    facts.InGroupList = InGroupList;
    facts.InGroupNow = InGroupNow;
    facts.Holders = Holders;
    facts.OthersHidden = OthersHidden;
    return facts;
}

class PortRefusal : public ::testing::TestWithParam<TRefusal> {};

}  // namespace

TEST_P(PortRefusal, SaysWhyAndWhatToDo)
{
    const TRefusal& refusal = GetParam();
    TPortAccess access;
    access.MayOpen = true;
    ExplainRefusal(refusal.Errno, refusal.Facts, &access);
    EXPECT_FALSE(access.MayOpen);
    EXPECT_TRUE(access.Reason.contains(refusal.Reason)) << access.Reason.toStdString();
    EXPECT_TRUE(access.Remedy.contains(refusal.Remedy)) << access.Remedy.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    PortAccess, PortRefusal,
    ::testing::Values(
        TRefusal{"NotInTheGroup", EACCES, Facts(true, false, false),
                 "belongs to group dialout, and you are not in it", "sudo usermod -aG dialout $USER"},
        TRefusal{"AddedAfterLogin", EACCES, Facts(true, true, false), "added to group dialout after this login",
                 "log out and in again"},
        TRefusal{"ModeWithoutGroupAccess", EACCES, Facts(false, true, true), "mode lets none of your groups",
                 "ls -l /dev/ttyUSB0"},
        TRefusal{"BusyWithAKnownHolder", EBUSY, Facts(true, true, true, {{812, "ModemManager"}}),
                 "in use by ModemManager (process 812)", "`fuser -v /dev/ttyUSB0`"},
        TRefusal{"BusyAndOtherUsersHidden", EBUSY, Facts(true, true, true, {}, true), "another program",
                 "`sudo fuser -v /dev/ttyUSB0`"},
        TRefusal{"Unplugged", ENXIO, Facts(true, true, true), "does not answer", "dmesg"},
        TRefusal{"Missing", ENOENT, Facts(true, true, true), "does not exist", "/dev/serial/by-id"}),
    [](const ::testing::TestParamInfo<TRefusal>& Info) { return std::string(Info.param.Name); });

// A made-up sysfs: a USB adapter, a machine's own UART and a placeholder one.
TEST(PortAccess, AdapterIdentityFromSysfs)
{
    QTemporaryDir sys;
    const auto make = [&](const QString& Dir, const QMap<QString, QString>& Attributes = {}) {
        ASSERT_TRUE(QDir().mkpath(sys.filePath(Dir)));
        for (auto it = Attributes.begin(); it != Attributes.end(); ++it) {
            QFile f(sys.filePath(Dir + '/' + it.key()));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(it.value().toUtf8() + '\n');
        }
    };
    const auto link = [&](const QString& Target, const QString& Link) {
        ASSERT_TRUE(QFile::link(sys.filePath(Target), sys.filePath(Link)));
    };
    make("devices/usb1/1-1", {{"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"},
                              {"product", "FT232R USB UART"}, {"serial", "A50285BI"}});
    make("devices/usb1/1-1/1-1:1.0/ttyUSB0");
    make("bus/usb-serial/drivers/ftdi_sio");
    link("bus/usb-serial/drivers/ftdi_sio", "devices/usb1/1-1/1-1:1.0/ttyUSB0/driver");
    make("class/tty/ttyUSB0");
    link("devices/usb1/1-1/1-1:1.0/ttyUSB0", "class/tty/ttyUSB0/device");

    make("devices/pnp0/00:00/00:00:0/00:00:0.0");
    make("bus/serial-base/drivers/port");
    make("bus/pnp/drivers/serial");
    link("bus/serial-base/drivers/port", "devices/pnp0/00:00/00:00:0/00:00:0.0/driver");
    link("bus/pnp/drivers/serial", "devices/pnp0/00:00/driver");
    make("class/tty/ttyS1", {{"type", "4"}});
    link("devices/pnp0/00:00/00:00:0/00:00:0.0", "class/tty/ttyS1/device");
    make("class/tty/ttyS0", {{"type", "0"}});

    const TUsbIdentity usb = UsbIdentityOf("/dev/ttyUSB0", sys.path());
    EXPECT_EQ(QStringList({usb.VendorId, usb.ProductId, usb.Manufacturer, usb.Product, usb.Serial, usb.Driver}),
              QStringList({"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "ftdi_sio"}));
    EXPECT_FALSE(usb.BuiltInUart);

    const TUsbIdentity uart = UsbIdentityOf("/dev/ttyS1", sys.path());
    EXPECT_FALSE(uart.Known());
    EXPECT_TRUE(uart.BuiltInUart);
    EXPECT_EQ(uart.Driver, "serial") << "the serial core's own port driver says nothing";

    EXPECT_TRUE(IsPlaceholderPort("/dev/ttyS0", sys.path()));
    EXPECT_FALSE(IsPlaceholderPort("/dev/ttyS1", sys.path()));
    EXPECT_FALSE(IsPlaceholderPort("/dev/ttyUSB0", sys.path()));
    EXPECT_FALSE(UsbIdentityOf("/dev/pts/3", sys.path()).Known());
}

// A port given as a device is named as itself, a COM number with its device.
TEST(PortAccess, OpenErrorsNameThePortAsItWasGiven)
{
    struct TCase {
        int ComNumber;
        QString DevicePath;
        QString Named;
    };
    qputenv("KT4_COM9", "/dev/kt4-no-such-device");
    for (const TCase& c : {TCase{9, "", "serial port COM9 (/dev/kt4-no-such-device): the device does not exist"},
                           TCase{0, "/dev/kt4-no-such-device", "serial port /dev/kt4-no-such-device: the device does not exist"}}) {
        TApdComPort port;
        port.SetComNumber(c.ComNumber);
        port.SetDevicePath(c.DevicePath);
        try {
            port.SetOpen(true);
            ADD_FAILURE() << "a missing device must not open";
        } catch (const EAPDException& e) {
            EXPECT_TRUE(e.Message().contains(c.Named)) << e.what();
            EXPECT_EQ(e.Message().contains("COM0"), false) << e.what();
        }
    }
    qunsetenv("KT4_COM9");
}

// An adapter pulled out in the middle: one box that says so in plain words,
// whatever errors the vanished device raised on the way.
TEST(PortAccess, ALostDeviceIsToldOnceInPlainWords)
{
    TScriptedDialogsScope dialogs;
    auto pty = std::make_unique<TPtyPair>();
    const QString path = pty->SlavePath();
    TApdComPort port;
    port.SetDevicePath(path);
    port.OnTriggerAvail = [&](QObject*, quint16 Count) { port.GetBlock(Count); };
    port.SetOpen(true);
    port.PutString("WEP3");
    pty.reset();  // the terminal hangs up
    ASSERT_TRUE(WaitFor([&] { return !dialogs->Records().isEmpty(); }));
    EXPECT_FALSE(WaitFor([&] { return dialogs->Records().size() > 1; }, 300));
    EXPECT_EQ(dialogs->Texts(),
              QStringList({"The serial port " + path +
                           " went away: the adapter was unplugged, or the device at its other end was closed."}));
    EXPECT_EQ(dialogs->Records()[0].Type, mtError);
}
