// kt4-dock-bench: an upload through the simulated Kelo6 dock over the network
// and on the simulated USB stack, and what an enabled, idle dock costs.
//
//  1. the simulated dock's instrument paced at 115200 baud (8N1): the upload's
//     time as a ratio of the instrument line's own time (goal: <= 1.05);
//  2. unpaced: our own time per page through the dock;
//  3. enabled with the instrument passed through, idle for 10 s: the CPU the
//     process uses (goal: < 0.5 % of a core).
//
// Run from a release build: build/release/bench/kt4-dock-bench

#include "bench/BenchSupport.h"
#include "dock/CorvaneKelo6Dock.h"
#include "dock/USBDockDevice.h"
#include "head/KT4Head.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace {

// The simulated dock at its own loopback address, ended with the object.
class TSimDock {
public:
    TSimDock(const QString& Address, const QStringList& Options)
    {
        Address_ = StartSim(FProcess, QStringList{"--dock", "kelo6", "--address", Address} + Options);
    }
    // The same dock on the simulated USB stack served in UsbDir (KT4_USB_SIM).
    TSimDock(const QStringList& Options, const QString& UsbDir)
    {
        StartSim(FProcess, QStringList{"--dock", "kelo6", "--usb", UsbDir} + Options);
        Address_ = "usb";
    }
    ~TSimDock()
    {
        FProcess.terminate();
        FProcess.waitForFinished();
    }
    QString Address_;

private:
    QProcess FProcess;
};

struct TUploadFigures {
    bool Completed = false;
    double Seconds = 0;
    qint64 BytesOnLine = 0;
};

// Brings the instrument online through the dock, then uploads Image and
// measures from the first page to the acknowledged program command.
TUploadFigures Upload(const QString& Address, const QString& Image)
{
    TUSBDevice device;
    TUSBDockDevice usb(&device);
    TCorvaneKelo6Dock dock;
    if (Address == "usb") {
        usb.SetDeviceType(TDockFamily::tpCorvaneKelo6);
        const QStringList docks = usb.RefreshDeviceList();
        if (docks.isEmpty())
            return {};
        usb.SetDeviceName(docks.first());
        dock.SetUSBDevice(&usb);
    } else {
        dock.SetEthernetAddress(Address);
    }
    TKeskLink link;
    link.SetDock(&dock);
    TKT4Head head;
    head.SetKeskLink(&link);
    RunLoopFor(150);  // the link's start-up step
    head.LoadFlashFile(Image);

    TUploadFigures figures;
    QEventLoop loop;
    QElapsedTimer clock;
    bool counting = false;
    link.OnDebugSend = [&](QObject*, const QByteArray& d) { figures.BytesOnLine += counting ? d.size() : 0; };
    link.OnDebugReceive = [&](QObject*, const QByteArray& d) { figures.BytesOnLine += counting ? d.size() : 0; };
    head.OnIsOnline = [&](QObject*, bool online) {
        if (!online) {
            loop.quit();
            return;
        }
        QTimer::singleShot(0, [&] {
            counting = true;
            clock.start();
            head.SendFlash();
        });
    };
    head.OnProgFlashSent = [&](QObject*, int error) {
        figures.Seconds = clock.nsecsElapsed() / 1e9;
        figures.Completed = error == 0;
        counting = false;
    };
    head.Connect(true);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    dock.SetUSBDevice(nullptr);
    return figures;
}

double IdleCpuPercent(const QString& Address, int Seconds)
{
    TCorvaneKelo6Dock dock;
    dock.SetEthernetAddress(Address);
    bool connected = false;
    dock.OnInstrumentConnected = [&](QObject*) { connected = true; };
    std::optional<bool> opened;
    dock.Open([&](bool Enabled) { opened = Enabled; });
    for (int i = 0; i < 300 && !opened; ++i)
        RunLoopFor(20);
    if (!opened.value_or(false))
        return -1;
    std::optional<TSlaveAnswer> answer;
    dock.RequestSlaveMode([&](TSlaveAnswer Answer) { answer = Answer; });
    for (int i = 0; i < 100 && !connected; ++i)
        RunLoopFor(20);
    if (answer != TSlaveAnswer::Passing)
        return -1;
    const double before = CpuSeconds();
    RunLoopFor(Seconds * 1000);
    return dock.Enabled() ? 100.0 * (CpuSeconds() - before) / Seconds : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    TCoreApplication app(argc, argv);
    SetDialogService(std::make_unique<TConsoleDialogs>(true));
    QTemporaryDir dir;
    // The simulated USB stack, chosen before any USB device is made.
    qputenv("KT4_USB_SIM", dir.filePath("usb").toLocal8Bit());
    QDir().mkpath(dir.filePath("usb"));
    const QString image = dir.filePath("bench.bin");
    QProcess::execute(KT4_SIM_PATH, {"--make-image", image, "--image-version", "1.20", "--image-date",
                                     "2026-12-01 08:30:00"});
    constexpr double BitsPerByte = 10.0;  // 8N1
    constexpr double Baud = 115200.0;
    {
        TSimDock sim("127.0.44.1", {"--baud", "115200"});
        const TUploadFigures f = Upload(sim.Address_, image);
        const double lineSeconds = f.BytesOnLine * BitsPerByte / Baud;
        std::printf("dock, network, paced 115200 8N1: %s, %.3f s for %lld bytes; line time %.3f s; ratio %.4f "
                    "(goal <= 1.05)\n",
                    f.Completed ? "completed" : "FAILED", f.Seconds, static_cast<long long>(f.BytesOnLine),
                    lineSeconds, f.Seconds / lineSeconds);
    }
    {
        TSimDock sim("127.0.44.2", {});
        const TUploadFigures f = Upload(sim.Address_, image);
        std::printf("dock, network, unpaced: %s, %.3f s, %.3f ms per page\n", f.Completed ? "completed" : "FAILED",
                    f.Seconds, f.Seconds * 1000 / 446);
    }
    {
        TSimDock sim({"--baud", "115200"}, dir.filePath("usb"));
        const TUploadFigures f = Upload(sim.Address_, image);
        const double lineSeconds = f.BytesOnLine * BitsPerByte / Baud;
        std::printf("dock, USB, paced 115200 8N1: %s, %.3f s for %lld bytes; line time %.3f s; ratio %.4f "
                    "(goal <= 1.05)\n",
                    f.Completed ? "completed" : "FAILED", f.Seconds, static_cast<long long>(f.BytesOnLine),
                    lineSeconds, f.Seconds / lineSeconds);
    }
    {
        TSimDock sim({}, dir.filePath("usb"));
        const TUploadFigures f = Upload(sim.Address_, image);
        std::printf("dock, USB, unpaced: %s, %.3f s, %.3f ms per page\n", f.Completed ? "completed" : "FAILED",
                    f.Seconds, f.Seconds * 1000 / 446);
    }
    {
        TSimDock sim("127.0.44.3", {});
        const double cpu = IdleCpuPercent(sim.Address_, 10);
        std::printf("dock enabled and idle for 10 s: %.3f %% of a core (goal < 0.5 %%)\n", cpu);
    }
    return 0;
}
