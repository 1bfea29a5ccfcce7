// The Kelo6 dock over real loopback connections to the simulated dock, kt4-sim
// as a separate process, each test on its own loopback address.

#include "dock/CorvaneKelo6Dock.h"
#include "tests/app/SimProcess.h"
#include "tests/dock/DockTestSupport.h"

#include <gtest/gtest.h>

namespace {

struct Kelo6SimDock : ::testing::Test {
    void SetUp() override
    {
        const auto note = [this](const QString& Text) { return [this, Text](QObject*) { Events << Text; }; };
        dock.OnTCPConnected = note("tcp connected");
        dock.OnTCPClosed = note("tcp closed");
        dock.OnInstrumentConnected = note("connected");
        dock.OnInstrumentDisconnected = note("disconnected");
        dock.OnCmdTimeOut = note("time-out");
        dock.OnStateChange = [this](QObject*, TDockState S) { Events << QString("state %1").arg(S); };
        dock.OnBatteryStatus = [this](QObject*, bool Charging, bool Charged, quint16 V) {
            Events << QString("battery %1 %2 %3").arg(Charging).arg(Charged).arg(V);
        };
        dock.OnRcvUserData = [this](QObject*, const QByteArray& D) { Received += D; };
        dock.OnDebugRcvControlData = [this](QObject*, const QByteArray& D) { Control += D; };
    }

    // The simulated dock at Address.
    void StartDock(const char* Address, const QStringList& Options = {})
    {
        sim = std::make_unique<TSimProcess>(QStringList{"--address", Address} + Options, TSimProcess::InDock);
        ASSERT_EQ(sim->DockAddress(), Address);
        dock.SetEthernetAddress(Address);
    }
    bool SimLogged(const char* Text, int Times = 1)
    {
        return WaitFor([&] { return sim->Log().count(Text) >= Times; }) && sim->Log().count(Text) == Times;
    }

    TScriptedDialogsScope dialogs;
    TCorvaneKelo6Dock dock;
    std::unique_ptr<TSimProcess> sim;
    QStringList Events;
    QByteArray Received, Control;
};

}  // namespace

TEST_F(Kelo6SimDock, ASessionThroughTheDockFromOpeningToTakingTheInstrumentBack)
{
    StartDock("127.0.43.1", {"--busy", "2", "--with-reply", "SLV=EVT7\\x21EVTED0A1F"});
    ASSERT_TRUE(Opened(dock));
    EXPECT_TRUE(Opened(dock));  // open already: no second connection
    EXPECT_TRUE(SimLogged("control connection up"));
    EXPECT_TRUE(SimLogged("data connection up"));

    EXPECT_EQ(AskSlave(dock), TSlaveAnswer::Busy) << "first time";
    EXPECT_EQ(AskSlave(dock), TSlaveAnswer::Busy) << "second time";
    EXPECT_EQ(AskSlave(dock), TSlaveAnswer::Passing);
    ASSERT_TRUE(WaitFor([&] { return Events.contains("connected"); }));
    EXPECT_EQ(Events.count("state 33"), 3);
    EXPECT_EQ(Events.count("battery 0 1 2591"), 3);

    EXPECT_TRUE(dock.PassUserData("VFL0"));  // to the instrument and back, through the data channel
    ASSERT_TRUE(WaitFor([&] { return Received.size() >= 8; }));
    EXPECT_EQ(Received, "ACK01.10");

    const auto acknowledged = [this](std::function<void(TDockDone)> Queue) {
        return Ask(Queue) == TDockOutcome::Acknowledged;
    };
    EXPECT_TRUE(acknowledged([&](TDockDone Done) { dock.QueueLcdLine(1, "KT4   12/446 ", Done); }));
    EXPECT_TRUE(acknowledged([&](TDockDone Done) { dock.QueueLcdRead(1, Done); }));
    EXPECT_EQ(dock.LcdText(), "KT4   12/446    ");
    EXPECT_TRUE(SimLogged("LCD [                ][KT4   12/446    ]"));
    EXPECT_TRUE(acknowledged([&](TDockDone Done) { dock.QueuePump(0, 0, Done); }));
    EXPECT_TRUE(SimLogged("pump level 0"));
    EXPECT_TRUE(acknowledged([&](TDockDone Done) { dock.QueueAdc(Done); }));
    EXPECT_EQ(dock.BatteryVoltage(), 300u);

    EXPECT_TRUE(Await<bool>([&](auto Done) { dock.RequestDisconnect([Done] { Done(true); }); }));
    ASSERT_TRUE(WaitFor([&] { return Events.contains("disconnected"); }));
    EXPECT_EQ(Events.count("tcp connected"), 1);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

// The data connection refused: the opening ends at once, and the control
// connection that came up alone is closed.
TEST_F(Kelo6SimDock, OnlyTheControlConnectionUpIsClosed)
{
    StartDock("127.0.43.3", {"--refuse-data"});
    EXPECT_FALSE(Opened(dock));
    EXPECT_TRUE(SimLogged("control connection closed by the utility"));
    EXPECT_EQ(dock.ControlSocket()->State(), wsClosed);
    EXPECT_FALSE(Events.contains("tcp connected"));
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST_F(Kelo6SimDock, MalformedBatteryEventsLeaveBothConnectionsUp)
{
    StartDock("127.0.43.6", {"--malformed-battery", "--battery-every", "20"});
    ASSERT_TRUE(Opened(dock));
    ASSERT_TRUE(WaitFor([&] { return Control.count("EVTEC0AZF") >= 3; }));
    EXPECT_TRUE(dock.Enabled());
    EXPECT_EQ(AskSlave(dock), TSlaveAnswer::Passing);
    ASSERT_TRUE(WaitFor([&] { return Events.contains("connected"); }));
    EXPECT_TRUE(dock.PassUserData("ENQ0"));
    ASSERT_TRUE(WaitFor([&] { return Received == "ACK0"; }));
    EXPECT_EQ(Events, QStringList({"tcp connected", "connected"})) << "no battery event from malformed digits";
}
