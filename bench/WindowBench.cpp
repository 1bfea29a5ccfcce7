// kt4-window-bench: what the window costs while it waits, and how responsive
// it stays during an upload. Runs on the offscreen platform unless another is
// chosen.
//
//  1. the window waiting for the operator for 10 s: the CPU the process uses
//     (goal: nothing measurable);
//  2. an upload through the window against the simulator paced at 115200 baud:
//     how late a 20 ms timer fires while the pages go out (goal: p99 < 20 ms,
//     worst < 100 ms), and the upload's time.
//
// Run from a release build: build/release/bench/kt4-window-bench

#include "app/uDebug.h"
#include "bench/BenchSupport.h"
#include "app/uFlash.h"
#include "controls/Gauges.h"
#include "controls/JpegImage.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace {

constexpr int TickMs = 20;

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TGuardedApplication<QApplication> app(argc, argv);
    InitControlsResources();
    auto scripted = std::make_unique<TScriptedDialogs>();
    TScriptedDialogs* dialogs = scripted.get();
    SetDialogService(std::move(scripted));

    QTemporaryDir dir;
    const QString image = dir.filePath("bench.bin");
    QProcess::execute(KT4_SIM_PATH, {"--make-image", image, "--image-version", "1.20", "--image-date",
                                     "2026-12-01 08:30:00"});
    QProcess sim;
    qputenv("KT4_IRCOMM", StartSim(sim, {"--baud", "115200"}).toLocal8Bit());

    TfrmUpgrade window;
    TfrmDebug debug;
    window.SetDebugWindow(&debug);
    window.show();
    RunLoopFor(1000);

    const double before = CpuSeconds();
    RunLoopFor(10000);
    std::printf("window waiting for the operator for 10 s: %.3f%% of a core\n",
                100.0 * (CpuSeconds() - before) / 10.0);

    bool ended = false;
    QString summary;
    dialogs->OnShow = [&](const TDialogRecord& Record) {
        if (Record.Text == "Flash Upload Completed" || Record.Text == "Corvane ZRA/ZRN Disconnected") {
            ended = true;
            summary = Record.Text;
        }
    };
    dialogs->QueueFile(image);
    std::vector<double> lateness;
    QElapsedTimer clock;
    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (window.gauProgress->Progress() > 0)
            lateness.push_back(std::max(0.0, sinceTick.nsecsElapsed() / 1e6 - TickMs));
        sinceTick.restart();
    });
    clock.start();
    sinceTick.start();
    tick.start(TickMs);
    window.cbStart->click();
    while (!ended && clock.elapsed() < 120000)
        RunLoopFor(100);
    tick.stop();

    std::sort(lateness.begin(), lateness.end());
    const auto at = [&](double q) { return lateness.empty() ? -1.0 : lateness[size_t(q * (lateness.size() - 1))]; };
    std::printf("upload through the window at 115200 baud: %s after %.2f s\n", qPrintable(summary),
                clock.elapsed() / 1000.0);
    std::printf("a %d ms timer during the upload (%zu ticks): late by median %.2f ms, p99 %.2f ms, worst %.2f ms\n",
                TickMs, lateness.size(), at(0.5), at(0.99), at(1.0));
    sim.terminate();
    sim.waitForFinished();
    return ended && summary == "Flash Upload Completed" ? 0 : 1;
}
