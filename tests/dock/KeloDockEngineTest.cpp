// The dock's command engine on control chunks and commands, with the dock's
// USB device played by the test (the network transport has its own tests,
// against the simulated dock).

#include "dock/CorvaneKelo6Dock.h"
#include "tests/dock/DockTestSupport.h"
#include "tests/dock/FakeDockUSB.h"

#include <QTimer>
#include <gtest/gtest.h>

namespace {

struct Kelo6Engine : ::testing::Test {
    void SetUp() override
    {
        usb.Bus = {"/dev/kelo6-0"};
        dock.SetUSBDevice(&usb);
        ASSERT_TRUE(Opened(dock));
        usb.SetHalted(false);
        auto note = [this](const QString& Text) { return [this, Text](QObject*) { Events << Text; }; };
        dock.OnPumpLowFlow = note("low flow");
        dock.OnInstrumentConnected = note("connected");
        dock.OnInstrumentDisconnected = note("disconnected");
        dock.OnDeviceInRange = note("in range");
        dock.OnDeviceRemoved = note("removed");
        dock.OnFailedToConnect = note("failed to connect");
        dock.OnMultipleTCPConnections = note("multiple");
        dock.OnCmdTimeOut = note("time-out");
        dock.OnTestCompleted = [this](QObject*, TTestResult R) { Events << QString("test %1").arg(R); };
        dock.OnStateChange = [this](QObject*, TDockState S) { Events << QString("state %1").arg(S); };
        dock.OnDebugMessage = [this](QObject*, const QByteArray& M) { Events << "debug " + M; };
        dock.OnGotGasReading = [this](QObject*, TGasReading& R) {
            Events << "gas " + QByteArray(reinterpret_cast<const char*>(R.data()), int(R.size())).toHex();
        };
        dock.OnDeviceInserted = [this](QObject*, TInstState S) { Events << QString("inserted %1").arg(S); };
        dock.OnSpanCalibration = [this](QObject*, TSpanCalDueTo C, TSensorFlags F) {
            Events << QString("span %1 %2").arg(C).arg(F);
        };
        dock.OnEmailDelivered = [this](QObject*, bool Ok) { Events << QString("email %1").arg(Ok); };
        dock.OnBatteryStatus = [this](QObject*, bool Charging, bool Charged, quint16 V) {
            Events << QString("battery %1 %2 %3").arg(Charging).arg(Charged).arg(V);
        };
        dock.OnRcvUserData = [this](QObject*, const QByteArray& D) { Events << "data " + D; };
    }

    // Answers every command with Reply.
    void AnswerWith(const QByteArray& Reply)
    {
        usb.Answer = [Reply](const QByteArray&) { return Reply; };
    }
    TDockOutcome Disconnect()
    {
        return Ask([this](TDockDone Done) { dock.Queue("DSC", rkPlain, Done); });
    }

    TScriptedDialogsScope dialogs;
    TFakeDockUSB usb;
    TCorvaneKelo6Dock dock;
    QStringList Events;
};

QByteArray Bytes(std::initializer_list<int> Values)
{
    QByteArray out;
    for (int v : Values)
        out += char(v);
    return out;
}

}  // namespace

// ---- events ----

