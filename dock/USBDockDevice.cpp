#include "dock/USBDockDevice.h"

TUSBDockDevice::TUSBDockDevice(TUSBDevice* Device) : FDevice(Device)
{
    FDevice->OnPipeData = [this](QObject* Sender, int Pipe, int Count) { OnPipeData(Sender, Pipe, Count); };
    FDevice->OnDeviceRemoved = [this](QObject* Sender) { OnDeviceRemoved(Sender); };
}

TUSBDockDevice::~TUSBDockDevice()
{
    FDevice->OnPipeData = nullptr;
    FDevice->OnDeviceRemoved = nullptr;
}

QStringList TUSBDockDevice::RefreshDeviceList()
{
    FDevice->RefreshDeviceList();
    return FDevice->DeviceList();
}

QByteArray TUSBDockDevice::ReadData(int Pipe)
{
    TUSBPipe* pipe = Pipe >= 0 && Pipe < FDevice->PipeCount() ? FDevice->Pipes(Pipe) : nullptr;
    return pipe ? pipe->ReadData() : QByteArray();
}

int TUSBDockDevice::QueueData(int Pipe, const QByteArray& Data)
{
    TUSBPipe* pipe = Pipe >= 0 && Pipe < FDevice->PipeCount() ? FDevice->Pipes(Pipe) : nullptr;
    return pipe ? pipe->QueueData(Data) : -1;
}
