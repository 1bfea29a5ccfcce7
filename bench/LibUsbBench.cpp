// kt4-libusb-bench: what a dock costs on the libusb back end, on an emulated
// USB bus (umockdev; the program starts itself under umockdev-wrapper):
//
//  1. an emulated dock that echoes, connected, halted for 2 s, then released
//     and idle for 10 s: the CPU this process uses (the receive thread,
//     libusb's event thread and the emulation's own thread together; goal:
//     under 0.5 % of a core) and the usbfs requests libusb made meanwhile (an
//     event thread that spins makes thousands);
//  2. a page's exchange (264 bytes out, 6 back) with an emulated dock that
//     answers at once: the road's own latency through libusb;
//  3. kt4-flash --dock usb through the simulated Kelo6 dock (kt4-sim) put
//     behind the emulated dock, the instrument paced at 115200 baud (8N1):
//     the time from the first page to the program command's answer, read from
//     kt4-flash's trace, as a ratio of the instrument line's own time for the
//     same bytes (goal: <= 1.05); then the same on the simulated USB stack
//     (KT4_USB_SIM), without libusb, for comparison. Each exchange's time
//     beyond its line time tells the road's cost apart from a loaded
//     machine's stalls; on libusb the usbfs requests per exchange too.
//
// Run from a release build: build/release/bench/kt4-libusb-bench

#include "bench/BenchSupport.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"
#include "tests/umock/SimUsbBridge.h"
#include "usb/LibUsbPlatform.h"
#include "usb/USBPipe.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTime>
#include <algorithm>
#include <cstdio>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <mutex>
#include <optional>
#include <vector>

