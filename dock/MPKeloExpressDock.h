#pragma once
// The multi-port express docking station, reached over USB or the network
// (control port 5002, data port 5003). It speaks the Kelo6 dock's protocol and
// opens and closes its transports as the Kelo6 dock does, with its own events
// ("9" an 8-byte reading, "A" a plain notice, "E" ignored), enumerations,
// switches and flags. It has no busy state: "SLV" and "MST" are plain
// commands, and the link asks once.

#include "dock/CorvaneKelo6Dock.h"

#include <array>

class TMPKeloExpressDock : public TKeloDock {
public:
    // The dock's current activity (event "7").
    enum TDockState : quint8 {
        Cmd_Enq, Cmd_Who, Cmd_Ver, Cmd_BatVoltage, Cmd_Alm, Cmd_AlmTest, Cmd_Stb, Cmd_Vib, Cmd_CheckZero,
        Cmd_Zero, Cmd_Zeroing, Cmd_SetClock, Cmd_WaitForGas, Cmd_BumpStart, Cmd_Bumping, Cmd_GetGasRead,
        Cmd_UnitEE, Cmd_O2SensorEE, Cmd_LelSensorEE, Cmd_Tox1SensorEE, Cmd_Tox2SensorEE, Cmd_O2SensorEE_2,
        Cmd_LelSensorEE_2, Cmd_Tox1SensorEE_2, Cmd_Tox2SensorEE_2, Cmd_Span, Cmd_Spanning,
        Cmd_UpdtFullCallDate, Cmd_Purge, Cmd_Disc, Cmd_EnableGasReadings, Cmd_WLelSensorEE,
        Cmd_WTox1SensorEE, Cmd_WTox2SensorEE, Cmd_StartPump, Cmd_Alm2
    };
    // The outcome of a test (event "3"): the Kelo6 dock's list.
    using TTestResult = ::TTestResult;
    enum TSensorSlot : quint8 { LEL_SENSOR, TOX1_SENSOR, TOX2_SENSOR, O2_SENSOR };
    // A gas reading as the dock sends it, reversed into the workstation's
    // record layout (no part of this program reads its fields).
    using TGasReading = std::array<quint8, 8>;

    using TTestResultEvent = TEvent<QObject*, TTestResult>;
    using TStateChange = TEvent<QObject*, TDockState>;
    using TGotGasReading = TEvent<QObject*, TGasReading&>;
    using TOnSpanCalibration = TEvent<QObject*, TSpanCalDueTo, TSensorFlags>;

    explicit TMPKeloExpressDock(QObject* Owner = nullptr);

    static TDockDescription MPExpressDescription();

    // "SLV" and "MST" are plain commands: no answer of this dock reads busy.
    TReplyKind SlaveModeReplyKind() const override { return rkPlain; }

    TDockState DockState() const { return FDockState; }
    void SetDockState(TDockState Value) { FDockState = Value; }
    TTestResult TestResult() const { return FTestResult; }
    void SetTestResult(TTestResult Value) { FTestResult = Value; }
    TSpanCalDueTo SpanCause() const { return FSpanCause; }
    TSensorFlags SpanSensors() const { return FSpanSensors; }

    // ---- switches and flags: no operation here sends or fills them ----
    quint32 ConfigFlags() const { return FConfigFlags; }
    quint32 GasSupport() const { return FGasSupport; }
    KT4_DOCK_LSB_FLAG(PumpInstalled, FStatusWord, 15)
    KT4_DOCK_LSB_FLAG(PassFailO2FailedBump, FStatusWord, 14)
    KT4_DOCK_LSB_FLAG(VibratorInstalled, FStatus1, 7)
    KT4_DOCK_LSB_FLAG(O2Installed, FStatus1, 6)
    KT4_DOCK_LSB_FLAG(LelInstalled, FStatus1, 5)
    KT4_DOCK_LSB_FLAG(Tox1Installed, FStatus1, 4)
    KT4_DOCK_LSB_FLAG(Tox2Installed, FStatus1, 3)
    KT4_DOCK_LSB_FLAG(LelSpanFailed, FStatus1, 2)
    KT4_DOCK_LSB_FLAG(Tox1SpanFailed, FStatus1, 1)
    KT4_DOCK_LSB_FLAG(Tox2SpanFailed, FStatus1, 0)
    KT4_DOCK_LSB_FLAG(PassFailGlobal, FStatus2, 7)
    KT4_DOCK_LSB_FLAG(PassFailAudio, FStatus2, 6)
    KT4_DOCK_LSB_FLAG(PassFailVibrator, FStatus2, 5)
    KT4_DOCK_LSB_FLAG(PassFailVisual, FStatus2, 4)
    KT4_DOCK_LSB_FLAG(PassFailBump, FStatus2, 3)
    KT4_DOCK_LSB_FLAG(PassFailZero, FStatus2, 2)
    KT4_DOCK_LSB_FLAG(PassFailSpannedAndFailed, FStatus2, 1)
    KT4_DOCK_LSB_FLAG(PassFailSpannedAndPassed, FStatus2, 0)
    KT4_DOCK_MSB_FLAG(EthernetInstalled, FConfigFlags, 2)
    KT4_DOCK_MSB_SWITCH(ResumeInstrumentOFF, FConfigFlags, 3)
    KT4_DOCK_MSB_SWITCH(ResumeInstrumentON, FConfigFlags, 4)
    KT4_DOCK_MSB_SWITCH(UseDHCP, FConfigFlags, 5)
    KT4_DOCK_MSB_SWITCH(WritePIN, FConfigFlags, 6)
    KT4_DOCK_MSB_SWITCH(CheckPIN, FConfigFlags, 7)
    KT4_DOCK_MSB_SWITCH(UseCal_Interval, FConfigFlags, 8)
    KT4_DOCK_MSB_SWITCH(Enable_Emailing, FConfigFlags, 9)
    KT4_DOCK_MSB_SWITCH(Enable_BootGasPreload, FConfigFlags, 10)
    KT4_DOCK_GAS_SUPPORT_SWITCHES
    KT4_DOCK_LSB_SWITCH(LEL_Supported, FGasSupport, 13)

    // ---- this dock's own events ----
    TTestResultEvent OnTestCompleted;
    TStateChange OnStateChange;
    TGotGasReading OnGotGasReading;
    TNotifyEvent OnDeviceInserted;
    TOnSpanCalibration OnSpanCalibration;

private:
    TDockState FDockState = Cmd_Enq;
    TTestResult FTestResult = NO_ERROR;
    TSpanCalDueTo FSpanCause = Span_CalFlag;
    TSensorFlags FSpanSensors = 0;
    quint32 FConfigFlags = 0;
    quint32 FGasSupport = 0;
    quint16 FStatusWord = 0;
    quint8 FStatus1 = 0;
    quint8 FStatus2 = 0;
};
