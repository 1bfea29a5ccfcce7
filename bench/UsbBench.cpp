// kt4-usb-bench: what a USB dock costs, on the simulated USB stack served by
// kt4-sim --usb (a device that echoes pipe 0 on pipe 1):
//
//  1. connected and halted, idle for 5 s, then released and idle for 10 s:
//     the CPU this process uses (goal: under 0.5% of a core) and its wake-ups;
//  2. 64 KiB written to pipe 0 and echoed back on pipe 1: the time until the
//     last slice has left, and until the last byte is back.
//
// Run from a release build: build/release/bench/kt4-usb-bench

#include "bench/BenchSupport.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"
#include "usb/RemoteSimUsb.h"
#include "usb/USBPipe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <sys/resource.h>

namespace {

long WakeUps()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

void Idle(const char* What, int Seconds)
{
    const double cpu = CpuSeconds();
    const long wakeUps = WakeUps();
    RunLoopFor(Seconds * 1000);
    std::printf("%s, idle for %d s: %.3f%% of a core (goal < 0.5%%), %ld context switches\n", What, Seconds,
                100.0 * (CpuSeconds() - cpu) / Seconds, WakeUps() - wakeUps);
}

// Connects and waits on the event loop until the device has settled.
bool Connected(TUSBDevice& Device)
{
    std::optional<bool> connected;
    Device.Connect([&](bool Connected) { connected = Connected; });
    RunLoopUntil([&] { return connected.has_value(); });
    return *connected;
}

void MoveBothWays(TUSBDevice& Device, int Size)
{
    QByteArray back;
    Device.OnPipeData = [&](QObject*, int Pipe, int) { back += Device.Pipes(Pipe)->ReadData(); };
    QByteArray block(Size, '\0');
    for (int i = 0; i < Size; ++i)
        block[i] = char(i * 7);
    QTimer look;  // nothing says when the last slice has left: looked for every millisecond
    look.start(1);
    QElapsedTimer clock;
    clock.start();
    const double cpu = CpuSeconds();
    Device.Pipes(0)->QueueData(block);
    RunLoopUntil([&] { return Device.Pipes(0)->OutputBufferCount() == 0; }, 60000);
    const double out = clock.nsecsElapsed() / 1e6;
    RunLoopUntil([&] { return back.size() >= Size; }, int(std::max<qint64>(0, 60000 - clock.elapsed())));
    const double in = clock.nsecsElapsed() / 1e6;
    std::printf("%d KiB out through pipe 0: %.1f ms (%.0f KiB/s); echoed back on pipe 1: %.1f ms (%s); "
                "%.1f ms of our CPU\n",
                Size / 1024, out, Size / 1024.0 / (out / 1000), in, back == block ? "intact" : "CORRUPT",
                1000 * (CpuSeconds() - cpu));
}

}  // namespace

int main(int argc, char** argv)
{
    TCoreApplication app(argc, argv);
    SetDialogService(std::make_unique<TConsoleDialogs>(true));
    QTemporaryDir dir;
    QProcess sim;
    StartSim(sim, {"--usb", dir.path()});
    TRemoteSimUsb stack(dir.path());
    {
        TUSBDevice device(nullptr, &stack);
        device.SetDeviceType(TDockFamily::tpCorvaneKelo6);
        if (device.DeviceList().isEmpty()) {
            std::printf("the simulator serves no device\n");
            return 1;
        }
        device.SetDeviceName(device.DeviceList().first());
        if (!Connected(device))
            return 1;
        Idle("connected, halted", 5);
        device.SetHalted(false);
        Idle("connected, released", 10);
        MoveBothWays(device, 64 * 1024);
    }
    sim.terminate();
    sim.waitForFinished();
    return 0;
}
