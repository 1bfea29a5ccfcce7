#include "dock/CorvaneKelo6Dock.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int GasReadingSize = 14;

}  // namespace

std::optional<quint16> ParseHex4(const QByteArray& Text)
{
    if (Text.size() != 4)
        return std::nullopt;
    quint16 value = 0;
    for (const char c : Text) {
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0)
            return std::nullopt;
        value = quint16(value * 16 + digit);
    }
    return value;
}

TDockDescription TCorvaneKelo6Dock::Kelo6Description()
{
    TDockDescription d;
    d.ControlPort = QStringLiteral("5004");
    d.DataPort = QStringLiteral("5005");
    d.DeviceType = TDockFamily::tpCorvaneKelo6;
    d.PumpOffCommand = PumpCommand(0, 0);
    d.DebugRcvUserData = true;
    return d;
}

TCorvaneKelo6Dock::TCorvaneKelo6Dock(QObject* Owner) : TKeloDock(Kelo6Description(), Owner)
{
    DefineEvents({
        ByteStateRule('3', this, FTestResult, OnTestCompleted),
        ByteStateRule('7', this, FDockState, OnStateChange),
        {'9', GasReadingSize, false, true,
         [this](const QByteArray& P) {
             TGasReading reading{};
             std::memcpy(reading.data(), P.constData(), reading.size());
             OnGotGasReading(this, reading);
         }},
        {'A', 1, false, false,
         [this](const QByteArray& P) {
             if (P.at(0) >= '0' && P.at(0) <= '9')
                 OnDeviceInserted(this, TInstState(P.at(0) - '0'));
         }},
        {'B', 2, false, false,
         [this](const QByteArray& P) {
             FSpanCause = TSpanCalDueTo(quint8(P.at(0)));
             FSpanSensors = TSensorFlags(P.at(1));
             OnSpanCalibration(this, FSpanCause, FSpanSensors);
         }},
        {'E', 5, false, false, [this](const QByteArray& P) { BatteryEvent(P); }},
    });
}

// "C" charging or "D" charged, then the voltage in four hexadecimal digits.
// Anything else is not a battery report: no event, and the rest of the chunk
// is read on.
void TCorvaneKelo6Dock::BatteryEvent(const QByteArray& Payload)
{
    const char state = Payload.at(0);
    const std::optional<quint16> voltage = ParseHex4(Payload.mid(1, 4));
    if ((state != 'C' && state != 'D') || !voltage)
        return;
    OnBatteryStatus(this, state == 'C', state == 'D', *voltage);
}

QByteArray TCorvaneKelo6Dock::PumpCommand(int Level, int Extra)
{
    QByteArray command("PSS");
    command += char(std::clamp(Level, 0, 100));
    command += char(Extra);
    return command;
}

void TCorvaneKelo6Dock::QueuePump(int Level, int Extra, TDockDone Done)
{
    Queue(PumpCommand(Level, Extra), rkPlain, std::move(Done));
}

void TCorvaneKelo6Dock::SetConfigSwitch(int Index, bool Value)
{
    const quint32 bit = 1u << (31 - Index);
    FConfigFlags = Value ? FConfigFlags | bit : FConfigFlags & ~bit;
}
