// kt4-watch-bench: the service bench's two figures.
//
//  - Idle: kt4-flash --watch over four simulated docks that hold no
//    instrument: the CPU time of the bench and its four members over a
//    stretch of waiting, as a share of one core (goal: well under 1 %).
//  - Placed to first page: a simulated dock places an instrument; the time
//    from that moment to the first page the dock passes on (the connection,
//    the handshake, the image's check and the first page command).
//
// Run from a release build: build/release/bench/kt4-watch-bench [IDLE_SECONDS] [ROUNDS]

#include "bench/BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <functional>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// User and system CPU seconds of a process and its children still running
// (the bench's members), read from /proc.
double TreeCpuSeconds(qint64 Root, int* Processes = nullptr)
{
    const double tick = double(::sysconf(_SC_CLK_TCK));
    double seconds = 0;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // After the command's closing parenthesis: state, ppid, ... utime (14th), stime (15th).
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 13)
            continue;
        const qint64 parent = fields[1].toLongLong();
        if (pid == Root || parent == Root) {
            seconds += (fields[11].toDouble() + fields[12].toDouble()) / tick;
            if (Processes)
                ++*Processes;
        }
    }
    return seconds;
}

struct TDock {
    TDock(int Index, const QStringList& Options)
    {
        Address = StartSim(Process, QStringList{"--dock", "kelo6", "--no-enumerator", "--verbose", "--address",
                                                QString("127.0.9.%1").arg(Index)} + Options);
    }
    ~TDock()
    {
        Process.terminate();
        Process.waitForFinished();
    }
    QProcess Process;
    QString Address;
};

QProcess* StartWatch(const QString& Image, const std::vector<std::unique_ptr<TDock>>& Docks, QObject* Owner)
{
    QStringList arguments = {Image, "--watch", "--yes", "--no-history"};
    for (const auto& dock : Docks)
        arguments << "--dock" << dock->Address;
    auto* watch = new QProcess(Owner);
    watch->setStandardOutputFile(QProcess::nullDevice());
    watch->setStandardErrorFile(QProcess::nullDevice());
    watch->start(KT4_FLASH_PATH, arguments);
    watch->waitForStarted();
    return watch;
}

void StopWatch(QProcess* Watch)
{
    Watch->terminate();
    Watch->waitForFinished(30000);
}

double IdleShare(const QString& Image, int Seconds, int* Processes)
{
    std::vector<std::unique_ptr<TDock>> docks;
    for (int i = 1; i <= 4; ++i)
        docks.push_back(std::make_unique<TDock>(i, QStringList{"--instruments", "1", "--insert-after-ms", "3600000"}));
    QObject owner;
    QProcess* watch = StartWatch(Image, docks, &owner);
    QByteArray logs[4];
    const bool waiting = RunLoopUntil([&] {
        int asked = 0;
        for (int i = 0; i < 4; ++i) {
            logs[i] += docks[i]->Process.readAllStandardError();
            asked += logs[i].contains("<- SLV");
        }
        return asked == 4;
    }, 60000);
    if (!waiting) {
        StopWatch(watch);
        return -1;
    }
    RunLoopFor(1000);  // settled
    const double before = TreeCpuSeconds(watch->processId());
    RunLoopFor(Seconds * 1000);
    const double used = TreeCpuSeconds(watch->processId(), Processes) - before;
    StopWatch(watch);
    return 100.0 * used / Seconds;
}

// Milliseconds from an instrument placed to the first page passed on, or a
// negative number when none came.
double PlacedToFirstPage(const QString& Image)
{
    std::vector<std::unique_ptr<TDock>> docks;
    docks.push_back(std::make_unique<TDock>(5, QStringList{"--instruments", "1", "--insert-after-ms", "3000"}));
    QObject owner;
    QProcess* watch = StartWatch(Image, docks, &owner);
    QByteArray log;
    QElapsedTimer placed;
    double first = -1;
    RunLoopUntil([&] {
        const QByteArray more = docks[0]->Process.readAllStandardError();
        if (!placed.isValid() && more.contains("placed"))
            placed.start();
        if (placed.isValid() && more.contains("<- WEP"))
            first = double(placed.nsecsElapsed()) / 1e6;
        log += more;
        return first >= 0;
    }, 60000);
    StopWatch(watch);
    return first;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    QTemporaryDir dir;
    const QString image = dir.filePath("image.bin");
    QProcess maker;
    maker.start(KT4_SIM_PATH, {"--make-image", image, "--image-version", "2.00"});
    maker.waitForFinished();

    int processes = 0;
    const double idle = IdleShare(image, seconds, &processes);
    std::printf("watch, four docks, no instrument: %.2f %% of one core over %d s (the bench and its members, %d processes)\n",
                idle, seconds, processes);
    std::vector<double> firsts;
    for (int i = 0; i < rounds; ++i)
        firsts.push_back(PlacedToFirstPage(image));
    std::sort(firsts.begin(), firsts.end());
    std::printf("instrument placed to its first page: median %.0f ms (min %.0f, max %.0f, %d rounds)\n",
                firsts[firsts.size() / 2], firsts.front(), firsts.back(), rounds);
    return idle >= 0 && firsts.front() >= 0 ? 0 : 1;
}
