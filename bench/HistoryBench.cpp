// kt4-history-bench: what one upgrade record costs an upgrade (goal: under
// 5 ms), Begin plus Finish:
//   - on an open history (the window, which keeps its history open),
//   - from nothing (what one kt4-flash pays: opening the file, its journal,
//     the schema check, the two writes, closing),
//   - on a history that already holds ROWS records,
//   - with the image's SHA-256 (131072 bytes) added.
// Finish returns with the record on the disk (the journal synced), so the
// figures depend on the file system of FOLDER.
//
//   build/release/bench/kt4-history-bench [ROUNDS] [FOLDER]

#include "history/UpgradeHistory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <memory>
#include <cstdio>
#include <vector>

namespace {

TUpgradeAttempt Attempt(int Number)
{
    TUpgradeAttempt a;
    a.Way = "serial";
    a.Port = "/dev/ttyUSB0";
    a.InstrumentType = "16";
    a.VersionBefore = "1.10";
    a.ImageFile = "/srv/images/kt4-2.00.bin";
    a.ImageVersion = "2.00";
    a.ImageSha256 = QString(64, 'a');
    a.Message = QString("Flash Upload Completed (%1)").arg(Number);
    return a;
}

void Finish(TUpgradeAttempt& A)
{
    A.PagesSent = 446;
    A.Outcome = HistoryOutcome::Completed;
}

struct TFigures {
    double Median, P95, Worst;
};

TFigures Figures(std::vector<double> Ms)
{
    std::sort(Ms.begin(), Ms.end());
    return {Ms[Ms.size() / 2], Ms[std::min(Ms.size() - 1, Ms.size() * 95 / 100)], Ms.back()};
}

void Print(const char* What, const std::vector<double>& Ms)
{
    const TFigures f = Figures(Ms);
    std::printf("%-44s median %6.2f ms  p95 %6.2f ms  worst %6.2f ms  (%zu records)\n", What, f.Median, f.P95,
                f.Worst, Ms.size());
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt4-history-bench");
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 200;
    QTemporaryDir dir(argc > 2 ? QString::fromLocal8Bit(argv[2]) + "/kt4-history-bench-XXXXXX" : QString());
    if (!dir.isValid()) {
        std::fprintf(stderr, "kt4-history-bench: cannot make a folder to work in\n");
        return 1;
    }
    const QStorageInfo storage(dir.path());
    std::printf("History in %s (%s, %s)\n", qPrintable(dir.path()), storage.fileSystemType().constData(),
                qPrintable(storage.device()));
    QElapsedTimer clock;
    bool failed = false;

    // An open history.
    {
        TUpgradeHistory history(dir.filePath("open.sqlite"));
        TUpgradeAttempt first = Attempt(-1);
        history.Begin(first);  // the file made and opened
        std::vector<double> ms;
        for (int i = 0; i < rounds; ++i) {
            TUpgradeAttempt a = Attempt(i);
            clock.start();
            const bool ok = history.Begin(a) > 0;
            Finish(a);
            failed |= !ok || !history.Finish(a);
            ms.push_back(clock.nsecsElapsed() / 1e6);
        }
        Print("Begin + Finish, history open", ms);
    }

    // From nothing, as one kt4-flash process does it.
    {
        std::vector<double> ms;
        for (int i = 0; i < rounds / 4 + 1; ++i) {
            clock.start();
            {
                TUpgradeHistory history(dir.filePath("cold.sqlite"));
                TUpgradeAttempt a = Attempt(i);
                const bool ok = history.Begin(a) > 0;
                Finish(a);
                failed |= !ok || !history.Finish(a);
            }
            ms.push_back(clock.nsecsElapsed() / 1e6);
        }
        Print("open + Begin + Finish + close", ms);
    }

    // The parts of the above.
    {
        std::vector<double> open, begin, finish, close;
        for (int i = 0; i < rounds / 4 + 1; ++i) {
            auto history = std::make_unique<TUpgradeHistory>(dir.filePath("cold.sqlite"));
            clock.start();
            failed |= !history->Database().isOpen();
            open.push_back(clock.nsecsElapsed() / 1e6);
            TUpgradeAttempt a = Attempt(i);
            clock.start();
            failed |= history->Begin(a) == 0;
            begin.push_back(clock.nsecsElapsed() / 1e6);
            Finish(a);
            clock.start();
            failed |= !history->Finish(a);
            finish.push_back(clock.nsecsElapsed() / 1e6);
            clock.start();
            history.reset();
            close.push_back(clock.nsecsElapsed() / 1e6);
        }
        Print("  of which open (journal, schema check)", open);
        Print("  of which Begin", begin);
        Print("  of which Finish", finish);
        Print("  of which close (checkpoint)", close);
    }

    // A history with many records in it.
    {
        const int many = 10000;
        TUpgradeHistory history(dir.filePath("full.sqlite"));
        TUpgradeAttempt a0 = Attempt(0);
        history.Begin(a0);
        {
            QSqlDatabase db = history.Database();
            db.transaction();
            for (int i = 0; i < many; ++i) {
                TUpgradeAttempt a = Attempt(i);
                history.Begin(a);  // each its own write, inside one transaction: quick to fill
            }
            db.commit();
        }
        std::vector<double> ms;
        for (int i = 0; i < rounds; ++i) {
            TUpgradeAttempt a = Attempt(i);
            clock.start();
            const bool ok = history.Begin(a) > 0;
            Finish(a);
            failed |= !ok || !history.Finish(a);
            ms.push_back(clock.nsecsElapsed() / 1e6);
        }
        Print("Begin + Finish, 10000 records there", ms);
        clock.start();
        const int read = history.Records(20).size();
        std::printf("%-44s %6.2f ms (%d rows)\n", "the last 20 of 10000 read", clock.nsecsElapsed() / 1e6, read);
    }

    // The image's SHA-256.
    {
        QFile image(dir.filePath("image.bin"));
        image.open(QIODevice::WriteOnly);
        image.write(QByteArray(131072, '\x5a'));
        image.close();
        std::vector<double> ms;
        for (int i = 0; i < rounds; ++i) {
            clock.start();
            failed |= TUpgradeHistory::Sha256OfFile(image.fileName()).size() != 64;
            ms.push_back(clock.nsecsElapsed() / 1e6);
        }
        Print("SHA-256 of a 131072-byte image", ms);
    }
    if (failed)
        std::printf("SOME RECORDS WERE NOT WRITTEN\n");
    return failed ? 1 : 0;
}
