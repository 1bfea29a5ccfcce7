// kt4-shelf-bench: a shelf of four simulated instruments against one, each
// paced at 115200 baud (8N1), from kt4-flash's start to its exit (goal: four
// take under 1.2 times as long as one). Each run is checked: exit status 0
// and every simulator's flash equal to the image.
//
// Run from a release build: build/release/bench/kt4-shelf-bench [ROUNDS]

#include "bench/BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int FirstFlashAddress = 66 * 256;

QByteArray ReadFile(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct TPacedSim {
    TPacedSim(const QString& FlashOut) : Flash(FlashOut)
    {
        Pty = StartSim(Process, {"--baud", "115200", "--flash-out", FlashOut});
    }
    ~TPacedSim()
    {
        Process.terminate();
        Process.waitForFinished();
    }
    QProcess Process;
    QString Flash;
    QString Pty;
};

// Upgrades Count paced simulators with one kt4-flash; the seconds it took, or
// a negative number when it did not end byte-exact with status 0.
double Shelf(int Count, const QString& Image, const QTemporaryDir& Dir)
{
    std::vector<std::unique_ptr<TPacedSim>> sims;
    QStringList arguments = {Image, "--yes"};
    for (int i = 0; i < Count; ++i) {
        sims.push_back(std::make_unique<TPacedSim>(Dir.filePath(QString("flash%1.bin").arg(i))));
        arguments << "--port" << sims.back()->Pty;
    }
    QProcess flash;
    flash.setStandardOutputFile(QProcess::nullDevice());
    flash.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    flash.start(KT4_FLASH_PATH, arguments);
    flash.closeWriteChannel();
    flash.waitForFinished(300000);
    const double seconds = clock.elapsed() / 1000.0;
    bool exact = flash.exitStatus() == QProcess::NormalExit && flash.exitCode() == 0;
    sims.clear();  // a simulator has written its flash when it has gone
    const QByteArray expected = ReadFile(Image).mid(FirstFlashAddress);
    for (int i = 0; i < Count; ++i)
        exact = exact && ReadFile(Dir.filePath(QString("flash%1.bin").arg(i))).mid(FirstFlashAddress) == expected;
    return exact ? seconds : -seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    QTemporaryDir dir;
    const QString image = dir.filePath("bench.bin");
    QProcess::execute(KT4_SIM_PATH, {"--make-image", image, "--image-version", "1.20"});

    std::vector<double> one, four;
    for (int round = 0; round < rounds; ++round) {
        one.push_back(Shelf(1, image, dir));
        four.push_back(Shelf(4, image, dir));
        std::printf("round %d: one instrument %.2f s, four at once %.2f s%s\n", round + 1, std::abs(one.back()),
                    std::abs(four.back()), one.back() < 0 || four.back() < 0 ? "  (NOT byte-exact with status 0)" : "");
        std::fflush(stdout);
    }
    std::sort(one.begin(), one.end());
    std::sort(four.begin(), four.end());
    const double medianOne = one[one.size() / 2], medianFour = four[four.size() / 2];
    std::printf("115200 baud, median of %d: one %.2f s, four %.2f s, ratio %.3f (goal < 1.2)\n", rounds, medianOne,
                medianFour, medianFour / medianOne);
    return medianOne > 0 && medianFour > 0 ? 0 : 1;
}
