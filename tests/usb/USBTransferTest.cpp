// Bytes through the pipes of a device on the in-process stack: the transfer
// rules, the hand-over to the owner, failed transfers and removal.

#include "tests/usb/UsbTestSupport.h"

#include <QCoreApplication>
#include <QThread>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <ostream>

using USBTransferTest = TUsbDeviceTest;

struct TSlicing {
    quint16 PacketSize;
    QList<int> Writes;
};
void PrintTo(const TSlicing& c, std::ostream* os) { *os << "packet size " << c.PacketSize; }
class USBSlicingTest : public TUsbDeviceTest, public ::testing::WithParamInterface<TSlicing> {};

// A block leaves 64 bytes per cycle, each slice in endpoint-sized writes;
// the block queued after it follows it.
TEST_P(USBSlicingTest, BlocksLeaveInSlicesOfSixtyFourInEndpointSizedWrites)
{
    Run(DockEndpoints(GetParam().PacketSize));
    const QByteArray block(150, 'b');
    ASSERT_EQ(Device->Pipes(3)->QueueData(block), 150);
    ASSERT_EQ(Device->Pipes(3)->QueueData("tail!", 5), 5);
    ASSERT_TRUE(WaitFor([&] { return Stack.Written(Path, 3) == block + "tail!"; }));
    EXPECT_EQ(WriteSizes(3), GetParam().Writes);
    EXPECT_EQ(Device->Pipes(3)->OutputBufferCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, USBSlicingTest,
                         ::testing::Values(TSlicing{64, {64, 64, 22, 5}},
                                           TSlicing{16, {16, 16, 16, 16, 16, 16, 16, 16, 16, 6, 5}},
                                           TSlicing{512, {64, 64, 22, 5}}));

struct TInputPass {
    quint16 PacketSize;
    int Sent;
    int FirstCount;
};
void PrintTo(const TInputPass& c, std::ostream* os) { *os << c.Sent << " bytes in packets of " << c.PacketSize; }
class USBInputPassTest : public TUsbDeviceTest, public ::testing::WithParamInterface<TInputPass> {};

// One input pass ends once it holds more than 512 bytes or after the 11th
// read; the rest comes in the next passes.
TEST_P(USBInputPassTest, AnInputPassStopsAfterFiveHundredTwelveBytesOrElevenReads)
{
    Stack.SendIn(Path, 1, QByteArray(GetParam().Sent, 'i'));
    Run(DockEndpoints(GetParam().PacketSize));
    ASSERT_TRUE(WaitFor([&] { return Taken[1].size() == GetParam().Sent; }));
    EXPECT_EQ(Events.value(1), QString("data 1 %1").arg(GetParam().FirstCount));
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, USBInputPassTest,
                         ::testing::Values(TInputPass{64, 2000, 576}, TInputPass{8, 200, 88},
                                           TInputPass{512, 1200, 1024}));

// Bytes below the trigger are not announced when they come; bytes not taken
// are announced again, same count, until they are.
TEST_F(USBTransferTest, BufferedBytesAreAnnouncedAgainUntilTaken)
{
    TakeData = false;
    Open();
    Device->Pipes(2)->SetInputTrigger(10);
    Device->SetHalted(false);
    Stack.SendIn(Path, 2, "abc");
    ASSERT_TRUE(WaitFor([&] { return Events.size() >= 6; }));
    EXPECT_EQ(Events.mid(0, 6), QStringList({"debug 2 3", "data 2 3", "debug 2 3", "data 2 3", "debug 2 3", "data 2 3"}));
    EXPECT_EQ(Device->Pipes(2)->InputBufferCount(), 3);
    EXPECT_EQ(Device->Pipes(2)->ReadData(), "abc");
    EXPECT_EQ(Device->Pipes(2)->InputBufferCount(), 0);
}

class USBDeliveryTest : public TUsbDeviceTest, public ::testing::WithParamInterface<bool> {};

// Both values of UseWindowsMsgs post the hand-over: DebugOnPipeData, then
// OnPipeData, on the main thread.
TEST_P(USBDeliveryTest, HandsOverOnTheMainThread)
{
    Device->SetUseWindowsMsgs(GetParam());
    bool onMain = true;
    OnData = [&](int) { onMain = onMain && QThread::currentThread() == QCoreApplication::instance()->thread(); };
    Run();
    Stack.SendIn(Path, 1, "12345");
    ASSERT_TRUE(WaitFor([&] { return Taken[1] == "12345"; }));
    EXPECT_EQ(Events, QStringList({"debug 1 5", "data 1 5"}));
    EXPECT_TRUE(onMain);
}

INSTANTIATE_TEST_SUITE_P(UseWindowsMsgs, USBDeliveryTest, ::testing::Bool());

struct TFault {
    const char* Name;
    std::function<void(TSimulatedUsb&, const QString&)> Apply;
};
void PrintTo(const TFault& c, std::ostream* os) { *os << c.Name; }
class USBFailedTransferTest : public TUsbDeviceTest, public ::testing::WithParamInterface<TFault> {};

// A transfer that fails while the device is still listed changes nothing:
// the device stays connected and the pipes go on working.
TEST_P(USBFailedTransferTest, OfAListedDeviceChangesNothing)
{
    Run();
    GetParam().Apply(Stack, Path);
    Device->Pipes(0)->QueueData("lost?", 5);
    Device->Pipes(0)->QueueData("next", 4);
    Stack.SendIn(Path, 1, "in");
    ASSERT_TRUE(WaitFor([&] { return Taken[1] == "in" && Stack.Written(Path, 0).endsWith("next"); }));
    EXPECT_TRUE(Device->IsConnected());
    EXPECT_FALSE(Events.contains("removed"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, USBFailedTransferTest,
    ::testing::Values(TFault{"ReadFails", [](TSimulatedUsb& s, const QString& p) { s.FailNextRead(p, 1, EIO); }},
                      TFault{"WriteFails", [](TSimulatedUsb& s, const QString& p) { s.FailNextWrite(p, 0, EPIPE); }},
                      TFault{"WriteMovesNothing", [](TSimulatedUsb& s, const QString& p) { s.AcceptNothingNext(p, 0); }}),
    [](const ::testing::TestParamInfo<TFault>& Info) { return std::string(Info.param.Name); });

TEST_F(USBTransferTest, PullingTheDeviceOutMidTransferReportsItOnceAndStops)
{
    Stack.OnWrite = [this](const QString&, int, const QByteArray&) { Stack.Unplug(Path); };
    Run();
    Device->Pipes(0)->QueueData(QByteArray(150, 'x'));
    ASSERT_TRUE(WaitFor([&] { return Events.contains("removed") && !Device->IsConnected(); }));
    EXPECT_EQ(Events.count("removed"), 1);
    EXPECT_TRUE(Device->Halted());
    EXPECT_TRUE(WaitFor([&] { return Stack.OpenPipes() == 0; }));
    EXPECT_EQ(Stack.Written(Path, 0).size(), 64);  // the first write went, then the device was gone
    EXPECT_TRUE(Device->DeviceList().isEmpty());
}

// The thread hands over and goes on: what the owner's handler queues leaves
// while the handler still runs.
TEST_F(USBTransferTest, TheThreadGoesOnWhileTheOwnersHandlerRuns)
{
    std::mutex lock;
    std::condition_variable written;
    bool sent = false;
    Stack.OnWrite = [&](const QString&, int, const QByteArray&) {
        std::lock_guard hold(lock);
        sent = true;
        written.notify_all();
    };
    bool leftMeanwhile = false;
    OnData = [&](int) {
        ASSERT_EQ(Device->Pipes(0)->QueueData("out", 3), 3);
        std::unique_lock hold(lock);
        leftMeanwhile = written.wait_for(hold, std::chrono::seconds(30), [&] { return sent; });
    };
    Run();
    Stack.SendIn(Path, 1, "go");
    ASSERT_TRUE(WaitFor([&] { return Taken[1] == "go"; }));
    EXPECT_TRUE(leftMeanwhile);
}

TEST_F(USBTransferTest, DestroyingTheDeviceNeverWaitsLongOnASilentOne)
{
    Stack.StallTimeoutMs = 300;
    Stack.SetStalled(Path, 3, true);
    Run();
    Device->Pipes(3)->QueueData("never taken", 11);
    ASSERT_TRUE(WaitFor([&] { return WriteSizes(3).size() == 1; }));
    Device.reset();  // the write in progress times out; the rest is dropped
    EXPECT_EQ(Stack.OpenPipes(), 0);
    EXPECT_TRUE(Stack.Written(Path, 3).isEmpty());
}
