// kt4-history-bench: what the upgrade history costs an upgrade.
//
// The road's cost per record: what handing a record to the recorder (its
// start, what is learnt on the way, its end) takes on the upgrade's own
// thread, with the history free and with it held by another program; the
// writing itself is the recorder's thread's.
//
// A paced upgrade (kt4-sim at 115200 baud, kt4-flash from its start to the
// final message and to its exit) with the history free, held by another
// program for the first 6 s, held until the final message, and held until
// the program has ended (its record is then lost: told once, after the 4 s
// that the end waits). Goal: at most 10 % longer than with the history free,
// and the record there once the lock has gone.
//
// The store itself, as the recorder's thread uses it: Begin plus Finish (on
// an open history, from nothing, with 10000 records there), and the SHA-256
// of an image. Finish returns with the record on the disk (the journal
// synced), so these figures depend on the file system of FOLDER.
//
//   build/release/bench/kt4-history-bench [ROUNDS] [FOLDER] [UPGRADES]

#include "bench/BenchSupport.h"
#include "history/HistoryRecorder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
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

double Median(std::vector<double> Values)
{
    std::sort(Values.begin(), Values.end());
    return Values[Values.size() / 2];
}

void Print(const char* What, std::vector<double> Values, const char* Unit = "ms")
{
    std::sort(Values.begin(), Values.end());
    std::printf("%-46s median %7.3f %s  p95 %7.3f %s  worst %7.3f %s  (%zu)\n", What, Values[Values.size() / 2], Unit,
                Values[std::min(Values.size() - 1, Values.size() * 95 / 100)], Unit, Values.back(), Unit,
                Values.size());
}

// Another program's write lock on a history file, until Release().
class THold {
public:
    explicit THold(const QString& File) : FName(QString("bench-hold-%1").arg(++Count))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", FName);
        db.setDatabaseName(File);
        FHeld = db.open() && QSqlQuery(db).exec("BEGIN EXCLUSIVE");
    }
    ~THold() { Release(); }
    bool Held() const { return FHeld; }
    void Release()
    {
        if (!QSqlDatabase::contains(FName))
            return;
        {
            QSqlDatabase db = QSqlDatabase::database(FName, false);
            QSqlQuery(db).exec("ROLLBACK");
            db.close();
        }
        QSqlDatabase::removeDatabase(FName);
        FHeld = false;
    }

private:
    static inline int Count = 0;
    QString FName;
    bool FHeld = false;
};

// A history holding one record, so that it can be held.
void MakeHistory(const QString& File)
{
    TUpgradeHistory history(File);
    TUpgradeAttempt a = Attempt(0);
    history.Begin(a);
    Finish(a);
    history.Finish(a);
}

// ---------------------------------------------------------------- the road's cost

// Each call's time on the calling thread, in microseconds: an upgrade's
// records (start, one every 64 pages, end), Upgrades times.
std::vector<double> RoadCost(const QString& File, bool Held, bool* Failed)
{
    MakeHistory(File);
    THold hold(File);
    if (!Held)
        hold.Release();
    THistoryRecorder recorder(File);
    std::vector<double> us;
    QElapsedTimer clock;
    for (int upgrade = 0; upgrade < 20; ++upgrade) {
        TUpgradeAttempt a = Attempt(upgrade);
        clock.start();
        recorder.Begin(a);
        us.push_back(clock.nsecsElapsed() / 1e3);
        for (int pages = 64; pages < 446; pages += 64) {
            a.PagesSent = pages;
            clock.start();
            recorder.Update(a);
            us.push_back(clock.nsecsElapsed() / 1e3);
        }
        Finish(a);
        clock.start();
        recorder.Finish(a);
        us.push_back(clock.nsecsElapsed() / 1e3);
        if (!Held)
            RunLoopFor(20);  // the recorder writes the upgrade's records meanwhile, as it would
    }
    hold.Release();
    *Failed |= !recorder.Flush(-1);
    return us;
}

// ---------------------------------------------------------------- a paced upgrade

enum THeld { NotHeld, FirstSixSeconds, UntilTheMessage, UntilTheEnd };

struct TUpgradeRun {
    double ToMessage = 0, ToExit = 0;
    bool Completed = false, Recorded = false, ToldOnce = false;
};

TUpgradeRun PacedUpgrade(const QString& Image, const QString& History, THeld Held)
{
    QProcess sim;
    const QString pty = StartSim(sim, {"--baud", "115200"});
    const int before = TUpgradeHistory(History).Records().size();
    THold hold(History);
    if (Held == NotHeld)
        hold.Release();

    TUpgradeRun run;
    QProcess flash;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KT4_HISTORY", History);
    flash.setProcessEnvironment(env);
    QByteArray out, err;
    QEventLoop loop;
    QElapsedTimer clock;
    QObject::connect(&flash, &QProcess::readyReadStandardOutput, [&] {
        out += flash.readAllStandardOutput();
        if (run.ToMessage == 0 && out.contains("Flash Upload Completed")) {
            run.ToMessage = clock.elapsed() / 1000.0;
            if (Held == UntilTheMessage)
                hold.Release();
        }
    });
    QObject::connect(&flash, &QProcess::finished, [&] {
        run.ToExit = clock.elapsed() / 1000.0;
        loop.quit();
    });
    if (Held == FirstSixSeconds)
        QTimer::singleShot(6000, &loop, [&hold] { hold.Release(); });
    clock.start();
    flash.start(KT4_FLASH_PATH, {Image, "--yes", "--port", pty});
    flash.closeWriteChannel();
    loop.exec();
    hold.Release();
    err = flash.readAllStandardError();
    run.Completed = flash.exitStatus() == QProcess::NormalExit && flash.exitCode() == 0;
    const QList<TUpgradeAttempt> records = TUpgradeHistory(History).Records();
    run.Recorded = records.size() == before + 1 && records.value(0).Outcome == HistoryOutcome::Completed;
    run.ToldOnce = err.count("The upgrade history ") == 1 && err.contains("locked by another program");
    sim.terminate();
    sim.waitForFinished();
    return run;
}