namespace {

constexpr quint16 Vendor = 0x1209;
constexpr quint16 Product = 0x4B35;

// Connects and waits on the event loop until the device has settled.
bool Connected(TUSBDevice& Device)
{
    std::optional<bool> connected;
    Device.Connect([&](bool Connected) { connected = Connected; });
    RunLoopUntil([&] { return connected.has_value(); });
    return *connected;
}

void IdleDock()
{
    TUmockTestbed testbed;
    TEmulatedIdentity identity;
    identity.Vendor = Vendor;
    identity.Product = Product;
    identity.Endpoints = {{0x01}, {0x81}, {0x82}, {0x02}};
    TEmulatedUsbDevice dock(testbed, identity);
    dock.OnOut = [&dock](quint8 Endpoint, const QByteArray& Bytes) { dock.Send(Endpoint == 0x01 ? 0x81 : 0x82, Bytes); };
    dock.Plug();
    qputenv("KT4_USB_KELO6", dock.IdText().toLatin1());
    TLibUsbPlatform usb;
    {
        TUSBDevice device(nullptr, &usb);
        device.SetDeviceType(TDockFamily::tpCorvaneKelo6);
        device.SetDeviceName(dock.DevicePath());
        if (!Connected(device)) {
            std::printf("the emulated dock could not be connected\n");
            return;
        }
        QByteArray back;
        device.OnPipeData = [&](QObject*, int Pipe, int) { back += device.Pipes(Pipe)->ReadData(); };
        RunLoopFor(2000);
        device.SetHalted(false);
        device.Pipes(3)->QueueData("ENQ0", 4);  // one answer through, then quiet
        RunLoopFor(500);
        const int requests = dock.Requests();
        const double cpu = CpuSeconds();
        constexpr int Seconds = 10;
        RunLoopFor(Seconds * 1000);
        std::printf("libusb, emulated dock connected, released, idle for %d s: %.3f %% of a core (goal < 0.5 %%), "
                    "%d usbfs requests; the echo %s\n",
                    Seconds, 100.0 * (CpuSeconds() - cpu) / Seconds, dock.Requests() - requests,
                    back == "ENQ0" ? "came back" : "DID NOT COME BACK");
    }
    qunsetenv("KT4_USB_KELO6");
}

// A page's exchange without the dock behind: 264 bytes out on pipe 0, the
// emulated dock echoes 6 of them at once on pipe 1; the time from the write
// to the answer taken, for each of Rounds exchanges.
void PageEcho()
{
    constexpr int Rounds = 300;
    TUmockTestbed testbed;
    TEmulatedIdentity identity;
    identity.Vendor = Vendor;
    identity.Product = Product;
    identity.Endpoints = {{0x01}, {0x81}, {0x82}, {0x02}};
    TEmulatedUsbDevice dock(testbed, identity);
    std::mutex lock;
    QByteArray page;
    dock.OnOut = [&](quint8 Endpoint, const QByteArray& Bytes) {
        std::lock_guard hold(lock);
        page += Bytes;
        if (Endpoint == 0x01 && page.size() >= 264) {
            dock.Send(0x81, page.left(6));
            page.clear();
        }
    };
    dock.Plug();
    qputenv("KT4_USB_KELO6", dock.IdText().toLatin1());
    TLibUsbPlatform usb;
    {
        TUSBDevice device(nullptr, &usb);
        device.SetDeviceType(TDockFamily::tpCorvaneKelo6);
        device.SetDeviceName(dock.DevicePath());
        if (!Connected(device)) {
            std::printf("the emulated dock could not be connected\n");
            return;
        }
        device.SetHalted(false);
        QByteArray back;
        device.OnPipeData = [&](QObject*, int Pipe, int) { back += device.Pipes(Pipe)->ReadData(); };
        std::vector<double> ms;
        QElapsedTimer clock;
        for (int round = 0; round < Rounds; ++round) {
            back.clear();
            clock.start();
            device.Pipes(0)->QueueData(QByteArray(264, char('A' + round % 26)));
            RunLoopUntil([&] { return back.size() >= 6; }, 5000);
            ms.push_back(clock.nsecsElapsed() / 1e6);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("libusb, a page's exchange with the emulated dock answering at once (%d rounds): median %.2f ms, "
                    "90th percentile %.2f ms\n",
                    Rounds, ms[ms.size() / 2], ms[ms.size() * 9 / 10]);
    }
    qunsetenv("KT4_USB_KELO6");
}

struct TTraceFigures {
    bool Completed = false;
    double Seconds = 0;
    qint64 Bytes = 0;
    // Per exchange (a message sent and its answer): the time beyond the line
    // time of its bytes, in ms. The median shows the road's own cost apart
    // from the stalls a loaded machine adds.
    std::vector<double> OverheadMs;
};

// From the first page sent to the last answer received.
double LineSeconds(qint64 Bytes)
{
    constexpr double BitsPerByte = 10.0;  // 8N1
    constexpr double Baud = 115200.0;
    return Bytes * BitsPerByte / Baud;
}

TTraceFigures ReadTrace(const QString& Path)
{
    static const QRegularExpression line(QStringLiteral(R"(^\S+ (\d\d:\d\d:\d\d\.\d\d\d) (SND|RCV) +(\d+) "(.*)$)"));
    TTraceFigures figures;
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return figures;
    int first = -1;
    int last = -1;
    int sentAt = -1;
    qint64 sentBytes = 0;
    const auto msOf = [](const QString& Time) { return QTime::fromString(Time, "hh:mm:ss.zzz").msecsSinceStartOfDay(); };
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString text = QString::fromLatin1(raw);
        if (text.contains("Flash Upload Completed"))
            figures.Completed = true;
        const QRegularExpressionMatch m = line.match(text);
        if (!m.hasMatch())
            continue;
        if (first < 0 && !(m.captured(2) == "SND" && m.captured(4).startsWith("WEP")))
            continue;
        if (first < 0)
            first = msOf(m.captured(1));
        const int at = msOf(m.captured(1));
        const qint64 bytes = m.captured(3).toLongLong();
        figures.Bytes += bytes;
        if (m.captured(2) == "SND") {
            sentAt = at;
            sentBytes = bytes;
        } else {
            last = at;
            if (sentAt >= 0)
                figures.OverheadMs.push_back(at - sentAt - LineSeconds(sentBytes + bytes) * 1000.0);
            sentAt = -1;
        }
    }
    if (first >= 0 && last >= first)
        figures.Seconds = (last - first) / 1000.0;
    return figures;
}

TTraceFigures Upload(const QString& Image, const QString& Trace, const QStringList& Environment)
{
    QProcess flash;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : Environment)
        env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    flash.setProcessEnvironment(env);
    flash.setProcessChannelMode(QProcess::MergedChannels);
    flash.start(KT4_FLASH_PATH, {Image, "--dock", "usb", "--yes", "--trace", Trace});
    flash.closeWriteChannel();
    if (!flash.waitForFinished(300000))
        flash.kill();
    flash.waitForFinished();
    return ReadTrace(Trace);
}

void Report(const char* What, TTraceFigures F)
{
    const double line = LineSeconds(F.Bytes);
    std::printf("%s, paced 115200 8N1: %s, %.3f s for %lld bytes; line time %.3f s; ratio %.4f (goal <= 1.05)\n", What,
                F.Completed ? "completed" : "FAILED", F.Seconds, static_cast<long long>(F.Bytes), line,
                line > 0 ? F.Seconds / line : 0.0);
    if (F.OverheadMs.empty() || line <= 0)
        return;
    std::sort(F.OverheadMs.begin(), F.OverheadMs.end());
    const auto at = [&](double Fraction) { return F.OverheadMs[std::size_t(Fraction * (F.OverheadMs.size() - 1))]; };
    // The trace's times are whole milliseconds: the mean of the fastest 90 %
    // resolves finer than the median and leaves out a loaded machine's stalls.
    const std::size_t kept = std::max<std::size_t>(1, F.OverheadMs.size() * 9 / 10);
    double trimmed = 0;
    for (std::size_t n = 0; n < kept; ++n)
        trimmed += F.OverheadMs[n];
    trimmed /= kept;
    std::printf("  %zu exchanges, time beyond their line time: median %.2f ms, mean of the fastest 90 %% %.2f ms, "
                "90th percentile %.2f ms, most %.2f ms; at that mean throughout, ratio %.4f\n",
                F.OverheadMs.size(), at(0.5), trimmed, at(0.9), F.OverheadMs.back(),
                (line + trimmed * F.OverheadMs.size() / 1000.0) / line);
}

}  // namespace

