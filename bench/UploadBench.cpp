// kt4-bench: how fast an upload is, and what an idle link costs.
//
//  1. against the simulator paced at 115200 baud (8N1): the upload's time as a
//     ratio of the line's own time for the bytes exchanged (goal: <= 1.05);
//  2. against an unpaced simulator: our own time per page (goal: < 1 ms);
//  3. the same over the simulated IrDA stack (discovery, IrCOMM session);
//  4. connected and idle for 10 s: the CPU the process uses (goal: < 1%).
//
// Run from a release build: build/release/bench/kt4-bench

#include "bench/BenchSupport.h"
#include "head/KT4Head.h"
#include "link/SimulatedIrda.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace {

class TSim {
public:
    TSim(const QStringList& Options) { Pty = StartSim(FProcess, Options); }
    ~TSim()
    {
        FProcess.terminate();
        FProcess.waitForFinished();
    }
    QString Pty;

private:
    QProcess FProcess;
};

struct TUploadFigures {
    bool Completed = false;
    double Seconds = 0;
    double CpuSeconds = 0;
    qint64 BytesOnLine = 0;
};

// The simulated IrDA stack served at a path, in force while it lives.
struct TIrdaStackScope {
    explicit TIrdaStackScope(const QString& Path)
        : Previous(SetIrdaPlatform(std::make_unique<TRemoteSimIrda>(Path)))
    {
    }
    ~TIrdaStackScope() { SetIrdaPlatform(std::move(Previous)); }
    std::unique_ptr<TIrdaPlatform> Previous;
};

// Brings the instrument online, then uploads Image and measures from the
// first page to the acknowledged program command. Address is the simulator's
// pseudo-terminal, or with OverIrda the socket of its simulated IrDA stack.
TUploadFigures Upload(const QString& Address, const QString& Image, bool OverIrda = false)
{
    std::optional<TIrdaStackScope> irda;
    if (OverIrda)
        irda.emplace(Address);
    TKeskLink link;
    TKT4Head head;
    head.SetKeskLink(&link);
    RunLoopFor(150);  // the link's start-up step
    if (!OverIrda) {
        link.SetUseIrSocket(false);
        link.SetIrComDevice(Address);
    }
    head.LoadFlashFile(Image);

    TUploadFigures figures;
    QEventLoop loop;
    QElapsedTimer clock;
    double cpuAtStart = 0;
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
            cpuAtStart = CpuSeconds();
            clock.start();
            head.SendFlash();
        });
    };
    head.OnProgFlashSent = [&](QObject*, int error) {
        figures.Seconds = clock.nsecsElapsed() / 1e9;
        figures.CpuSeconds = CpuSeconds() - cpuAtStart;
        figures.Completed = error == 0;
        counting = false;
    };
    head.Connect(true);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    return figures;
}

double IdleCpuPercent(const QString& Pty, int Seconds)
{
    TKeskLink link;
    TKT4Head head;
    head.SetKeskLink(&link);
    RunLoopFor(150);
    link.SetUseIrSocket(false);
    link.SetIrComDevice(Pty);
    bool online = false;
    head.OnIsOnline = [&](QObject*, bool s) { online = s; };
    head.Connect(true);
    for (int i = 0; i < 100 && !online; ++i)
        RunLoopFor(50);
    if (!online)
        return -1;
    const double before = CpuSeconds();
    RunLoopFor(Seconds * 1000);
    return 100.0 * (CpuSeconds() - before) / Seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    TCoreApplication app(argc, argv);
    SetDialogService(std::make_unique<TConsoleDialogs>(true));
    QTemporaryDir dir;
    const QString image = dir.filePath("bench.bin");
    QProcess::execute(KT4_SIM_PATH, {"--make-image", image, "--image-version", "1.20", "--image-date",
                                     "2026-12-01 08:30:00"});
    constexpr double BitsPerByte = 10.0;  // 8N1
    constexpr double Baud = 115200.0;

    {
        TSim sim({"--baud", "115200"});
        const TUploadFigures f = Upload(sim.Pty, image);
        const double lineSeconds = f.BytesOnLine * BitsPerByte / Baud;
        std::printf("paced 115200 8N1: %s, %.3f s for %lld bytes; line time %.3f s; ratio %.4f (goal <= 1.05)\n",
                    f.Completed ? "completed" : "FAILED", f.Seconds, static_cast<long long>(f.BytesOnLine),
                    lineSeconds, f.Seconds / lineSeconds);
    }
    {
        TSim sim({});
        const TUploadFigures f = Upload(sim.Pty, image);
        const int pages = 446;
        std::printf("unpaced: %s, %.3f s wall, %.3f ms wall per page, %.3f ms of our CPU per page (goal < 1 ms)\n",
                    f.Completed ? "completed" : "FAILED", f.Seconds, 1000 * f.Seconds / pages,
                    1000 * f.CpuSeconds / pages);
    }
    {
        QTemporaryDir irdaDir;
        TSim sim({"--irda", irdaDir.filePath("irda.sock")});
        const TUploadFigures f = Upload(sim.Pty, image, true);
        const int pages = 446;
        std::printf("unpaced over the simulated IrDA stack: %s, %.3f s wall, %.3f ms wall per page, %.3f ms of our "
                    "CPU per page (goal < 1 ms)\n",
                    f.Completed ? "completed" : "FAILED", f.Seconds, 1000 * f.Seconds / pages,
                    1000 * f.CpuSeconds / pages);
    }
    {
        TSim sim({});
        const double percent = IdleCpuPercent(sim.Pty, 10);
        std::printf("connected and idle for 10 s: %.3f%% of a core (goal < 1%%)\n", percent);
    }
    return 0;
}
