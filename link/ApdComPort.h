#pragma once
// The serial port layer: a COM port with the settings, operations and events the
// link relies on, over QSerialPort. Every event is delivered on the main thread.
// A failure of what the caller asks for at that moment (no port chosen, a port
// that cannot be opened, a trace that cannot be written) is raised to it as
// EAPDException; the layer never asks anyone for a port (an open with port 0
// fails with ecNoPortSelected). A failure met on the way (the device gone,
// bytes the port will not take, a handler of received bytes that failed) is
// raised as the error event OnError, on the main thread and outside the
// port's own notifications.

#include "link/TraceLog.h"
#include "platform/ErrorDisplay.h"
#include "platform/ErrorEvent.h"
#include "platform/Events.h"

#include <QObject>
#include <QSerialPort>

// The layer's error code for "no port selected".
constexpr int ecNoPortSelected = -2011;

class EAPDException : public EKT4Error {
public:
    using EKT4Error::EKT4Error;
};

enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum THWFlowOption { hwfUseDTR = 0x1, hwfUseRTS = 0x2, hwfRequireDSR = 0x4, hwfRequireCTS = 0x8 };

using TTriggerAvailEvent = TEvent<QObject*, quint16>;

class TApdComPort : public QObject {
public:
    explicit TApdComPort(QObject* Owner = nullptr);
    ~TApdComPort() override;  // closes the port (OnPortClose fires) first

    // ---- settings ----
    int ComNumber() const { return FComNumber; }
    void SetComNumber(int Value) { FComNumber = static_cast<quint16>(Value); }
    int Baud() const { return FBaud; }
    void SetBaud(int Value);
    TParity Parity() const { return FParity; }
    void SetParity(TParity Value);
    int DataBits() const { return FDataBits; }
    void SetDataBits(int Value);
    int StopBits() const { return FStopBits; }
    void SetStopBits(int Value);
    int InSize() const { return FInSize; }
    void SetInSize(int Value) { FInSize = Value; }
    int OutSize() const { return FOutSize; }
    void SetOutSize(int Value) { FOutSize = Value; }
    int HWFlowOptions() const { return FHWFlowOptions; }
    void SetHWFlowOptions(int Value);
    TSWFlowOptions SWFlowOptions() const { return FSWFlowOptions; }
    void SetSWFlowOptions(TSWFlowOptions Value);
    char XOnChar() const { return FXOnChar; }
    char XOffChar() const { return FXOffChar; }
    bool DTR() const { return FDTR; }
    void SetDTR(bool Value);
    bool RTS() const { return FRTS; }
    void SetRTS(bool Value);
    bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool Value) { FAutoOpen = Value; }

    // ---- trace ----
    TTraceLogState Logging() const { return FLogging; }
    void SetLogging(TTraceLogState Value);
    QString LogName() const { return FLogName; }
    void SetLogName(const QString& Value) { FLogName = Value; }
    unsigned LogSize() const { return FTrace.Size(); }
    void SetLogSize(unsigned Value) { FTrace.SetSize(Value); }
    bool LogHex() const { return FLogHex; }
    void SetLogHex(bool Value) { FLogHex = Value; }

    // ---- state and operations ----
    bool Open() const { return FPort.isOpen(); }
    void SetOpen(bool Value);
    QString DeviceName() const { return FPort.portName(); }
    // How messages name the port: a device path given as itself, a COM number
    // with its device ("COM6 (/dev/ttyUSB0)").
    QString PortTitle() const;
    // A device path used instead of the COM number's device (the infrared
    // driver's port may be given as a path); empty to use the COM number.
    QString DevicePath() const { return FDevicePath; }
    void SetDevicePath(const QString& Value) { FDevicePath = Value; }

    int InBuffUsed() const;
    // Takes up to Count received bytes.
    QByteArray GetBlock(int Count);
    // Queues all of Text for sending; bytes the port will not take are told
    // on OnError (a device that has gone, as its loss).
    void PutString(const QByteArray& Text);

    // ---- events ----
    TNotifyEvent OnPortOpen;
    TNotifyEvent OnPortClose;
    TTriggerAvailEvent OnTriggerAvail;
    // A failure met on the way; nobody listening, the application's error
    // display shows it (RaisePortError).
    TErrorEvent OnError;

private:
    void OpenPort();
    void ClosePort();
    int RequirePort() const;
    void ApplySettings();
    void ApplyLines();
    void ApplyLoggingWhileOpen(TTraceLogState Value);
    void DataAvailable();
    bool Announce(qint64 Waiting);
    void PortError(QSerialPort::SerialPortError Error);
    bool DeviceGone() const;
    void PortLost();
    void FailLater(int Code, const QString& Text);
    QString PortTitle(const QString& Path) const;
    [[noreturn]] void RaiseOpenError(const QString& Path);

    QSerialPort FPort;
    quint16 FComNumber = 0;
    QString FDevicePath;
    int FBaud = 19200;
    TParity FParity = pNone;
    int FDataBits = 8;
    int FStopBits = 1;
    int FInSize = 4096;
    int FOutSize = 4096;
    int FHWFlowOptions = 0;
    TSWFlowOptions FSWFlowOptions = swfNone;
    char FXOnChar = 17;
    char FXOffChar = 19;
    bool FDTR = true;
    bool FRTS = true;
    bool FAutoOpen = true;
    bool FShuttingDown = false;
    bool FDelivering = false;

    TTraceLogState FLogging = tlOff;
    QString FLogName = "ComPort.Log";
    bool FLogHex = true;
    TTraceLog FTrace{10000};
};

// Raises Event with Error; with nobody listening, the application's error
// display shows the text as an error box, as it shows every failure of the
// serial layer.
void RaisePortError(const TErrorEvent& Event, QObject* Sender, const TErrorInfo& Error);
