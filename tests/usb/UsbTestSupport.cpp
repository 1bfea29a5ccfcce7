#include "tests/usb/UsbTestSupport.h"

std::vector<TEndpointDescriptor> Endpoints(std::initializer_list<quint8> Addresses, quint16 PacketSize)
{
    std::vector<TEndpointDescriptor> endpoints;
    for (quint8 address : Addresses) {
        TEndpointDescriptor endpoint;
        endpoint.bEndpointAddress = address;
        endpoint.wMaxPacketSize = PacketSize;
        endpoints.push_back(endpoint);
    }
    return endpoints;
}

std::vector<TEndpointDescriptor> DockEndpoints(quint16 PacketSize)
{
    return Endpoints({0x01, 0x81, 0x82, 0x02}, PacketSize);
}

TUsbDeviceTest::TUsbDeviceTest() : Device(std::make_unique<TUSBDevice>(nullptr, &Stack))
{
    Device->DebugOnPipeData = [this](QObject*, int Pipe, int Count) { Events << QString("debug %1 %2").arg(Pipe).arg(Count); };
    Device->OnPipeData = [this](QObject* Sender, int Pipe, int Count) {
        EXPECT_EQ(Sender, Device.get());
        Events << QString("data %1 %2").arg(Pipe).arg(Count);
        if (TakeData)
            Taken[Pipe] += Device->Pipes(Pipe)->ReadData();
        if (OnData)
            OnData(Pipe);
    };
    Device->OnDeviceRemoved = [this](QObject*) { Events << "removed"; };
    Device->OnOpenPipeError = [this](QObject*, int Pipe, int Error, const QString& PipePath) {
        Events << QString("open-error %1 %2 %3").arg(Pipe).arg(Error).arg(PipePath);
    };
}

void TUsbDeviceTest::Plug(const QByteArray& Descriptor, const QString& At)
{
    Stack.AddDevice({At, GuidCorvaneKelo6, Descriptor});
}

void TUsbDeviceTest::Open(const std::vector<TEndpointDescriptor>& Layout)
{
    Plug(BuildConfiguration(Layout));
    Device->SetDeviceType(TDockFamily::tpCorvaneKelo6);
    Device->SetDeviceName(Device->DeviceList().value(0));
    ASSERT_TRUE(ConnectAndSettle(*Device));
}

void TUsbDeviceTest::Run(const std::vector<TEndpointDescriptor>& Layout)
{
    Open(Layout);
    Device->SetHalted(false);
}

QList<int> TUsbDeviceTest::WriteSizes(int Index) const
{
    QList<int> sizes;
    const QString prefix = QString("write %1 %2 ").arg(Path.toLower()).arg(Index);
    for (const QString& call : Stack.Calls())
        if (call.startsWith(prefix))
            sizes << call.mid(prefix.size()).toInt();
    return sizes;
}
