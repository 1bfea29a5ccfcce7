#pragma once
// The Kelo6 docking station, reached over USB or the network (control port
// 5004, data port 5005): its description, its event table, its enumerations
// and switches, and the pump command that only this dock has.

#include "dock/KeloDock.h"

#include <array>
#include <optional>

// The dock's current activity (event "7"). Any byte the dock sends is kept.
enum TDockState : quint8 {
    Cmd_Enq, Cmd_Who, Cmd_Ver, Cmd_BatVoltage, Cmd_Alm, Cmd_AlmTest, Cmd_Stb, Cmd_Vib, Cmd_CheckZero,
    Cmd_Zero, Cmd_Zeroing, Cmd_SetClock, Cmd_WaitForGas, Cmd_WaitForNoGas, Cmd_BumpStart, Cmd_Bumping,
    Cmd_GetGasRead, Cmd_UnitEE, Cmd_SensorEE, Cmd_SensorEE_2, Cmd_Span, Cmd_Spanning,
    Cmd_UpdtFullCallDate, Cmd_Purge, Cmd_Disc, Cmd_EnableGasReadings, Cmd_WSensorEE, Cmd_StartPump,
    Cmd_Alm2, Cmd_UnitEE_2, Cmd_WUnitEE, Cmd_GetSTable, Cmd_UpdateT63, Cmd_Visual
};

// The outcome of a test (event "3").
enum TTestResult : quint8 {
    NO_ERROR, WRONG_GAS, WRONG_INST, NO_GAS, FAILED_ZERO, LOW_FLOW, SENSOR_NOT_SUP, COMM_ERROR,
    WRONG_VERSION, ABORTED_BY_PC, BAD_INST_SERIAL, LOW_BAT_ERROR, O2_NEEDS_NITROGEN_CAL, INST_NOT_INSERTED
};

enum TInstState : quint8 { IS_WakingUp, IS_Charging, IS_DeadAlkaline };
enum TSensorSlot : quint8 { S_SLOT_0, S_SLOT_1, S_SLOT_2, S_SLOT_3, S_SLOT_4, S_SLOT_5, S_SLOT_6 };

// A gas reading as the dock sends it, reversed into the workstation's record
// layout (no part of this program reads its fields).
using TGasReading = std::array<quint8, 14>;

using TTestResultEvent = TEvent<QObject*, TTestResult>;
using TStateChange = TEvent<QObject*, TDockState>;
using TGotGasReading = TEvent<QObject*, TGasReading&>;
using TInstrumentInserted = TEvent<QObject*, TInstState>;
using TOnSpanCalibration = TEvent<QObject*, TSpanCalDueTo, TSensorFlags>;
// Sender, Charging, Charged, Voltage.
using TOnBatteryStatus = TEvent<QObject*, bool, bool, quint16>;

class TCorvaneKelo6Dock : public TKeloDock {
public:
    explicit TCorvaneKelo6Dock(QObject* Owner = nullptr);

    static TDockDescription Kelo6Description();

    // "PSS", the level (0 to 100) and the second byte.
    void QueuePump(int Level, int Extra, TDockDone Done = {});
    static QByteArray PumpCommand(int Level, int Extra);

    TDockState DockState() const { return FDockState; }
    void SetDockState(TDockState Value) { FDockState = Value; }
    TTestResult TestResult() const { return FTestResult; }
    void SetTestResult(TTestResult Value) { FTestResult = Value; }
    TSpanCalDueTo SpanCause() const { return FSpanCause; }
    TSensorFlags SpanSensors() const { return FSpanSensors; }

    // ---- configuration switches: bit 31 - Index of ConfigFlags ----
    quint32 ConfigFlags() const { return FConfigFlags; }
    bool ConfigSwitch(int Index) const { return FConfigFlags & (1u << (31 - Index)); }
    void SetConfigSwitch(int Index, bool Value);
#define KT4_KELO6_SWITCH(Name, Index)                          \
    bool Name() const { return ConfigSwitch(Index); }          \
    void Set##Name(bool Value) { SetConfigSwitch(Index, Value); }
    KT4_KELO6_SWITCH(Sol1Installed, 0)
    KT4_KELO6_SWITCH(Sol2Installed, 1)
    KT4_KELO6_SWITCH(Sol3Installed, 2)
    KT4_KELO6_SWITCH(Sol4Installed, 3)
    KT4_KELO6_SWITCH(EthernetInstalled, 5)
    KT4_KELO6_SWITCH(ResumeInstrumentOFF, 6)
    KT4_KELO6_SWITCH(ResumeInstrumentON, 7)
    KT4_KELO6_SWITCH(UseDHCP, 8)
    KT4_KELO6_SWITCH(WritePIN, 9)
    KT4_KELO6_SWITCH(CheckPIN, 10)
    KT4_KELO6_SWITCH(UseCal_Interval, 11)
    KT4_KELO6_SWITCH(Enable_Emailing, 12)
    KT4_KELO6_SWITCH(OptimizeO2Bump, 13)
    KT4_KELO6_SWITCH(AirInletIs0Air, 14)
    KT4_KELO6_SWITCH(Gas1Enabled, 16)
    KT4_KELO6_SWITCH(Gas2Enabled, 17)
    KT4_KELO6_SWITCH(Gas3Enabled, 18)
    KT4_KELO6_SWITCH(Gas4Enabled, 19)
#undef KT4_KELO6_SWITCH

    // ---- status flags: bit Index of two status words no reply fills ----
    bool PassFailGlobal() const { return StatusBit(FStatus1, 15); }
    bool PassFailAudio() const { return StatusBit(FStatus1, 14); }
    bool PassFailVibrator() const { return StatusBit(FStatus1, 13); }
    bool PassFailVisual() const { return StatusBit(FStatus1, 12); }
    bool PassFailZero() const { return StatusBit(FStatus1, 11); }
    bool PassFailBumpOnly() const { return StatusBit(FStatus1, 10); }
    bool PumpInstalled() const { return StatusBit(FStatus2, 15); }
    bool RechargeableBattery() const { return StatusBit(FStatus2, 14); }
    bool VibratorInstalled() const { return StatusBit(FStatus2, 13); }

    // ---- this dock's own events ----
    TTestResultEvent OnTestCompleted;
    TStateChange OnStateChange;
    TGotGasReading OnGotGasReading;
    TInstrumentInserted OnDeviceInserted;
    TOnSpanCalibration OnSpanCalibration;
    TOnBatteryStatus OnBatteryStatus;

private:
    static bool StatusBit(quint16 Word, int Index) { return Word & (1u << Index); }
    void BatteryEvent(const QByteArray& Payload);

    TDockState FDockState = Cmd_Enq;
    TTestResult FTestResult = NO_ERROR;
    TSpanCalDueTo FSpanCause = Span_CalFlag;
    TSensorFlags FSpanSensors = 0;
    quint32 FConfigFlags = 0;
    quint16 FStatus1 = 0;
    quint16 FStatus2 = 0;
};

// Four hexadecimal digits as a number; nothing for any other text.
std::optional<quint16> ParseHex4(const QByteArray& Text);
