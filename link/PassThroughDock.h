#pragma once
// What the link needs of a docking station that passes the instrument's messages
// through. Every dock component offers it.

#include "platform/Events.h"

#include <QObject>
#include <functional>

using TUserData = TEvent<QObject*, const QByteArray&>;

// The dock's answer to the request to pass the instrument through.
enum class TSlaveAnswer { Passing, Busy, Refused, NoAnswer, Lost };

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

    // ---- the same without waiting (what the upgrade road uses) ----
    // Opens the dock's transport; Done(enabled) once it is up or has failed.
    virtual void Open(std::function<void(bool Enabled)> Done)
    {
        if (!Enabled())
            SetEnabled(true);
        Done(Enabled());
    }
    // Asks the dock to pass the instrument through; Done with its answer.
    virtual void RequestSlaveMode(std::function<void(TSlaveAnswer)> Done)
    {
        const bool busy = SetSlaveMode(true) && ReportsBusy();
        Done(busy ? TSlaveAnswer::Busy : TSlaveAnswer::Passing);
    }
    // Asks the dock to take the instrument back; Done once it answered, refused,
    // did not answer in time or was lost.
    virtual void RequestDisconnect(std::function<void()> Done)
    {
        DisconnectInstrument();
        Done();
    }
    // Hands instrument data to the transport without waiting for it to leave.
    virtual bool PassUserData(const QByteArray& Text) { return SendUserData(Text); }

    // The link puts the instrument's answers together itself: every received
    // chunk is passed on, the short ones of one or two bytes too.
    bool PassShortChunks = false;

    TNotifyEvent OnInstrumentConnected;
    TNotifyEvent OnInstrumentDisconnected;
    TUserData OnRcvUserData;
};
