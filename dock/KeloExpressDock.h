#pragma once
// The express docking station, reached over USB or the network (control port
// 5000, data port 5001). It speaks the Kelo6 dock's protocol with its own
// events ("9" a signed ferro-gas reading, "B" the span cause alone, "E" an
// audio test, "A" ignored), its own enumerations, switches and flags, and its
// own control-channel send with its own texts. Over the network it gives its
// connections up to 10 seconds to come up and closes them gracefully.

#include "dock/KeloDock.h"

class TKeloExpressDock : public TKeloDock {
public:
    static constexpr int TransportWaitMs = 10000;

    // The dock's current activity (event "7").
    enum TDockState : quint8 {
        Cmd_Enq, Cmd_Who, Cmd_Ver, Cmd_BatVoltage, Cmd_Alm, Cmd_AlmTest, Cmd_Stb, Cmd_Vib, Cmd_CheckZero,
        Cmd_Zero, Cmd_Zeroing, Cmd_SetClock, Cmd_WaitForGas, Cmd_BumpStart, Cmd_Bumping, Cmd_GetGasRead,
        Cmd_UnitEE, Cmd_SensorEE, Cmd_SensorEE_2, Cmd_Span, Cmd_Spanning, Cmd_UpdtFullCallDate, Cmd_Purge,
        Cmd_Disc, Cmd_GetSecCounter, Cmd_WSensorEE
    };
    // The outcome of a test (event "3").
    enum TTestResult : quint8 {
        NO_ERROR, WRONG_GAS, WRONG_INST, NO_GAS, FAILED_ZERO, LOW_FLOW, SENSOR_NOT_SUP, COMM_ERROR,
        WRONG_VERSION, ABORTED_BY_PC, BAD_INST_SERIAL, WRONG_PIN, LOW_GAS, DEAD_BAT
    };

    using TTestResultEvent = TEvent<QObject*, TTestResult>;
    using TStateChange = TEvent<QObject*, TDockState>;
    // Sender, GasReading: a signed reading, sent most significant byte first.
    using TGotFerroGasReading = TEvent<QObject*, qint16>;
    using TOnSpanCalibration = TEvent<QObject*, TSpanCalDueTo>;
    // Sender, LowAudioDB, PeakAudioDB.
    using TOnAudioTest = TEvent<QObject*, quint8, quint8>;

    explicit TKeloExpressDock(QObject* Owner = nullptr);

    static TDockDescription ExpressDescription();

    // The express dock's own control-channel send and texts.
    bool SendControlData(const QByteArray& Text) override;

    TDockState DockState() const { return FDockState; }
    void SetDockState(TDockState Value) { FDockState = Value; }
    TTestResult TestResult() const { return FTestResult; }
    void SetTestResult(TTestResult Value) { FTestResult = Value; }
    TSpanCalDueTo SpanCause() const { return FSpanCause; }

    // ---- switches and flags: no operation here sends or fills them ----
    quint32 ConfigFlags() const { return FConfigFlags; }
    quint32 GasSupport() const { return FGasSupport; }
    KT4_DOCK_LSB_FLAG(VibratorInstalled, FStatus1, 7)
    KT4_DOCK_LSB_FLAG(PassFailGlobal, FStatus2, 7)
    KT4_DOCK_LSB_FLAG(PassFailAudio, FStatus2, 6)
    KT4_DOCK_LSB_FLAG(PassFailVibrator, FStatus2, 5)
    KT4_DOCK_LSB_FLAG(PassFailVisual, FStatus2, 4)
    KT4_DOCK_LSB_FLAG(PassFailBump, FStatus2, 3)
    KT4_DOCK_LSB_FLAG(PassFailZero, FStatus2, 2)
    KT4_DOCK_LSB_FLAG(PassFailSpannedAndFailed, FStatus2, 1)
    KT4_DOCK_LSB_FLAG(PassFailSpannedAndPassed, FStatus2, 0)
    KT4_DOCK_MSB_FLAG(EthernetInstalled, FConfigFlags, 2)
    KT4_DOCK_MSB_SWITCH(UseDHCP, FConfigFlags, 3)
    KT4_DOCK_MSB_SWITCH(WritePIN, FConfigFlags, 4)
    KT4_DOCK_MSB_SWITCH(CheckPIN, FConfigFlags, 5)
    KT4_DOCK_MSB_SWITCH(CheckForInstRemoved, FConfigFlags, 6)
    KT4_DOCK_MSB_SWITCH(UseCal_Interval, FConfigFlags, 7)
    KT4_DOCK_MSB_SWITCH(Enable_Emailing, FConfigFlags, 8)
    KT4_DOCK_MSB_SWITCH(Enable_O2Bump, FConfigFlags, 9)
    KT4_DOCK_MSB_SWITCH(Slow9600, FConfigFlags, 10)
    KT4_DOCK_GAS_SUPPORT_SWITCHES

    // ---- this dock's own events ----
    TTestResultEvent OnTestCompleted;
    TStateChange OnStateChange;
    TGotFerroGasReading OnGotGasReading;
    TOnSpanCalibration OnSpanCalibration;
    TOnAudioTest OnAudioTest;

private:
    bool SendOverUsb(const QByteArray& Text);
    bool SendOverNetwork(const QByteArray& Text);

    TDockState FDockState = Cmd_Enq;
    TTestResult FTestResult = NO_ERROR;
    TSpanCalDueTo FSpanCause = Span_CalFlag;
    quint32 FConfigFlags = 0;
    quint32 FGasSupport = 0;
    quint8 FStatus1 = 0;
    quint8 FStatus2 = 0;
};
