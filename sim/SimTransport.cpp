#include "sim/SimTransport.h"

namespace {

constexpr int DrainCheckMs = 5;

} // namespace

SimTransport::SimTransport(QObject* parent) : QObject(parent)
{
    m_drainTimer.setInterval(DrainCheckMs);
    connect(&m_drainTimer, &QTimer::timeout, this, &SimTransport::checkDrained);
}

void SimTransport::closeWhenDrained(int maxWaitMs)
{
    goingAway();
    m_drainChecksLeft = qMax(1, maxWaitMs / DrainCheckMs);
    m_drainTimer.start();
}

void SimTransport::checkDrained()
{
    if (utilityHasUnreadBytes() && --m_drainChecksLeft > 0) {
        return;
    }
    m_drainTimer.stop();
    closeAll();
    emit closed();
}
