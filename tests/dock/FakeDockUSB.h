#pragma once
// A dock's USB device played by the test: the devices on the "bus", what the
// dock wrote to each pipe, and the dock's answers delivered on its input
// pipes, as the USB layer delivers them on the main thread.

#include "dock/DockUSBDevice.h"

#include <QList>
#include <QMap>
#include <QTimer>
#include <functional>

class TFakeDockUSB : public QObject, public TDockUSBDevice {
public:
    void SetDeviceType(TDockFamily Type) override { DeviceType = Type; }
    QString DeviceName() const override { return Name; }
    void SetDeviceName(const QString& Value) override { Name = Value; }
    QStringList RefreshDeviceList() override { return Bus; }
    // A device that connects and lets go at once.
    void Connect(std::function<void(bool)> Done) override
    {
        ++Connects;
        Connected = !Name.isEmpty();
        HaltedFlag = Connected;
        Done(Connected);
    }
    void Disconnect(std::function<void()> Done) override
    {
        ++Disconnects;
        Connected = false;
        Done();
    }
    bool IsConnected() const override { return Connected; }
    bool Halted() const override { return HaltedFlag; }
    void SetHalted(bool Value) override { HaltedFlag = Value; }
    QByteArray ReadData(int Pipe) override { return Input.take(Pipe); }
    int QueueData(int Pipe, const QByteArray& Data) override
    {
        if (!Connected)
            return -1;
        Written << qMakePair(Pipe, Data);
        if (Pipe == 3 && Answer)
            Deliver(2, Answer(Data));
        return int(Data.size());
    }

    // Bytes arriving on an input pipe, announced from the event loop.
    void Deliver(int Pipe, const QByteArray& Data)
    {
        if (Data.isEmpty())
            return;
        QTimer::singleShot(0, this, [this, Pipe, Data] {
            Input[Pipe] += Data;
            OnPipeData(this, Pipe, int(Input[Pipe].size()));
        });
    }
    // The device leaves the bus: the USB layer reports it, then closes the pipes.
    void Remove()
    {
        OnDeviceRemoved(this);
        Connected = false;
    }
    // The texts written to one pipe.
    QList<QByteArray> Pipe(int Number) const
    {
        QList<QByteArray> texts;
        for (const auto& [pipe, data] : Written)
            if (pipe == Number)
                texts << data;
        return texts;
    }

    // The dock's answer on the control pipe to each control text (none when empty).
    std::function<QByteArray(const QByteArray& Command)> Answer;
    QStringList Bus;
    QString Name;
    TDockFamily DeviceType = TDockFamily::tpKeloExpress;
    bool Connected = false;
    bool HaltedFlag = false;
    int Connects = 0;
    int Disconnects = 0;
    QList<QPair<int, QByteArray>> Written;
    QMap<int, QByteArray> Input;
};