int main(int argc, char** argv)
{
    TUmockTestbed::RunUnderPreload(argc, argv);
    if (!TUmockTestbed::Preloaded())
        return 1;
    TCoreApplication app(argc, argv);
    SetDialogService(std::make_unique<TConsoleDialogs>(true));
    qunsetenv("KT4_USB_SIM");
    IdleDock();
    PageEcho();

    QTemporaryDir dir;
    const QString image = dir.filePath("bench.bin");
    QProcess::execute(KT4_SIM_PATH, {"--make-image", image, "--image-version", "1.20", "--image-date",
                                     "2026-12-01 08:30:00"});
    const QString usbDir = dir.filePath("usb");
    QDir().mkpath(usbDir);
    {
        TUmockTestbed testbed;
        QProcess sim;
        StartSim(sim, {"--dock", "kelo6", "--usb", usbDir, "--baud", "115200"});
        {
            TSimUsbBridge dock(testbed, usbDir, Vendor, Product);
            const int before = dock.Device().Requests();
            const int submitted = dock.Device().Requests(USBDEVFS_SUBMITURB);
            const TTraceFigures figures =
                Upload(image, dir.filePath("libusb.trace"), {"KT4_USB_KELO6=" + dock.Device().IdText()});
            Report("kt4-flash --dock usb, libusb on the emulated bus", figures);
            if (!figures.OverheadMs.empty())
                std::printf("  usbfs requests per exchange: %.1f, transfers submitted per exchange: %.1f\n",
                            double(dock.Device().Requests() - before) / figures.OverheadMs.size(),
                            double(dock.Device().Requests(USBDEVFS_SUBMITURB) - submitted) / figures.OverheadMs.size());
        }
        sim.terminate();
        sim.waitForFinished();
    }
    {
        QProcess sim;
        StartSim(sim, {"--dock", "kelo6", "--usb", usbDir, "--baud", "115200"});
        Report("kt4-flash --dock usb, the simulated USB stack",
               Upload(image, dir.filePath("sim.trace"), {"KT4_USB_SIM=" + usbDir}));
        sim.terminate();
        sim.waitForFinished();
    }
    return 0;
}
