// Across processes: kt4-sim --usb serves a device of the simulated USB stack;
// the device layer finds it by its class, moves bytes both ways through its
// pipes and sees it removed when the simulator ends.

#include "tests/usb/UsbTestSupport.h"
#include "usb/RemoteSimUsb.h"

#include <QFile>
#include <cerrno>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// kt4-sim --usb DIR as a child process. Started with a plain fork and exec
// (which ThreadSanitizer follows), and read until it has said where it serves.
class TSimUsbProcess {
public:
    explicit TSimUsbProcess(const QString& Dir)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execl(KT4_SIM_PATH, KT4_SIM_PATH, "--usb", Dir.toLocal8Bit().constData(), nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        QByteArray line;
        char c;
        while (!line.endsWith('\n') && ::read(out[0], &c, 1) == 1)
            line += c;
        ::close(out[0]);
        Socket = QString::fromLocal8Bit(line.trimmed()).section(' ', 1);
    }
    ~TSimUsbProcess() { Stop(); }

    // Ends the simulator (SIGTERM) and waits for it; whether it had already ended.
    bool Stop()
    {
        if (FPid <= 0)
            return true;
        const bool ended = ::waitpid(FPid, nullptr, WNOHANG) == FPid;
        if (!ended) {
            ::kill(FPid, SIGTERM);
            ::waitpid(FPid, nullptr, 0);
        }
        FPid = -1;
        return ended;
    }
    // Whether it ends on its own within TimeoutMs.
    bool Ends(int TimeoutMs)
    {
        const bool ended = FPid > 0 && WaitFor([&] { return ::waitpid(FPid, nullptr, WNOHANG) == FPid; }, TimeoutMs);
        if (ended)
            FPid = -1;
        return ended;
    }
    qint64 Pid() const { return FPid; }

    QString Socket;

private:
    pid_t FPid = -1;
};

class SimUsbStackTest : public ::testing::Test {
protected:
    SimUsbStackTest()
    {
        Device.OnPipeData = [this](QObject*, int Pipe, int) { Taken[Pipe] += Device.Pipes(Pipe)->ReadData(); };
        Device.OnDeviceRemoved = [this](QObject*) { ++Removed; };
    }

    void Connect()
    {
        Device.SetDeviceType(TDockFamily::tpCorvaneKelo6);
        ASSERT_EQ(Device.DeviceList(), QStringList{"usb:sim-" + QString::number(Sim.Pid())});
        Device.SetDeviceName(Device.DeviceList().first());
        ASSERT_TRUE(ConnectAndSettle(Device));
        Device.SetHalted(false);
    }

    QTemporaryDir Dir;
    TSimUsbProcess Sim{Dir.path()};  // before the device: no thread yet
    TScriptedDialogsScope Dialogs;
    TRemoteSimUsb Stack{Dir.path()};
    TUSBDevice Device{nullptr, &Stack};
    QByteArray Taken[4];
    int Removed = 0;
};

}  // namespace

TEST_F(SimUsbStackTest, FindsTheDeviceByClassMovesBytesBothWaysAndSeesItGo)
{
    ASSERT_TRUE(Sim.Socket.startsWith(Dir.path() + "/{D9A037FA-4214-4A73-8055-CD99EDDED50D}."));
    Device.SetDeviceType(TDockFamily::tpKeloExpress);
    EXPECT_TRUE(Device.DeviceList().isEmpty());
    Connect();
    ASSERT_EQ(Device.PipeCount(), 4);
    const QByteArray data(150, 'd');
    EXPECT_EQ(Device.Pipes(0)->QueueData(data), 150);
    EXPECT_EQ(Device.Pipes(3)->QueueData("ENQ ", 4), 4);
    ASSERT_TRUE(WaitFor([&] { return Taken[1] == data && Taken[2] == "ENQ "; }));

    EXPECT_FALSE(Sim.Stop());
    ASSERT_TRUE(WaitFor([&] { return Removed > 0 && !Device.IsConnected(); }));
    EXPECT_EQ(Removed, 1);
    EXPECT_TRUE(Device.Halted());
    EXPECT_TRUE(Device.DeviceList().isEmpty());
    EXPECT_TRUE(Dialogs->Texts().isEmpty());
}

TEST_F(SimUsbStackTest, RemovingTheSocketPullsTheDeviceOut)
{
    Connect();
    QFile::remove(Sim.Socket);
    ASSERT_TRUE(WaitFor([&] { return Removed == 1 && !Device.IsConnected(); }));
    EXPECT_TRUE(Sim.Ends(5000));  // nothing left to serve
}

TEST_F(SimUsbStackTest, AnEnvironmentVariableSelectsTheSimulatedStack)
{
    auto installed = SetUsbPlatform(nullptr);
    qputenv("KT4_USB_SIM", Dir.path().toLocal8Bit());
    {
        TUSBDevice device;
        device.SetDeviceType(TDockFamily::tpCorvaneKelo6);
        EXPECT_EQ(device.DeviceList().size(), 1);
    }
    qunsetenv("KT4_USB_SIM");
    SetUsbPlatform(std::move(installed));
}

// A second program opening a pipe that is in use is refused, as is an
// endpoint the device does not have; a closed pipe opens again.
TEST_F(SimUsbStackTest, ServesEachEndpointOnceAndOnlyThoseItHas)
{
    const QString path = "usb:sim-" + QString::number(Sim.Pid());
    QByteArray descriptor;
    int error = 0;
    ASSERT_EQ(Stack.FetchConfiguration(path, descriptor, error), TUSBPlatform::frOk);
    EXPECT_EQ(WalkConfiguration(descriptor).Endpoints.size(), 4u);
    EXPECT_EQ(Stack.FetchConfiguration("usb:sim-0", descriptor, error), TUSBPlatform::frOpenFailed);

    const int pipe = Stack.OpenPipe(path, 1, error);
    ASSERT_GE(pipe, 0);
    EXPECT_EQ(Stack.OpenPipe(path, 1, error), -1);
    EXPECT_EQ(error, EBUSY);
    EXPECT_EQ(Stack.OpenPipe(path, 4, error), -1);
    EXPECT_EQ(error, ENOENT);
    Stack.ClosePipe(pipe);
    EXPECT_TRUE(WaitFor([&] {
        const int again = Stack.OpenPipe(path, 1, error);
        Stack.ClosePipe(again);
        return again >= 0;
    }));
}