void PacedUpgrades(const QTemporaryDir& Dir, int Upgrades, bool* Failed)
{
    const QString image = Dir.filePath("image.bin");
    QProcess::execute(KT4_SIM_PATH, {"--make-image", image, "--image-version", "1.20"});
    const QString history = Dir.filePath("paced.sqlite");
    MakeHistory(history);
    const struct {
        const char* Name;
        THeld Held;
    } cases[] = {
        {"history free", NotHeld},
        {"held for the first 6 s", FirstSixSeconds},
        {"held until the final message", UntilTheMessage},
        {"held until the program has ended", UntilTheEnd},
    };
    double freeToMessage = 0, freeToExit = 0;
    for (const auto& c : cases) {
        std::vector<double> toMessage, toExit;
        bool recorded = true, told = true, completed = true;
        for (int i = 0; i < Upgrades; ++i) {
            const TUpgradeRun run = PacedUpgrade(image, history, c.Held);
            toMessage.push_back(run.ToMessage);
            toExit.push_back(run.ToExit);
            completed &= run.Completed;
            recorded &= run.Recorded;
            told &= run.ToldOnce;
        }
        const double message = Median(toMessage), exit = Median(toExit);
        if (c.Held == NotHeld) {
            freeToMessage = message;
            freeToExit = exit;
        }
        const bool lost = c.Held == UntilTheEnd;
        std::printf("%-34s to the message %6.2f s (%+5.1f %%)  to the exit %6.2f s (%+5.1f %%)  %s\n", c.Name,
                    message, 100 * (message / freeToMessage - 1), exit, 100 * (exit / freeToExit - 1),
                    !completed         ? "UPGRADE FAILED"
                    : lost && told     ? "not recorded, told once"
                    : lost             ? "NOT TOLD ONCE"
                    : recorded         ? "recorded"
                                       : "NOT RECORDED");
        std::fflush(stdout);
        *Failed |= !completed || (lost ? !told : !recorded);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt4-history-bench");
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 200;
    QTemporaryDir dir(argc > 2 && argv[2][0] ? QString::fromLocal8Bit(argv[2]) + "/kt4-history-bench-XXXXXX"
                                             : QString());
    const int upgrades = argc > 3 ? std::max(1, atoi(argv[3])) : 1;
    if (!dir.isValid()) {
        std::fprintf(stderr, "kt4-history-bench: cannot make a folder to work in\n");
        return 1;
    }
    const QStorageInfo storage(dir.path());
    std::printf("History in %s (%s, %s)\n", qPrintable(dir.path()), storage.fileSystemType().constData(),
                qPrintable(storage.device()));
    QElapsedTimer clock;
    bool failed = false;

    // The road's cost.
    Print("the road's cost per record, history free", RoadCost(dir.filePath("road-free.sqlite"), false, &failed),
          "us");
    Print("the road's cost per record, history held", RoadCost(dir.filePath("road-held.sqlite"), true, &failed),
          "us");

    // A paced upgrade.
    PacedUpgrades(dir, upgrades, &failed);

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
        Print("store: Begin + Finish, history open", ms);
    }

    // From nothing, as one kt4-flash's recorder does it.
    {
        std::vector<double> all, begin, finish, close;
        for (int i = 0; i < rounds / 4 + 1; ++i) {
            QElapsedTimer whole;
            whole.start();
            auto history = std::make_unique<TUpgradeHistory>(dir.filePath("cold.sqlite"));
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
            all.push_back(whole.nsecsElapsed() / 1e6);
        }
        Print("store: open + Begin + Finish + close", all);
        Print("  of which open + Begin", begin);
        Print("  of which Finish", finish);
        Print("  of which close", close);
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
        Print("store: Begin + Finish, 10000 records there", ms);
        TUpgradeHistory reader(dir.filePath("full.sqlite"));
        clock.start();
        const int read = reader.Records(20).size();
        std::printf("%-46s %7.3f ms (%d rows)\n", "the last 20 of 10000 read", clock.nsecsElapsed() / 1e6, read);
    }

    // The image's SHA-256.
    {
        const QByteArray image(131072, '\x5a');
        std::vector<double> ms;
        for (int i = 0; i < rounds; ++i) {
            clock.start();
            failed |= TUpgradeHistory::Sha256(image).size() != 64;
            ms.push_back(clock.nsecsElapsed() / 1e6);
        }
        Print("SHA-256 of a 131072-byte image", ms);
    }
    if (failed)
        std::printf("SOME RECORDS WERE NOT WRITTEN AS EXPECTED\n");
    return failed ? 1 : 0;
}
