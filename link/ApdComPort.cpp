#include "link/ApdComPort.h"

#include "link/ComPorts.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

QSerialPort::Parity ToQtParity(TParity Parity)
{
    switch (Parity) {
    case pOdd: return QSerialPort::OddParity;
    case pEven: return QSerialPort::EvenParity;
    case pMark: return QSerialPort::MarkParity;
    case pSpace: return QSerialPort::SpaceParity;
    case pNone: break;
    }
    return QSerialPort::NoParity;
}

QSerialPort::FlowControl ToQtFlow(int HWFlowOptions, TSWFlowOptions SWFlowOptions)
{
    if (HWFlowOptions & (hwfUseRTS | hwfRequireCTS))
        return QSerialPort::HardwareControl;
    if (SWFlowOptions != swfNone)
        return QSerialPort::SoftwareControl;
    return QSerialPort::NoFlowControl;
}

}  // namespace

TApdComPort::TApdComPort(QObject* Owner) : QObject(Owner)
{
    connect(&FPort, &QSerialPort::readyRead, this, [this] { DataAvailable(); });
    connect(&FPort, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { PortError(e); });
}

TApdComPort::~TApdComPort()
{
    ClosePort();
}

// ---- settings applied at once to an open port ----

void TApdComPort::SetBaud(int Value)
{
    FBaud = Value;
    if (Open())
        FPort.setBaudRate(FBaud);
}

void TApdComPort::SetParity(TParity Value)
{
    FParity = Value;
    if (Open())
        FPort.setParity(ToQtParity(FParity));
}

void TApdComPort::SetDataBits(int Value)
{
    FDataBits = Value;
    if (Open())
        FPort.setDataBits(static_cast<QSerialPort::DataBits>(FDataBits));
}

