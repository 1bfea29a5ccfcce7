#include "dock/MPKeloExpressDock.h"

#include <cstring>

TDockDescription TMPKeloExpressDock::MPExpressDescription()
{
    TDockDescription d;
    d.ControlPort = QStringLiteral("5002");
    d.DataPort = QStringLiteral("5003");
    d.DeviceType = TDockFamily::tpMPKeloExpress;
    d.DebugRcvUserData = true;
    return d;
}

TMPKeloExpressDock::TMPKeloExpressDock(QObject* Owner) : TKeloDock(MPExpressDescription(), Owner)
{
    DefineEvents({
        ByteStateRule('3', this, FTestResult, OnTestCompleted),
        ByteStateRule('7', this, FDockState, OnStateChange),
        {'9', int(std::tuple_size_v<TGasReading>), false, true,
         [this](const QByteArray& P) {
             TGasReading reading{};
             std::memcpy(reading.data(), P.constData(), reading.size());
             OnGotGasReading(this, reading);
         }},
        {'A', 0, false, false, [this](const QByteArray&) { OnDeviceInserted(this); }},
        {'B', 2, false, false,
         [this](const QByteArray& P) {
             FSpanCause = TSpanCalDueTo(quint8(P.at(0)));
             FSpanSensors = TSensorFlags(P.at(1));
             OnSpanCalibration(this, FSpanCause, FSpanSensors);
         }},
    });
}

