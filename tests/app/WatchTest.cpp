// A service bench as real processes: kt4-flash --watch over simulated docks
// that place instruments one after the other, stopped with Ctrl-C.

#include "head/KT4Head.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

namespace {

QByteArray ReadFile(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QList<QJsonObject> Rows(const QString& Report)
{
    QList<QJsonObject> rows;
    for (const QByteArray& line : ReadFile(Report).split('\n'))
        if (!line.isEmpty())
            rows << QJsonDocument::fromJson(line).object();
    return rows;
}

int Count(const QList<QJsonObject>& Rows, const QString& Dock, const QString& Outcome)
{
    return int(std::count_if(Rows.begin(), Rows.end(), [&](const QJsonObject& Row) {
        return Row.value("dock_address").toString() == Dock && Row.value("outcome").toString() == Outcome;
    }));
}

// Where the simulated dock last heard Command: the index of its log line
// ("<- ..." lines may hold several commands read at once), or -1.
qsizetype LastHeard(const QByteArray& Log, const QByteArray& Command)
{
    const QByteArrayList lines = Log.split('\n');
    for (qsizetype i = lines.size() - 1; i >= 0; --i)
        if (lines[i].startsWith("kt4-sim: <- ") && lines[i].contains(Command))
            return i;
    return -1;
}

struct TBenchRun {
    int ExitCode = -1;
    QString Output;
    QList<QJsonObject> Rows;
    bool AllEnded = false;  // the expected rows came before Ctrl-C
};

// kt4-flash --watch over Docks until Rows instruments have ended, then Ctrl-C.
TBenchRun RunBench(const QString& Image, const QList<TSimProcess*>& Docks, int Rows, const QString& History,
                   const QStringList& Options = {})
{
    const QString report = Docks.first()->Dir() + "/bench.jsonl";
    QStringList arguments = {Image, "--watch", "--yes", AnswerTimeOut, "--report", report};
    for (TSimProcess* dock : Docks)
        arguments << "--dock" << dock->DockAddress();
    QProcess bench;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KT4_HISTORY", History);
    bench.setProcessEnvironment(env);
    bench.setProcessChannelMode(QProcess::MergedChannels);
    bench.start(KT4_FLASH_PATH, arguments + Options);
    bench.closeWriteChannel();
    TBenchRun run;
    if (!bench.waitForStarted())
        return run;
    run.AllEnded = WaitFor([&] { return ::Rows(report).size() == Rows; }, 120000);
    ::kill(pid_t(bench.processId()), SIGINT);
    bench.waitForFinished(60000);
    run.ExitCode = bench.exitStatus() == QProcess::NormalExit ? bench.exitCode() : -1;
    run.Output = QString::fromLocal8Bit(bench.readAll());
    run.Rows = ::Rows(report);
    return run;
}

}  // namespace

// Two docks with three instruments each: the first to upgrade, the second
// already current, the third failing mid-upload. The two upgrades end byte for
// byte and are confirmed after the restart, both failures and both skips are told, every instrument is a row of
// the report and a record of the history, each display told its outcome, and
// at Ctrl-C both docks are handed back.
TEST(Watch, TwoDocksSixInstrumentsThenCtrlC)
{
    const QStringList pile = {"--instruments", "3", "--instrument-version", "2=2.00", "--fail-instrument", "3",
                              "--insert-after-ms", "100", "--remove-after-ms", "200"};
    TSimProcess first(QStringList{"--address", "127.0.8.1"} + pile, TSimProcess::InDock);
    TSimProcess second(QStringList{"--address", "127.0.8.2"} + pile, TSimProcess::InDock);
    const QString image = first.MakeImage("2.00");
    const QString history = first.Dir() + "/history.sqlite";
    const TBenchRun run = RunBench(image, {&first, &second}, 6, history, {"--skip-current", "--verify"});
    ASSERT_TRUE(run.AllEnded) << run.Output.toStdString();
    EXPECT_EQ(run.ExitCode, 130) << run.Output.toStdString();
    EXPECT_TRUE(run.Output.contains("In all: 2 upgraded, 2 already current, 2 failed")) << run.Output.toStdString();
    for (TSimProcess* dock : {&first, &second}) {
        SCOPED_TRACE(dock->DockAddress().toStdString());
        EXPECT_EQ(Count(run.Rows, dock->DockAddress(), "confirmed"), 1) << "the restarted instrument reports 2.00";
        EXPECT_EQ(Count(run.Rows, dock->DockAddress(), "skipped"), 1);
        EXPECT_EQ(Count(run.Rows, dock->DockAddress(), "failed"), 1);
        EXPECT_EQ(ReadFile(dock->FlashFile() + ".1").mid(FirstFlashAddress), ReadFile(image).mid(FirstFlashAddress));
        dock->Stop();
        const QByteArray log = dock->Log();
        for (const char* shown : {"[UPGRADED 2.00   ]", "[ALREADY 2.00    ]", "[FAILED - SEE PC ]"})
            EXPECT_TRUE(log.contains(shown)) << shown;
        EXPECT_GT(LastHeard(log, "MST"), LastHeard(log, "SLV")) << "handed back after the last request";
    }
    QProcess read;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KT4_HISTORY", history);
    read.setProcessEnvironment(env);
    read.start(KT4_FLASH_PATH, {"--history", "--json"});
    ASSERT_TRUE(read.waitForFinished(60000));
    EXPECT_EQ(read.readAllStandardOutput().count('\n'), 6) << "one record per instrument, none for the waits";
}

// A dock whose instruments fail three in a row is parked, and says so on its
// display; the other dock goes on.
TEST(Watch, ADockThatFailsThreeInARowIsParkedTheOthersGoOn)
{
    TSimProcess failing({"--address", "127.0.8.3", "--instruments", "4", "--fail-instrument", "1", "--fail-instrument",
                         "2", "--fail-instrument", "3", "--insert-after-ms", "100", "--remove-after-ms", "100"},
                        TSimProcess::InDock);
    TSimProcess good({"--address", "127.0.8.4", "--instruments", "1", "--insert-after-ms", "100"}, TSimProcess::InDock);
    const TBenchRun run = RunBench(failing.MakeImage("2.00"), {&failing, &good}, 4, failing.Dir() + "/history.sqlite");
    ASSERT_TRUE(run.AllEnded) << run.Output.toStdString();
    EXPECT_EQ(Count(run.Rows, failing.DockAddress(), "failed"), 3);
    EXPECT_EQ(Count(run.Rows, good.DockAddress(), "completed"), 1);
    EXPECT_TRUE(run.Output.contains("3 failed; parked")) << run.Output.toStdString();
    failing.Stop();
    const QByteArray log = failing.Log();
    EXPECT_TRUE(log.contains("[PARKED - SEE PC ]"));
    EXPECT_EQ(log.count("<- SLV"), 3) << "no instrument asked for after the third failure";
}

// A port has no word for an instrument taken away: the upgraded one, still in
// front of the port, is asked who it is again and again, never flashed twice.
TEST(Watch, APortNeverFlashesTheSameInstrumentTwice)
{
    TSimProcess sim;
    const QString image = sim.MakeImage("2.00");
    const QString report = sim.Dir() + "/bench.jsonl";
    QProcess bench;
    bench.setProcessChannelMode(QProcess::MergedChannels);
    bench.start(KT4_FLASH_PATH, {image, "--watch", "--yes", "--no-history", AnswerTimeOut, "--report", report, "-p",
                                 sim.PtyPath()});
    bench.closeWriteChannel();
    ASSERT_TRUE(WaitFor([&] { return Rows(report).size() == 1; }, 120000));
    ASSERT_TRUE(WaitFor([&] { return sim.Log().count("<- ENQ") >= 3; }, 60000)) << "asked again whether it is there";
    ::kill(pid_t(bench.processId()), SIGINT);
    ASSERT_TRUE(bench.waitForFinished(60000));
    EXPECT_EQ(bench.exitCode(), 130) << bench.readAll().toStdString();
    EXPECT_EQ(Rows(report).first().value("outcome").toString(), "completed");
    sim.Stop();
    EXPECT_EQ(sim.Log().count("<- PFM"), 1);
}