void TApdComPort::SetStopBits(int Value)
{
    FStopBits = Value;
    if (Open())
        FPort.setStopBits(FStopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
}

void TApdComPort::SetHWFlowOptions(int Value)
{
    FHWFlowOptions = Value;
    if (Open())
        FPort.setFlowControl(ToQtFlow(FHWFlowOptions, FSWFlowOptions));
}

void TApdComPort::SetSWFlowOptions(TSWFlowOptions Value)
{
    FSWFlowOptions = Value;
    if (Open())
        FPort.setFlowControl(ToQtFlow(FHWFlowOptions, FSWFlowOptions));
}

void TApdComPort::SetDTR(bool Value)
{
    FDTR = Value;
    if (Open())
        ApplyLines();
}

void TApdComPort::SetRTS(bool Value)
{
    FRTS = Value;
    if (Open())
        ApplyLines();
}

void TApdComPort::ApplySettings()
{
    FPort.setBaudRate(FBaud);
    FPort.setParity(ToQtParity(FParity));
    FPort.setDataBits(static_cast<QSerialPort::DataBits>(FDataBits));
    FPort.setStopBits(FStopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    FPort.setFlowControl(ToQtFlow(FHWFlowOptions, FSWFlowOptions));
}

void TApdComPort::ApplyLines()
{
    // Modem lines do not exist on every device (a pseudo-terminal has none); the
    // port works without them, so a refusal here is not an error.
    FPort.setDataTerminalReady(FDTR);
    if (!(FHWFlowOptions & hwfUseRTS) && FPort.flowControl() != QSerialPort::HardwareControl)
        FPort.setRequestToSend(FRTS);
    FPort.clearError();
}

// ---- open and close ----

void TApdComPort::SetOpen(bool Value)
{
    if (Value == Open())
        return;
    if (Value)
        OpenPort();
    else
        ClosePort();
}

int TApdComPort::RequirePort() const
{
    if (FComNumber == 0)
        throw EAPDException(QString("No serial port selected (error %1)").arg(ecNoPortSelected),
                            ecNoPortSelected);
    return FComNumber;
}

// A port given as a device is named as itself; a COM number with its device.
QString TApdComPort::PortTitle(const QString& Path) const
{
    if (!FDevicePath.isEmpty())
        return FDevicePath;
    return Path.isEmpty() ? QString("COM%1").arg(FComNumber) : QString("COM%1 (%2)").arg(FComNumber).arg(Path);
}

QString TApdComPort::PortTitle() const
{
    return PortTitle(FDevicePath.isEmpty() ? ComDevicePath(FComNumber) : FDevicePath);
}

void TApdComPort::RaiseOpenError(const QString& Path)
{
    // The system's own answer says why, and what the user can do about it;
    // a refusal of the port library alone (its lock) names the holder.
    const TPortAccess access = CheckPortAccess(Path);
    QString text = QString("Cannot open serial port %1: %2")
                       .arg(PortTitle(Path), access.Reason.isEmpty() ? FPort.errorString() : access.Reason);
    if (!access.Remedy.isEmpty())
        text += ".\nWhat to do: " + access.Remedy;
    throw EAPDException(text, static_cast<int>(FPort.error()));
}

void TApdComPort::OpenPort()
{
    const int number = FDevicePath.isEmpty() ? RequirePort() : FComNumber;
    const QString path = FDevicePath.isEmpty() ? ComDevicePath(number) : FDevicePath;
    if (path.isEmpty())
        throw EAPDException(QString("Serial port COM%1 does not exist").arg(number));
    FPort.setPortName(path);
    ApplySettings();
    if (!FPort.open(QIODevice::ReadWrite))
        RaiseOpenError(path);
    ApplyLines();
    if (FLogging == tlOn)
        FTrace.Start();
    OnPortOpen(this);
}

void TApdComPort::ClosePort()
{
    if (!Open())
        return;
    FShuttingDown = true;
    FPort.close();
    FTrace.Pause();
    FTrace.Clear();
    if (FLogging != tlOff)
        FLogging = tlOn;  // recording resumes at the next open
    FShuttingDown = false;
    OnPortClose(this);
}

// ---- data ----

int TApdComPort::InBuffUsed() const
{
    return Open() ? static_cast<int>(FPort.bytesAvailable()) : 0;
}

QByteArray TApdComPort::GetBlock(int Count)
{
    if (FShuttingDown || !Open() || Count <= 0)
        return QByteArray();
    const QByteArray block = FPort.read(Count);
    FTrace.AddReceived(block);
    return block;
}

void TApdComPort::PutString(const QByteArray& Text)
{
    if (FShuttingDown)
        return;
    if (!Open()) {
        FailLater(ecLinkPortWrite, QString("Serial port %1 is not open").arg(PortTitle()));
        return;
    }
    if (FPort.write(Text) != Text.size()) {
        if (DeviceGone())
            QMetaObject::invokeMethod(this, [this] { PortLost(); }, Qt::QueuedConnection);  // the loss, told once
        else
            FailLater(ecLinkPortWrite,
                      QString("Write error on serial port %1: %2").arg(PortTitle(), FPort.errorString()));
        return;
    }
    FTrace.AddSent(Text);
    FPort.flush();  // hand it to the driver now rather than at the next event loop turn
}

// Announces what waits in the input buffer until the handler has taken all of
// it: the handler reads at most 2048 bytes a call, and the port announces new
// data only when more arrives.
void TApdComPort::DataAvailable()
{
    if (FDelivering)
        return;  // a handler that processes events must not re-enter the delivery
    // Released on every way out, also when a handler throws: a guard left set
    // would make the port deaf to everything that follows.
    struct TDeliveryGuard {
        bool& Flag;
        explicit TDeliveryGuard(bool& F) : Flag(F) { Flag = true; }
        ~TDeliveryGuard() { Flag = false; }
    } guard(FDelivering);
    qint64 waiting = InBuffUsed();
    while (waiting > 0 && !FShuttingDown) {
        if (!Announce(waiting))
            return;
        const qint64 left = InBuffUsed();
        if (left >= waiting)
            break;  // nobody reads: leave it for the next announcement
        waiting = left;
    }
}

// A device that has really gone reports a hang-up or an error on its
// descriptor; a full output buffer (a write that would block) does not.
bool TApdComPort::DeviceGone() const
{
    const int fd = static_cast<int>(FPort.handle());
    if (fd < 0)
        return true;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) < 0)
        return true;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void TApdComPort::PortError(QSerialPort::SerialPortError Error)
{
    if (Error == QSerialPort::NoError || Error == QSerialPort::UnsupportedOperationError ||
        Error == QSerialPort::TimeoutError || FShuttingDown || !Open())
        return;
    if (!DeviceGone()) {
        // The port is still there (the other side is slow to read): what is
        // queued goes out as the line drains.
        FPort.clearError();
        return;
    }
    // The device went away (an adapter unplugged, the other end of a terminal
    // closed): close it outside Qt's own notification, so that the closed event
    // and the error reach the link. Every error the vanished device raises on
    // the way is the same loss, told once.
    QMetaObject::invokeMethod(this, [this] { PortLost(); }, Qt::QueuedConnection);
}

void TApdComPort::PortLost()
{
    if (!Open())
        return;
    const QString title = PortTitle();
    ClosePort();
    // What the system says at that moment ("Resource temporarily unavailable",
    // "Inappropriate ioctl for device") describes the last call, not the loss.
    RaisePortError(OnError, this,
                   {ecLinkPortLost, QString("The serial port %1 went away: the adapter was unplugged, or the device "
                                            "at its other end was closed.").arg(title)});
}

// Told from the event loop: never inside the caller's step, nor inside the
// serial port's own notification.
void TApdComPort::FailLater(int Code, const QString& Text)
{
    QMetaObject::invokeMethod(
        this, [this, Code, Text] { RaisePortError(OnError, this, {Code, Text}); }, Qt::QueuedConnection);
}

// The data-available event runs inside the serial port's own notification: an
// exception must not unwind through it (the port would stop announcing data for
// good). What the handler failed with is told as the port's error instead.
bool TApdComPort::Announce(qint64 Waiting)
{
    try {
        OnTriggerAvail(this, static_cast<quint16>(qMin<qint64>(Waiting, 0xFFFF)));
        return true;
    } catch (const std::exception& e) {
        FailLater(ecLinkDataHandler, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        FailLater(ecLinkDataHandler, "Unknown error");
    }
    return false;
}

// ---- trace ----

void TApdComPort::SetLogging(TTraceLogState Value)
{
    if (!Open()) {
        FLogging = (Value == tlOn) ? tlOn : tlOff;  // only on and off wait for the next open
        return;
    }
    ApplyLoggingWhileOpen(Value);
}

void TApdComPort::ApplyLoggingWhileOpen(TTraceLogState Value)
{
    switch (Value) {
    case tlOn:
        FTrace.Start();
        FLogging = tlOn;
        break;
    case tlDump:
    case tlAppend:
        if (!FTrace.WriteTo(FLogName, Value == tlAppend, FLogHex))
            throw EAPDException(QString("Cannot write the serial trace to %1").arg(FLogName));
        break;  // writing the log leaves recording as it was
    case tlClear:
        FTrace.Clear();
        break;
    case tlPause:
        FTrace.Pause();
        FLogging = tlPause;
        break;
    case tlOff:
        FTrace.Pause();
        FTrace.Clear();
        FLogging = tlOff;
        break;
    }
}

void RaisePortError(const TErrorEvent& Event, QObject* Sender, const TErrorInfo& Error)
{
    if (Event)
        Event(Sender, Error);
    else
        ShowException(Error.Text);
}
