#include "platform/Timer.h"

TTimer::TTimer(QObject* Owner) : QObject(Owner)
{
    FTimer.setSingleShot(false);
    FTimer.setTimerType(Qt::PreciseTimer);
    connect(&FTimer, &QTimer::timeout, this, [this] { Fire(); });
}

void TTimer::SetInterval(int Milliseconds)
{
    if (Milliseconds < 0)
        Milliseconds = 0;
    if (Milliseconds == FInterval)
        return;
    FInterval = Milliseconds;
    UpdateTimer();
}

void TTimer::SetEnabled(bool Value)
{
    if (Value == FEnabled)
        return;  // enabling a running timer keeps its phase
    FEnabled = Value;
    UpdateTimer();
}

void TTimer::Restart()
{
    FEnabled = true;
    UpdateTimer();
}

void TTimer::Fire()
{
    OnTimer(this);
}

void TTimer::UpdateTimer()
{
    FTimer.stop();
    if (FEnabled && FInterval > 0)
        FTimer.start(FInterval);
}
