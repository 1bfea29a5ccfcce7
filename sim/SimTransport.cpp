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

// Printable bytes as they are, the others as \xHH.
QString shown(const QByteArray& bytes)
{
    QString text;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += (byte >= 0x20 && byte < 0x7F) ? QString(QLatin1Char(c))
                                              : QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}
