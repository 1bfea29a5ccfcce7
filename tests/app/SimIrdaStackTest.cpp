// The simulated IrDA stack served by the simulator program: what the utility's
// infrared socket finds there and how the simulator guards its one session.

#include "link/SimulatedIrda.h"
#include "link/WIrCOMMSocket.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"

#include <gtest/gtest.h>

namespace {

struct SimulatorOverIrda : ::testing::Test {
    void SetUp() override { previous = SetIrdaPlatform(std::make_unique<TRemoteSimIrda>(sim.IrdaSocket())); }
    void TearDown() override { SetIrdaPlatform(std::move(previous)); }

    void Watch(TWIrCOMMSocket& Socket, const QString& Name)
    {
        Socket.OnSessionConnected = [this, Name](QObject*, quint16 e) { Events << QString("%1 %2").arg(Name).arg(e); };
        Socket.OnSessionClosed = [](QObject*, quint16) {};
    }

    TSimProcess sim{{}, TSimProcess::OverIrda};
    std::unique_ptr<TIrdaPlatform> previous;
    QStringList Events;
};

}  // namespace

TEST_F(SimulatorOverIrda, TheInstrumentIsDiscoveredAndServesOneSessionAtATime)
{
    TWIrCOMMSocket first;
    TWIrCOMMSocket second;
    Watch(first, "first");
    Watch(second, "second");
    const auto devices = first.EnumerateDevices();  // only devices offering IrLPT or IrCOMM
    ASSERT_NE(devices, nullptr);
    ASSERT_EQ(devices->Count(), 1);
    EXPECT_EQ(IrdaDeviceName(devices->Item(0)), "KT4 Head");

    first.SetDeviceID(devices->Item(0).DeviceID);
    first.Connect();
    ASSERT_TRUE(WaitFor([&] { return Events.size() == 1; }));
    second.SetDeviceID(devices->Item(0).DeviceID);
    second.Connect();
    ASSERT_TRUE(WaitFor([&] { return Events.size() == 2; }));
    EXPECT_EQ(Events, QStringList({"first 0", "second 10061"}));
    EXPECT_EQ(second.State(), wsClosed);

    // The session carries the instrument's answers, and nothing of the
    // acceptance line.
    QByteArray answer;
    first.OnDataAvailable = [&](QObject*, quint16) { answer += first.ReceiveAvailable(); };
    first.SendBytes("VFL7");
    ASSERT_TRUE(WaitFor([&] { return answer.size() >= 8; }));
    EXPECT_EQ(answer, "ACK71.10");

    // Once the first session has ended the instrument takes the next one.
    first.Close();
    second.Connect();
    ASSERT_TRUE(WaitFor([&] { return Events.size() == 3; }));
    EXPECT_EQ(Events.last(), "second 0");
}

TEST_F(SimulatorOverIrda, NoSimulatorMeansNoDeviceInRange)
{
    sim.Stop();
    TWIrCOMMSocket socket;
    const auto devices = socket.EnumerateDevices();
    ASSERT_NE(devices, nullptr);
    EXPECT_EQ(devices->Count(), 0);
}
