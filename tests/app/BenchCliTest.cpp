// The service bench's single-instrument options through the real kt4-flash
// and the simulated instrument: identifying writes nothing, a current
// instrument is left alone, a wrong checksum opens no port, a verified upgrade
// counts only when the restarted instrument reports the new version, and each
// attempt ends as one row of the session report.

#include "tests/app/SimProcess.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct TBenchCase {
    const char* Name;
    const char* InstrumentVersion;
    QStringList Faults;        // the simulated instrument's
    const char* ImageVersion;  // "" for no image
    QStringList Options;       // "{sha}" stands for the image's SHA-256
    int Status;
    const char* Said;
    const char* Outcome;       // the report row's; "" when no row is written
    bool Written;              // pages and the program command reached the instrument
};

const QString Zeros(64, '0');

const TBenchCase BenchCases[] = {
    {"IdentifiesWithoutAnImage", "1.10", {}, "", {"--identify"}, 0, "KT4 head through port", "identification", false},
    {"IdentifiesAnUpgrade", "1.10", {}, "2.00", {"--identify"}, 0, "the image (2.00) would be an upgrade", "identification", false},
    {"IdentifiesTheSameVersion", "1.10", {}, "1.10", {"--identify"}, 0, "the image (1.10) is the same version", "identification", false},
    {"IdentifiesAnOlderImage", "2.00", {}, "1.10", {"--identify"}, 0, "the image (1.10) is older", "identification", false},
    {"LeavesACurrentInstrumentAlone", "1.10", {}, "1.10", {"--skip-current", "-y"}, 0, "already at 1.10", "skipped", false},
    {"UpgradesAnInstrumentThatIsNotCurrent", "1.10", {}, "2.00", {"--skip-current", "-y"}, 0, "Flash Upload Completed", "completed", true},
    {"RefusesAWrongChecksumBeforeAnyPort", "1.10", {}, "2.00", {"--expect-sha256", Zeros, "-y"}, 2, "not the expected 0000", "", false},
    {"ConfirmsTheUpgradeAfterTheRestart", "1.10", {}, "2.00", {"--verify", "-y"}, 0, "Flash Upload Completed", "confirmed", true},
    {"FailsWhenTheRestartBringsBackTheOldVersion", "1.10", {"--keep-version"}, "2.00", {"--verify", "-y"}, 4, "still reports 1.10", "failed", true},
    {"FailsWhenTheInstrumentDoesNotComeBack", "1.10", {"--silent-after-program"}, "2.00", {"--verify", "--verify-timeout=2", "-y"}, 4, "did not come back", "failed", true},
    {"UpgradesWithTheRightChecksum", "1.10", {}, "2.00", {"--expect-sha256", "{sha}", "-y"}, 0, "Flash Upload Completed", "completed", true},
};

class BenchCli : public ::testing::TestWithParam<TBenchCase> {};

QJsonObject OnlyRow(const QString& Report)
{
    QFile file(Report);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    EXPECT_EQ(lines.size(), 2) << "one row and the end of the last line";
    return QJsonDocument::fromJson(lines.first()).object();
}

}  // namespace

TEST_P(BenchCli, DoesWhatItSaysAndReportsIt)
{
    const TBenchCase& c = GetParam();
    TSimProcess sim(QStringList{"--version", c.InstrumentVersion} + c.Faults);
    QStringList arguments = {"--port", sim.PtyPath(), AnswerTimeOut, "--report", sim.Dir() + "/report.jsonl"};
    QString sha;
    if (*c.ImageVersion) {
        const QString image = sim.MakeImage(c.ImageVersion);
        QFile file(image);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        sha = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
        arguments.prepend(image);
    }
    for (QString option : c.Options)
        arguments << option.replace("{sha}", sha);
    const QString history = "KT4_HISTORY=" + sim.Dir() + "/history.sqlite";
    const TFlashRun run = RunFlash(arguments, {history});
    EXPECT_EQ(run.ExitCode, c.Status) << run.Output.toStdString();
    EXPECT_TRUE(run.Output.contains(c.Said)) << run.Output.toStdString();
    const QByteArray log = sim.Log();
    EXPECT_EQ(log.contains("<- WEP"), c.Written) << log.toStdString();
    EXPECT_EQ(log.contains("<- PFM"), c.Written);
    if (c.Status == 2)
        EXPECT_FALSE(log.contains("ENQ")) << "no port was opened";
    if (!*c.Outcome) {
        EXPECT_FALSE(QFile::exists(sim.Dir() + "/report.jsonl"));
        return;
    }
    const QJsonObject row = OnlyRow(sim.Dir() + "/report.jsonl");
    EXPECT_EQ(row.value("outcome").toString(), c.Outcome);
    EXPECT_EQ(row.value("version_before").toString(), c.InstrumentVersion);
    EXPECT_EQ(row.value("image_sha256").toString(), sha);
    EXPECT_EQ(row.value("port").toString(), sim.PtyPath());
    const TFlashRun recorded = RunFlash({"--history", "--json"}, {history});
    EXPECT_EQ(QJsonDocument::fromJson(recorded.Output.toUtf8()).object().value("outcome").toString(), c.Outcome)
        << recorded.Output.toStdString();
}

INSTANTIATE_TEST_SUITE_P(FlashCli, BenchCli, ::testing::ValuesIn(BenchCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// Nothing answers on the port: status 3, and the row says so.
TEST(BenchCli, IdentifyingWhereNothingAnswersIsNotConnected)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    TSimProcess place;
    const TFlashRun run = RunFlash({"--identify", "--port", QString::fromLatin1(::ptsname(master)), "--connect-timeout=1",
                                    "--json", "--report", place.Dir() + "/report.csv"});
    ::close(master);
    EXPECT_EQ(run.ExitCode, 3) << run.Output.toStdString();
    QFile report(place.Dir() + "/report.csv");
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = report.readAll().split('\n');
    ASSERT_EQ(lines.size(), 3) << "the header, one row, the end of the last line";
    EXPECT_TRUE(lines[0].startsWith("id,started,ended,duration_s,")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains("\"not connected\"")) << lines[1].toStdString();
}

// Several ports at once: one JSON object per instrument on standard output,
// each naming its port and version, nothing written to either.
TEST(BenchCli, IdentifyingAShelfGivesOneObjectPerInstrument)
{
    TSimProcess older, current({"--version", "2.00"});
    QProcess flash;
    flash.start(KT4_FLASH_PATH, {"--identify", "--json", "-p", older.PtyPath(), "-p", current.PtyPath(), AnswerTimeOut});
    flash.closeWriteChannel();
    ASSERT_TRUE(flash.waitForFinished(120000));
    EXPECT_EQ(flash.exitCode(), 0) << flash.readAllStandardError().toStdString();
    QMap<QString, QString> versions;
    for (const QByteArray& line : flash.readAllStandardOutput().split('\n'))
        if (!line.isEmpty()) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            EXPECT_EQ(row.value("outcome").toString(), "identification") << line.toStdString();
            versions[row.value("port").toString()] = row.value("version_before").toString();
        }
    EXPECT_EQ(versions, (QMap<QString, QString>{{older.PtyPath(), "1.10"}, {current.PtyPath(), "2.00"}}));
    for (TSimProcess* sim : {&older, &current}) {
        sim->Stop();
        EXPECT_FALSE(sim->Log().contains("<- WEP"));
    }
}
