#pragma once
// What the link needs of a docking station that passes the instrument's messages
// through. Every dock component offers it.

#include "platform/Events.h"

#include <QObject>

using TUserData = TEvent<QObject*, const QByteArray&>;

class TPassThroughDock {
public:
    virtual ~TPassThroughDock() = default;

    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool Value) = 0;

    // The dock's USB device, when it has one, and that device's Halted flag.
    virtual bool HasUSBDevice() const = 0;
    virtual void SetUSBDeviceHalted(bool Value) = 0;

    // Asks the dock to pass the instrument through; true while the dock is busy.
    virtual bool SetSlaveMode(bool Value) = 0;
    // Whether the link repeats SetSlaveMode while the dock reports busy (the
    // multi-port dock reports no busy state and is asked once).
    virtual bool ReportsBusy() const { return true; }

    // True when the data was handed to the dock's transport.
    virtual bool SendUserData(const QByteArray& Text) = 0;
    // True when the dock acknowledged.
    virtual bool DisconnectInstrument() = 0;

    // A command of the dock's own is waiting for its answer: a new one now
    // would be refused.
    virtual bool CommandPending() const { return false; }

    TNotifyEvent OnInstrumentConnected;
    TNotifyEvent OnInstrumentDisconnected;
    TUserData OnRcvUserData;
};
