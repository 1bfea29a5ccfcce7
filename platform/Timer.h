#pragma once
// A periodic timer with the rules of the original component model:
//  - an interval of 0 never fires (a plain QTimer with 0 would fire at once);
//  - setting Enabled true on a running timer does not restart it;
//  - Restart() (arming) always starts the interval again from zero;
//  - changing the interval of a running timer restarts it with the new interval.

#include "platform/Events.h"

#include <QObject>
#include <QTimer>

class TTimer : public QObject {
public:
    explicit TTimer(QObject* Owner = nullptr);

    int Interval() const { return FInterval; }
    void SetInterval(int Milliseconds);

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);

    // Arms the timer: enabled, counting from zero.
    void Restart();

    // True when the timer will actually fire (enabled with a positive interval).
    bool Running() const { return FTimer.isActive(); }
    // Milliseconds until the next expiry; -1 when not running.
    int RemainingMs() const { return FTimer.remainingTime(); }

    // Runs the handler as an expiry would; tests drive long time-outs with it.
    void Fire();

    TNotifyEvent OnTimer;

private:
    void UpdateTimer();

    QTimer FTimer;
    int FInterval = 1000;
    bool FEnabled = false;
};
