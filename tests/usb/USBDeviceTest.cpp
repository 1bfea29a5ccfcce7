// The USB device on the in-process stack: its states, its device list and
// descriptors, its pipes and every message it shows.

#include "tests/usb/UsbTestSupport.h"

#include <cerrno>

namespace {

QByteArray Bytes(std::initializer_list<int> Values)
{
    QByteArray bytes;
    for (int v : Values)
        bytes += char(v);
    return bytes;
}

// A configuration descriptor: its header (with the given total length), then Rest.
QByteArray Configuration(const QByteArray& Rest, int TotalLength = -1)
{
    const int total = TotalLength < 0 ? 9 + Rest.size() : TotalLength;
    return Bytes({9, 2, total & 0xFF, total >> 8, 1, 1, 0, 0x80, 50}) + Rest;
}

QByteArray Interface(int Number, int EndpointCount)
{
    return Bytes({9, 4, Number, 0, EndpointCount, 0xFF, 0, 0, 0});
}

QByteArray EndpointBytes(std::initializer_list<quint8> Addresses)
{
    QByteArray bytes;
    for (const TEndpointDescriptor& e : Endpoints(Addresses))
        bytes += e.Bytes();
    return bytes;
}

}  // namespace

using USBDeviceTest = TUsbDeviceTest;

TEST_F(USBDeviceTest, WalksNoPipesReadyConnectedRunningStoppingAndBack)
{
    EXPECT_FALSE(Device->Disconnect());  // not connected: at once, flags untouched
    EXPECT_FALSE(Device->Halted());
    EXPECT_FALSE(Device->Connect());     // no pipes
    EXPECT_EQ(Device->PipeCount(), 0);

    Plug(BuildConfiguration(DockEndpoints()));
    Device->SetDeviceType(tpCorvaneKelo6);
    Device->SetDeviceName(Path);  // pipes ready
    ASSERT_EQ(Device->PipeCount(), 4);
    EXPECT_FALSE(Device->IsConnected());
    EXPECT_FALSE(Device->Pipes(0)->IsOpen());

    EXPECT_TRUE(Device->Connect());  // connected, halted
    EXPECT_TRUE(Device->IsConnected());
    EXPECT_TRUE(Device->Halted());
    EXPECT_EQ(Stack.OpenPipes(), 4);
    Stack.SendIn(Path, 1, "held");
    EXPECT_TRUE(Device->Connect());  // already connected

    Device->SetHalted(false);  // running: what was held arrives
    ASSERT_TRUE(WaitFor([&] { return Taken[1] == "held"; }));

    EXPECT_FALSE(Device->Disconnect());  // stopping, then pipes ready again
    EXPECT_FALSE(Device->IsConnected());
    EXPECT_TRUE(Device->Halted());
    EXPECT_TRUE(WaitFor([&] { return Stack.OpenPipes() == 0; }));  // the thread closes them after the flags
    EXPECT_EQ(Device->PipeCount(), 4);
    EXPECT_EQ(Dialogs->Texts(), QStringList({"Device has no pipes!", "UsBDevice already Connected!"}));
    EXPECT_EQ(Events, QStringList({"debug 1 4", "data 1 4"}));
}

// Setting DeviceName to a device: the pipes it gets, or the messages and the
// four pipes of the device named before.
TEST_F(USBDeviceTest, DescriptorsDecideThePipes)
{
    const QString permission = "Failed to open device\nusb:x: permission denied. Install the udev rule "
                               "70-kt4-docks.rules for the dock's IDs (see \"USB docks on Linux\" in the README).";
    struct TCase {
        const char* Name;
        QByteArray Descriptor;
        int OpenError = 0;
        bool RequestFails = false;
        std::vector<quint8> Addresses;  // of the pipes afterwards
        QStringList Messages;
    } cases[] = {
        {"7 endpoints", BuildConfiguration(Endpoints({1, 0x81, 2, 0x82, 3, 0x83, 4})), 0, false,
         {1, 0x81, 2, 0x82, 3, 0x83, 4}, {}},
        {"8 endpoints", BuildConfiguration(Endpoints({1, 0x81, 2, 0x82, 3, 0x83, 4, 0x84})), 0, false,
         {1, 0x81, 0x82, 2}, {"Error too many pipes!"}},
        {"length 0 ends the walk", Configuration(Interface(0, 3) + EndpointBytes({5}) + Bytes({0, 5}) + EndpointBytes({6, 7})),
         0, false, {5}, {}},
        {"total length past the bytes", Configuration(Interface(0, 3) + EndpointBytes({5, 0x86}), 300), 0, false,
         {5, 0x86}, {}},
        {"second interface", Configuration(Interface(0, 1) + EndpointBytes({5}) + Interface(1, 2) + EndpointBytes({6, 7})),
         0, false, {5}, {}},
        {"class descriptor between", Configuration(Interface(0, 2) + Bytes({5, 0x24, 0, 1, 2}) + EndpointBytes({5, 0x86})),
         0, false, {5, 0x86}, {}},
        {"cannot be opened", QByteArray(), ENOENT, false, {1, 0x81, 0x82, 2},
         {"Failed to open device", "Device Info not found!"}},
        {"permission denied", QByteArray(), EACCES, false, {1, 0x81, 0x82, 2}, {permission, "Device Info not found!"}},
        {"no answer", QByteArray(), 0, true, {1, 0x81, 0x82, 2}, {"Device Info not found!"}},
    };
    Plug(BuildConfiguration(DockEndpoints()));
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Device->SetDeviceName(Path);
        Stack.Unplug("usb:x");
        Stack.AddDevice({"usb:x", GuidCorvaneKelo6, c.Descriptor, c.OpenError, c.RequestFails});
        Dialogs->Clear();
        Device->SetDeviceName("usb:x");
        std::vector<quint8> addresses;
        for (int n = 0; n < Device->PipeCount(); ++n)
            addresses.push_back(Device->Pipes(n)->Endpoint().bEndpointAddress);
        EXPECT_EQ(addresses, c.Addresses);
        EXPECT_EQ(Dialogs->Texts(), c.Messages);
        EXPECT_EQ(Device->DeviceName(), "usb:x");
    }
}

