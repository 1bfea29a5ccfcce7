#include "dock/KeloExpressDock.h"

#include "platform/Dialogs.h"

namespace {

constexpr int PipeControlOut = 3;

const QString textUsbHalted = QStringLiteral("Cant Send, USB Halted!, Restarting.");
const QString textUsbNotEnabled = QStringLiteral("Send Error, USB Dock not Enabled!");
const QString textTcpControl = QStringLiteral("Error sending control data on TCP!");

}  // namespace

TDockDescription TKeloExpressDock::ExpressDescription()
{
    TDockDescription d;
    d.ControlPort = QStringLiteral("5000");
    d.DataPort = QStringLiteral("5001");
    d.DeviceType = TDockFamily::tpKeloExpress;
    d.DebugRcvUserData = false;
    d.TransportWaitMs = TransportWaitMs;
    d.ClosesGracefully = true;
    return d;
}

TKeloExpressDock::TKeloExpressDock(QObject* Owner) : TKeloDock(ExpressDescription(), Owner)
{
    DefineEvents({
        ByteStateRule('3', this, FTestResult, OnTestCompleted),
        ByteStateRule('7', this, FDockState, OnStateChange),
        // Reversed in the chunk, the two bytes are the reading little-endian.
        {'9', 2, false, true,
         [this](const QByteArray& P) { OnGotGasReading(this, qint16(quint8(P.at(0)) | quint8(P.at(1)) << 8)); }},
        {'B', 1, false, false,
         [this](const QByteArray& P) {
             FSpanCause = TSpanCalDueTo(quint8(P.at(0)));
             OnSpanCalibration(this, FSpanCause);
         }},
        {'E', 2, false, false,
         [this](const QByteArray& P) { OnAudioTest(this, quint8(P.at(0)), quint8(P.at(1))); }},
    });
}

bool TKeloExpressDock::SendControlData(const QByteArray& Text)
{
    OnDebugSndControlData(this, Text);
    return USBDevice() != nullptr ? SendOverUsb(Text) : SendOverNetwork(Text);
}

// A halted device is told so and restarted; the text goes all the same.
bool TKeloExpressDock::SendOverUsb(const QByteArray& Text)
{
    if (!Enabled()) {
        Fail(ecDockUsbNotEnabled, textUsbNotEnabled);
        return false;
    }
    if (USBDevice()->Halted()) {
        Fail(ecDockHalted, textUsbHalted);
        USBDevice()->SetHalted(false);
    }
    return USBDevice()->QueueData(PipeControlOut, Text) >= 0;
}

bool TKeloExpressDock::SendOverNetwork(const QByteArray& Text)
{
    if (!Enabled()) {
        Fail(ecDockNotEnabled, QStringLiteral("Send Error,TCP Dock not Enabled! Destination=") + ControlSocket()->Addr()
                              + QStringLiteral(" Message=") + QString::fromLatin1(Text));
        return false;
    }
    if (ControlSocket()->SendBytes(Text) >= 0)
        return true;
    Fail(ecDockTcpControl, textTcpControl);
    return false;
}