TEST_F(Kelo6Engine, EachEventOfTheTableRaisesItsEventWithItsPayload)
{
    const QByteArray gas = Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    const struct {
        QByteArray Chunk;
        QStringList Expected;
    } rows[] = {
        {"EVT0", {"low flow"}},
        {"EVT1", {"connected"}},
        {"EVT2", {"disconnected"}},
        {QByteArray("EVT3\x05", 5), {"test 5"}},
        {"EVT4", {"in range"}},
        {"EVT5", {"removed"}},
        {"EVT6", {"failed to connect"}},
        {QByteArray("EVT7\x21", 5), {"state 33"}},
        {QByteArray("EVT8\x03" "abcdef", 10), {"debug abc"}},
        {"EVT9" + gas, {"gas 0e0d0c0b0a090807060504030201"}},
        {"EVTA1", {"inserted 1"}},
        {QByteArray("EVTB\x03\x41", 6), {"span 3 65"}},
        {"EVTC", {"multiple"}},
        {"EVTD1", {"email 1"}},
        {"EVTDx", {"email 0"}},
        {"EVTEC0A1F", {"battery 1 0 2591"}},
        {"EVTED0a1f", {"battery 0 1 2591"}},
        {"EVTEX0A1F", {}},                       // neither charging nor charged
        {"EVTF", {}},                            // no such event
        {"noise EVT4 and EVT0 after it", {"in range", "low flow"}},
        // Payloads that never come whole are dropped once the line is quiet, not read past.
        {"EVT9" + gas.left(13), {}},
        {QByteArray("EVT8\x05" "abc", 8), {}},
        {"EVT8", {}},
        {"EVT7", {}},
        {"EVTEC0A", {}},
        {"EVTB\x01", {}},
        {"EVT", {}},
        // A battery report that is not hexadecimal raises nothing and stops nothing.
        {"EVTEC0AZFEVT1", {"connected"}},
        {"EVTEC 1F EVTEC+1F EVTEC0x1FEVT2", {"disconnected"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Hex(row.Chunk).toStdString());
        Events.clear();
        dock.HandleControlData(row.Chunk);
        ASSERT_TRUE(WaitFor([&] { return !dock.ControlWaiting(); }));
        EXPECT_EQ(Events, row.Expected);
    }
    EXPECT_EQ(dock.DockState(), Cmd_Visual);
    EXPECT_EQ(dock.TestResult(), LOW_FLOW);
    EXPECT_EQ(dock.SpanCause(), Span_DockCalDue);
    EXPECT_EQ(dock.SpanSensors(), 0x41);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST_F(Kelo6Engine, ChunksAreParsedWholeBlankingEachEventAndTheReplyComesLast)
{
    // Every event of a chunk is raised, however many: ten ahead of the
    // instrument's removal do not hide it, and the reply after them counts.
    AnswerWith(QByteArray("EVT0").repeated(10) + "EVT2" + "ACKB");
    EXPECT_EQ(AskSlave(dock), TSlaveAnswer::Busy);
    EXPECT_EQ(Events, QStringList(10, "low flow") << "disconnected");

    const struct {
        QByteArray Reply;
        TDockOutcome Outcome;
        QStringList Expected;
    } rows[] = {
        {"EVT1ACK", TDockOutcome::Acknowledged, {"connected"}},  // the event, then the reply
        {"NAKACK", TDockOutcome::Acknowledged, {}},              // "ACK" wins over "NAK"
        {"NAK", TDockOutcome::Refused, {}},
        {"EVTEC0AZFACK", TDockOutcome::Acknowledged, {}},        // a malformed battery report stops nothing
        // A payload is read whole by its length: marker bytes inside it are payload.
        {QByteArray("EVT8\x03" "ACK" "ACK", 11), TDockOutcome::Acknowledged, {"debug ACK"}},
        {"EVT9" + QByteArray("KCA").leftJustified(14, '.') + "ACK", TDockOutcome::Acknowledged,
         {"gas 2e2e2e2e2e2e2e2e2e2e2e41434b"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Reply.toStdString());
        Events.clear();
        AnswerWith(row.Reply);
        EXPECT_EQ(Disconnect(), row.Outcome);
        EXPECT_EQ(Events, row.Expected);
    }
}

// ---- commands ----

TEST_F(Kelo6Engine, CommandsSendTheirTextsAndReadTheirReplies)
{
    const QByteArray twenty = "ABCDEFGHIJKLMNOPQRST";
    using TDock = TCorvaneKelo6Dock;
    const struct {
        const char* Name;
        std::function<void(TDock&, TDockDone)> Queue;
        QByteArray Reply;
        QByteArray Sent;
        std::function<bool(TDock&)> Holds;
    } rows[] = {
        {"SLV", [](TDock& d, TDockDone f) { d.QueueSlaveMode(true, f); }, "ACKI", "SLV", [](TDock& d) { return !d.DockBusy(); }},
        {"MST", [](TDock& d, TDockDone f) { d.QueueSlaveMode(false, f); }, "ACKB", "MST", [](TDock& d) { return d.DockBusy(); }},
        {"LCD2", [](TDock& d, TDockDone f) { d.QueueLcdLine(2, " Insert KT4   ", f); }, "ACK", "LCD2 Insert KT4     ", {}},
        {"LCD0 cut", [&](TDock& d, TDockDone f) { d.QueueLcdLine(0, twenty, f); }, "ACK", "LCD0" + twenty.left(16), {}},
        {"LCD7", [](TDock& d, TDockDone f) { d.QueueLcdLine(7, "x", f); }, "ACK", "LCD3x" + QByteArray(15, ' '), {}},
        {"LCD-1", [](TDock& d, TDockDone f) { d.QueueLcdLine(-1, "", f); }, "ACK", "LCD3" + QByteArray(16, ' '), {}},
        {"PSS", [](TDock& d, TDockDone f) { d.QueuePump(250, 0, f); }, "ACK", Bytes({'P', 'S', 'S', 100, 0}), {}},
        {"PSS low", [](TDock& d, TDockDone f) { d.QueuePump(-3, 7, f); }, "ACK", Bytes({'P', 'S', 'S', 0, 7}), {}},
        {"RLC1", [](TDock& d, TDockDone f) { d.QueueLcdRead(5, f); }, "ACKKT4   12/446 ", "RLC1",
         [](TDock& d) { return d.LcdText() == "KT4   12/446 "; }},
        {"RLC0", [](TDock& d, TDockDone f) { d.QueueLcdRead(0, f); }, "ACK" + twenty, "RLC0",
         [&](TDock& d) { return d.LcdText() == twenty.left(16); }},
        {"ADC", [](TDock& d, TDockDone f) { d.QueueAdc(f); }, Bytes({'A', 'C', 'K', 0, 0, 3, 0, 0, 0, 0, 0}), "ADC",
         [](TDock& d) { return d.BatteryVoltage() == 300; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        usb.Written.clear();
        AnswerWith(row.Reply);
        EXPECT_EQ(Ask([&](TDockDone Done) { row.Queue(dock, Done); }), TDockOutcome::Acknowledged);
        EXPECT_EQ(usb.Pipe(3), QList<QByteArray>{row.Sent});
        EXPECT_TRUE(!row.Holds || row.Holds(dock));
    }
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST_F(Kelo6Engine, ShortRepliesStoreNothing)
{
    const auto adc = [this](TDockDone Done) { dock.QueueAdc(Done); };
    AnswerWith(Bytes({'A', 'C', 'K', 0, 0, 3, 0, 0, 0, 0, 0}));
    ASSERT_EQ(Ask(adc), TDockOutcome::Acknowledged);
    AnswerWith("ACK\x01\x02\x03");  // fewer than 8 bytes: the last values stay
    EXPECT_EQ(Ask(adc), TDockOutcome::Acknowledged);
    EXPECT_EQ(Hex(dock.AdcValues()), "00 00 00 00 00 03 00 00");
    AnswerWith("NAK");              // a refused read keeps them too
    EXPECT_EQ(Ask(adc), TDockOutcome::Refused);
    EXPECT_EQ(dock.BatteryVoltage(), 300u);

    AnswerWith("ACKI");
    ASSERT_EQ(AskSlave(dock), TSlaveAnswer::Passing);
    AnswerWith("ACK");              // no busy byte: the last state stays
    EXPECT_EQ(AskSlave(dock), TSlaveAnswer::Passing);
    EXPECT_FALSE(dock.DockBusy());
    AnswerWith("NAK");              // a refused request counts as busy
    EXPECT_EQ(AskSlave(dock), TSlaveAnswer::Refused);
    EXPECT_TRUE(dock.DockBusy());
}

// ---- the USB transport ----

TEST_F(Kelo6Engine, ControlTextsNeedAnEnabledDockAndWarnWhenTheDeviceIsHalted)
{
    AnswerWith("ACK");
    usb.SetHalted(true);
    EXPECT_EQ(Disconnect(), TDockOutcome::Acknowledged) << "queued and answered all the same";
    EXPECT_EQ(dialogs->Texts(), QStringList({"Cant Send, Usb Device is Halted!"}));
    EXPECT_TRUE(usb.Halted()) << "the dock never clears it itself";

    dialogs->Clear();
    ASSERT_TRUE(Closed(dock));
    EXPECT_EQ(usb.Disconnects, 1);
    EXPECT_FALSE(dock.Enabled());
    EXPECT_EQ(Disconnect(), TDockOutcome::Lost);
    EXPECT_FALSE(dock.PassUserData("WHO0"));
    EXPECT_EQ(dialogs->Texts(), QStringList({"Send Error, Dock not Enabled!"}));
    EXPECT_EQ(usb.Pipe(3), QList<QByteArray>{"DSC"});
}

TEST_F(Kelo6Engine, OpeningOverUsbOpensTheNamedOrTheFirstDeviceOnTheBus)
{
    TFakeDockUSB other;
    TCorvaneKelo6Dock fresh;
    fresh.SetUSBDevice(&other);
    EXPECT_EQ(other.DeviceType, TDockFamily::tpCorvaneKelo6) << "set at once";
    EXPECT_FALSE(Opened(fresh));
    EXPECT_EQ(dialogs->Texts(), QStringList({"No devices found!"}));

    other.Bus = {"/dev/kelo6-3", "/dev/kelo6-4"};
    EXPECT_TRUE(Opened(fresh));
    EXPECT_EQ(other.Name, "/dev/kelo6-3");
    EXPECT_TRUE(Opened(fresh));  // open already: nothing
    EXPECT_EQ(other.Connects, 1);
    ASSERT_TRUE(Closed(fresh));
    other.Name = "/dev/kelo6-4";
    EXPECT_TRUE(Opened(fresh));  // a named device is opened without a look at the bus
    EXPECT_EQ(other.Connects, 2);
    EXPECT_EQ(other.Name, "/dev/kelo6-4");
}

TEST_F(Kelo6Engine, PipeDataGoesToItsChannelAndOtherPipesAreIgnored)
{
    usb.Deliver(1, "AC");       // instrument data of any length
    usb.Deliver(2, "EVT1");
    usb.Deliver(0, "EVT2");     // not an input pipe of the dock
    usb.Deliver(5, "EVT2");
    ASSERT_TRUE(WaitFor([&] { return Events.size() == 2; }));
    WaitFor([] { return false; }, 30);  // other pipes had their chance
    EXPECT_EQ(Events, QStringList({"data AC", "connected"}));

    EXPECT_TRUE(dock.PassUserData(QByteArray(TKeloDock::MaxUserData - 1, 'p')));
    EXPECT_FALSE(dock.PassUserData(QByteArray(TKeloDock::MaxUserData, 'p')));
    EXPECT_EQ(dialogs->Texts(), QStringList({"Error, Message too long!"}));
    ASSERT_EQ(usb.Pipe(0).size(), 1);
    EXPECT_EQ(usb.Pipe(0).first().size(), TKeloDock::MaxUserData - 1);
}

TEST_F(Kelo6Engine, ADeviceLeavingTheBusEndsTheCommandAndTakesTheInstrument)
{
    dock.HandleControlData("EVT1");
    usb.Answer = [&](const QByteArray&) {
        QTimer::singleShot(0, [&] { usb.Remove(); });
        return QByteArray();
    };
    EXPECT_EQ(Disconnect(), TDockOutcome::Lost);
    EXPECT_EQ(Events, QStringList({"connected", "disconnected"}));
    EXPECT_FALSE(dock.Enabled());
}
