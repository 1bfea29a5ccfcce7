// The Kelo6 dock over real loopback connections to the simulated dock, kt4-sim
// as a separate process, each test on its own loopback address.

#include "dock/CorvaneKelo6Dock.h"
#include "sim/SampleImage.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"

#include <QTimer>
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

    // The simulated dock at Address (nothing there when Options is null).
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
    // Fires the enabling deadline once Ready holds, from inside the wait.
    void FireEnableTimerWhen(std::function<bool()> Ready)
    {
        auto* poll = new QTimer(&dock);
        QObject::connect(poll, &QTimer::timeout, [this, poll, Ready] {
            if (!Ready())
                return;
            poll->deleteLater();
            EXPECT_TRUE(dock.EnableTimer()->Running());
            EXPECT_EQ(dock.EnableTimer()->Interval(), 5000);
            firedDeadline = true;
            dock.EnableTimer()->Fire();
        });
        poll->start(5);
    }

    TScriptedDialogsScope dialogs;
    TCorvaneKelo6Dock dock;
    std::unique_ptr<TSimProcess> sim;
    QStringList Events;
    QByteArray Received, Control;
    bool firedDeadline = false;
};

// A page command the simulated instrument takes.
QByteArray PageCommand(char Index, int Page)
{
    const QByteArray data(256, char(Page));
    const int sum = SampleImage::pageChecksum(data) & 0xFFFF;
    return QByteArray("WEP") + Index + char(Page >> 8) + char(Page & 0xFF) + data + char(sum >> 8) + char(sum & 0xFF);
}

}  // namespace

TEST_F(Kelo6SimDock, ASessionThroughTheDockFromEnablingToTakingTheInstrumentBack)
{
    StartDock("127.0.43.1", {"--busy", "2", "--with-reply", "SLV=EVT7\\x21EVTED0A1F"});
    dock.SetEnabled(true);
    ASSERT_TRUE(dock.Enabled());
    dock.SetEnabled(true);  // enabled already: no second connection
    EXPECT_TRUE(SimLogged("control connection up"));
    EXPECT_TRUE(SimLogged("data connection up"));

    EXPECT_TRUE(dock.SetSlaveMode(true)) << "busy, first time";
    EXPECT_TRUE(dock.SetSlaveMode(true)) << "busy, second time";
    EXPECT_FALSE(dock.SetSlaveMode(true));
    ASSERT_TRUE(WaitFor([&] { return Events.contains("connected"); }));
    EXPECT_EQ(Events.count("state 33"), 3);
    EXPECT_EQ(Events.count("battery 0 1 2591"), 3);

    EXPECT_TRUE(dock.SendUserData("VFL0"));  // to the instrument and back, through the data channel
    ASSERT_TRUE(WaitFor([&] { return Received.size() >= 8; }));
    EXPECT_EQ(Received, "ACK01.10");

    EXPECT_TRUE(dock.WriteLcdLine(1, "KT4   12/446 "));
    EXPECT_EQ(dock.LCDLine1Text(), "KT4   12/446    ");
    EXPECT_TRUE(SimLogged("LCD [                ][KT4   12/446    ]"));
    EXPECT_TRUE(dock.SetPump(0, 0));
    EXPECT_TRUE(SimLogged("pump level 0"));
    EXPECT_EQ(dock.BatteryVoltage(), 300u);

    EXPECT_TRUE(dock.DisconnectInstrument());
    ASSERT_TRUE(WaitFor([&] { return Events.contains("disconnected"); }));
    EXPECT_EQ(Events.count("tcp connected"), 1);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST_F(Kelo6SimDock, NoDockAnsweringLeavesItDisabledAtTheDeadlineWithoutAMessage)
{
    dock.SetEthernetAddress("127.0.43.2");  // nothing listens there
    FireEnableTimerWhen([&] {
        return dock.ControlSocket()->State() == wsClosed && dock.DataSocket()->State() == wsClosed;
    });
    dock.SetEnabled(true);
    EXPECT_TRUE(firedDeadline) << "the wait ended before its deadline";
    EXPECT_FALSE(dock.Enabled());
    EXPECT_TRUE(Events.isEmpty());
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST_F(Kelo6SimDock, OnlyTheControlConnectionUpIsFlushedAndClosed)
{
    StartDock("127.0.43.3", {"--refuse-data"});
    FireEnableTimerWhen([&] {
        return dock.ControlSocket()->State() == wsConnected && dock.DataSocket()->State() == wsClosed;
    });
    dock.SetEnabled(true);
    EXPECT_TRUE(firedDeadline);
    EXPECT_FALSE(dock.Enabled());
    EXPECT_TRUE(SimLogged("control connection closed by the utility"));
    EXPECT_EQ(dock.ControlSocket()->State(), wsClosed);
    EXPECT_FALSE(Events.contains("tcp connected"));
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST_F(Kelo6SimDock, TheDockDroppingTheDataConnectionClosesControlAndTakesTheInstrument)
{
    StartDock("127.0.43.4", {"--lose-after", "66"});
    dock.SetEnabled(true);
    ASSERT_TRUE(dock.Enabled());
    EXPECT_FALSE(dock.SetSlaveMode(true));
    ASSERT_TRUE(WaitFor([&] { return Events.contains("connected"); }));
    EXPECT_TRUE(dock.SendUserData(PageCommand('1', 66)));
    ASSERT_TRUE(WaitFor([&] { return Events.contains("disconnected"); }));
    EXPECT_EQ(Received, QByteArray("ACK1\x00\x42", 6));
    EXPECT_EQ(Events, QStringList({"tcp connected", "connected", "tcp closed", "disconnected"}));
    EXPECT_TRUE(SimLogged("control connection closed by the utility"));
    EXPECT_FALSE(dock.Enabled());
    EXPECT_FALSE(dock.SendUserData(PageCommand('2', 67)));
    EXPECT_EQ(dialogs->Texts(), QStringList({"Send Error, Dock not Enabled!"}));
}

TEST_F(Kelo6SimDock, AnUnansweredCommandEndsWhenItsTimerFires)
{
    StartDock("127.0.43.5", {"--no-answer", "ADC"});
    dock.SetEnabled(true);
    ASSERT_TRUE(dock.Enabled());
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(SimLogged("leaving ADC unanswered"));
        EXPECT_EQ(dock.CommandStatus(), csPending);
        dock.CommandTimer()->Fire();
    });
    EXPECT_FALSE(dock.ReadAdc());
    EXPECT_EQ(Events, QStringList({"tcp connected", "time-out"}));
    EXPECT_TRUE(dock.WriteLcdLine(0, "   Upgrading    "));  // the dock answers the next one
}

TEST_F(Kelo6SimDock, MalformedBatteryEventsLeaveBothConnectionsUp)
{
    StartDock("127.0.43.6", {"--malformed-battery", "--battery-every", "20"});
    dock.SetEnabled(true);
    ASSERT_TRUE(dock.Enabled());
    ASSERT_TRUE(WaitFor([&] { return Control.count("EVTEC0AZF") >= 3; }));
    EXPECT_TRUE(dock.Enabled());
    EXPECT_FALSE(dock.SetSlaveMode(true));
    ASSERT_TRUE(WaitFor([&] { return Events.contains("connected"); }));
    EXPECT_TRUE(dock.SendUserData("ENQ0"));
    ASSERT_TRUE(WaitFor([&] { return Received == "ACK0"; }));
    EXPECT_EQ(Events, QStringList({"tcp connected", "connected"})) << "no battery event from malformed digits";
}
