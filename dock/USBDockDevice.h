#pragma once
// The USB layer's device as a dock's USB device: the few calls and events a
// dock uses, passed through one to one.

#include "dock/DockUSBDevice.h"
#include "usb/USBPipe.h"

class TUSBDockDevice : public TDockUSBDevice {
public:
    // Device is not owned and must outlive this object.
    explicit TUSBDockDevice(TUSBDevice* Device);
    ~TUSBDockDevice() override;

    TUSBDevice* Device() const { return FDevice; }

    void SetDeviceType(TDockFamily Type) override { FDevice->SetDeviceType(Type); }
    QString DeviceName() const override { return FDevice->DeviceName(); }
    void SetDeviceName(const QString& Name) override { FDevice->SetDeviceName(Name); }
    QStringList RefreshDeviceList() override;
    void Connect(std::function<void(bool Connected)> Done) override { FDevice->Connect(std::move(Done)); }
    void Disconnect(std::function<void()> Done) override { FDevice->Disconnect(std::move(Done)); }
    bool IsConnected() const override { return FDevice->IsConnected(); }
    bool Halted() const override { return FDevice->Halted(); }
    void SetHalted(bool Value) override { FDevice->SetHalted(Value); }
    QByteArray ReadData(int Pipe) override;
    int QueueData(int Pipe, const QByteArray& Data) override;

private:
    TUSBDevice* FDevice;
};
