// kt4-libusb-bench: what a dock costs on the libusb back end, on an emulated
// USB bus (umockdev; the program starts itself under umockdev-wrapper):
//
//  1. an emulated dock that echoes, connected, halted for 2 s, then released
//     and idle for 10 s: the CPU this process uses (the receive thread,
//     libusb's event thread and the emulation's own thread together; goal:
//     under 0.5 % of a core) and the usbfs requests libusb made meanwhile (an
//     event thread that spins makes thousands);
//  2. kt4-flash --dock usb through the simulated Kelo6 dock (kt4-sim) put
//     behind the emulated dock, the instrument paced at 115200 baud (8N1):
//     the time from the first page to the program command's answer, read from
//     kt4-flash's trace, as a ratio of the instrument line's own time for the
//     same bytes (goal: <= 1.05); then the same on the simulated USB stack
//     (KT4_USB_SIM), without libusb, for comparison.
//
// Run from a release build: build/release/bench/kt4-libusb-bench

#include "bench/BenchSupport.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"
#include "tests/umock/SimUsbBridge.h"
#include "usb/LibUsbPlatform.h"
#include "usb/USBPipe.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTime>
#include <cstdio>

namespace {

constexpr quint16 Vendor = 0x1209;
constexpr quint16 Product = 0x4B35;

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
        device.SetDeviceType(tpCorvaneKelo6);
        device.SetDeviceName(dock.DevicePath());
        if (!device.Connect()) {
            std::printf("the emulated dock could not be connected\n");
            return;
        }
        QByteArray back;
        device.OnPipeData = [&](QObject*, int Pipe, int) { back += device.Pipes(Pipe)->ReadData(); };
        RunLoopFor(2000);
        device.SetHalted(false);
        device.Pipes(3)->WriteData("ENQ0");  // one answer through, then quiet
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

struct TTraceFigures {
    bool Completed = false;
    double Seconds = 0;
    qint64 Bytes = 0;
};

// From the first page sent to the last answer received.
TTraceFigures ReadTrace(const QString& Path)
{
    static const QRegularExpression line(QStringLiteral(R"(^\S+ (\d\d:\d\d:\d\d\.\d\d\d) (SND|RCV) +(\d+) "(.*)$)"));
    TTraceFigures figures;
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return figures;
    int first = -1;
    int last = -1;
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
        figures.Bytes += m.captured(3).toLongLong();
        if (m.captured(2) == "RCV")
            last = msOf(m.captured(1));
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

void Report(const char* What, const TTraceFigures& F)
{
    constexpr double BitsPerByte = 10.0;  // 8N1
    constexpr double Baud = 115200.0;
    const double line = F.Bytes * BitsPerByte / Baud;
    std::printf("%s, paced 115200 8N1: %s, %.3f s for %lld bytes; line time %.3f s; ratio %.4f (goal <= 1.05)\n", What,
                F.Completed ? "completed" : "FAILED", F.Seconds, static_cast<long long>(F.Bytes), line,
                line > 0 ? F.Seconds / line : 0.0);
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
            Report("kt4-flash --dock usb, libusb on the emulated bus",
                   Upload(image, dir.filePath("libusb.trace"), {"KT4_USB_KELO6=" + dock.Device().IdText()}));
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