TEST_F(USBDeviceTest, PipesAreNamedAfterTheDevicePathAndKnowTheirDirection)
{
    Plug(BuildConfiguration(Endpoints({1, 0x81, 2, 0x82, 3, 0x83, 0x0C})));
    Device->SetDeviceName(Path);
    ASSERT_EQ(Device->PipeCount(), 7);
    for (int n = 0; n < 7; ++n) {
        EXPECT_EQ(Device->Pipes(n)->PipePath(), Path + "\\\\PIPE0" + QString::number(n));
        EXPECT_EQ(Device->Pipes(n)->PipeNumber(), n);
        EXPECT_EQ(Device->Pipes(n)->IsInput(), n % 2 == 1);
    }
    Device->Pipes(6)->SetPipeNumber(0x0C);
    EXPECT_EQ(Device->Pipes(6)->PipePath(), Path + "\\\\PIPE0C");
}

TEST_F(USBDeviceTest, ReceiveBufferSizeKeepsTheCountAndSetsEveryPipe)
{
    EXPECT_EQ(Device->ReceiveBufferSize(), szAuto);  // a new device holds 8
    Plug(BuildConfiguration(DockEndpoints(32)));
    Device->SetDeviceName(Path);
    EXPECT_EQ(Device->Pipes(0)->PacketSize(), 8);
    for (TPacketSize size : {sz64, sz128, sz256, sz512, sz1024}) {
        Device->SetReceiveBufferSize(size);
        EXPECT_EQ(Device->ReceiveBufferSize(), size);
        EXPECT_EQ(Device->Pipes(3)->PacketSize(), 32 << size);
    }
    Device->SetReceiveBufferSize(szAuto);
    EXPECT_EQ(Device->ReceiveBufferSize(), szAuto);
    EXPECT_EQ(Device->Pipes(1)->PacketSize(), 32);  // the endpoint's own
}

TEST_F(USBDeviceTest, DeviceTypeSelectsTheClassAndListsItsDevices)
{
    Stack.AddDevice({"usb:kelo6", GuidCorvaneKelo6, {}});
    Stack.AddDevice({"usb:express", GuidKeloExpress, {}});
    Stack.AddDevice({"usb:mp", GuidMPKeloExpress, {}});
    const struct {
        TDeviceType Type;
        QStringList List;
    } cases[] = {{tpKeloExpress, {"usb:express"}}, {tpMPKeloExpress, {"usb:mp"}}, {tpMirtal, {}}, {tpCorvaneKelo6, {"usb:kelo6"}}};
    for (const auto& c : cases) {
        Device->SetDeviceType(c.Type);
        EXPECT_EQ(Device->DeviceList(), c.List);
    }
    EXPECT_EQ(Device->InterfaceGuid().Bytes().toHex(), "fa37a0d91442734a8055cd99edded50d");
    EXPECT_EQ(GuidCorvaneKelo6.ToString(), "{D9A037FA-4214-4A73-8055-CD99EDDED50D}");
    EXPECT_EQ(GuidMPKeloExpress.ToString(), "{0F690300-54BE-11D9-A041-0030BD035F12}");

    Device->SetDeviceType(TDeviceType(7));  // stored, nothing else changes
    EXPECT_EQ(Device->DeviceType(), 7);
    EXPECT_EQ(Device->InterfaceGuid(), GuidCorvaneKelo6);
    EXPECT_EQ(Device->DeviceList(), QStringList{"usb:kelo6"});
}

TEST_F(USBDeviceTest, ConnectWithAPipeThatCannotOpenNamesItAndOpensOnlyTheRestLater)
{
    Plug(BuildConfiguration(DockEndpoints()));
    Stack.SetPipeOpenError(Path, 2, EBUSY);
    Device->SetDeviceName(Path);
    EXPECT_FALSE(Device->Connect());
    EXPECT_FALSE(Device->IsConnected());
    EXPECT_EQ(Events, QStringList{QString("open-error 2 %1 %2\\\\PIPE02").arg(EBUSY).arg(Path)});
    EXPECT_EQ(Stack.OpenPipes(), 3);
    EXPECT_EQ(Device->Pipes(1)->WriteData("x"), -1);  // an IN endpoint sends nothing

    Stack.SetPipeOpenError(Path, 2, 0);
    const int callsBefore = int(Stack.Calls().size());
    EXPECT_TRUE(Device->Connect());
    EXPECT_EQ(Stack.Calls().mid(callsBefore).filter("open "), QStringList{"open " + Path + " 2"});
    EXPECT_EQ(Device->Pipes(0)->WriteData("abc", 3), 3);
    Device->Disconnect();
    EXPECT_EQ(Device->Pipes(3)->WriteData("abc", 3), -1);
    EXPECT_EQ(Dialogs->Texts(), QStringList{"Pipe 3 not open!"});
}
