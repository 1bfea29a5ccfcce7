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

    // The dock's USB device, when it has one, and that device's Halted flag.
    virtual bool HasUSBDevice() const = 0;
    virtual void SetUSBDeviceHalted(bool Value) = 0;

    // Nothing here waits: each request ends with its Done.
    // Opens the dock's transport; Done(enabled) once it is up or has failed.
    virtual void Open(std::function<void(bool Enabled)> Done) = 0;
    // Closes the dock's transport; Done once it is closed. An opening under
    // way ends, not enabled.
    virtual void Close(std::function<void()> Done) = 0;
    // Asks the dock to pass the instrument through; Done with its answer.
    virtual void RequestSlaveMode(std::function<void(TSlaveAnswer)> Done) = 0;
    // Asks the dock to take the instrument back; Done once it answered, refused,
    // did not answer in time or was lost.
    virtual void RequestDisconnect(std::function<void()> Done) = 0;
    // Hands instrument data to the transport without waiting for it to leave:
    // true when it was taken.
    virtual bool PassUserData(const QByteArray& Text) = 0;

    // The link puts the instrument's answers together itself: every received
    // chunk is passed on, the short ones of one or two bytes too.
    bool PassShortChunks = false;

    TNotifyEvent OnInstrumentConnected;
    TNotifyEvent OnInstrumentDisconnected;
    TUserData OnRcvUserData;
};
