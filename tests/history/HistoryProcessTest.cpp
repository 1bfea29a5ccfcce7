// The history as the shelf and the operator meet it: many processes writing
// at once, one killed in the middle, a folder or file that may not be
// written, and kt4-flash --history reading it all back.

#include "tests/history/HistoryTestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QCryptographicHash>
#include <QProcess>
#include <QSet>
#include <gtest/gtest.h>
#include <map>
#include <memory>

namespace {

struct TRun {
    int ExitCode = -1;
    QString Out, Err;
};

// kt4-flash with Arguments and KT4_HISTORY set to History (unset when null).
TRun RunFlash(const QStringList& Arguments, const QString& History)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (History.isNull())
        env.remove("KT4_HISTORY");
    else
        env.insert("KT4_HISTORY", History);
    process.setProcessEnvironment(env);
    process.start(KT4_FLASH_PATH, Arguments);
    process.waitForFinished(-1);
    TRun run;
    run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.Out = QString::fromUtf8(process.readAllStandardOutput());
    run.Err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QStringList Lines(const QString& Text)
{
    return Text.split('\n', Qt::SkipEmptyParts);
}

}  // namespace

TEST(HistoryProcesses, EightProcessesWritingFiftyEachAtOnceAllLand)
{
    THistoryDir dir;
    constexpr int Writers = 8, Each = 50;
    std::vector<std::unique_ptr<TWriterProcess>> writers;
    for (int w = 0; w < Writers; ++w)
        writers.push_back(std::make_unique<TWriterProcess>(dir.File(), QStringList{QString::number(Each),
                                                                                   QString("w%1").arg(w)}));
    for (auto& writer : writers) {
        EXPECT_EQ(writer->WaitForEnd(), 0) << writer->Output().toStdString();
        EXPECT_FALSE(writer->Output().contains("warning")) << writer->Output().toStdString();
    }

    TUpgradeHistory history(dir.File());
    const QList<TUpgradeAttempt> rows = history.Records();
    EXPECT_EQ(rows.size(), Writers * Each);
    QSet<QString> messages;
    QSet<qint64> ids;
    for (const TUpgradeAttempt& row : rows) {
        messages << row.Message;
        ids << row.Id;
        EXPECT_EQ(row.Outcome, HistoryOutcome::Completed) << row.Message.toStdString();
        EXPECT_EQ(row.PagesSent, 446);
    }
    for (int w = 0; w < Writers; ++w)
        for (int i = 0; i < Each; ++i)
            EXPECT_TRUE(messages.contains(QString("w%1 %2").arg(w).arg(i))) << w << " " << i;
    EXPECT_EQ(ids.size(), Writers * Each);
}

TEST(HistoryProcesses, AProcessKilledInTheMiddleLeavesARowThatReadsUnfinished)
{
    THistoryDir dir;
    TWriterProcess writer(dir.File(), {"--hang", "killed"});
    const QString id = writer.WaitForLine("begun ");
    ASSERT_FALSE(id.isNull());
    ASSERT_GT(id.toLongLong(), 0) << writer.Output().toStdString();

    TUpgradeHistory history(dir.File());
    QList<TUpgradeAttempt> rows = history.Records();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].Outcome, HistoryOutcome::InProgress);  // its writer is still there

    writer.Kill();  // SIGKILL: nothing of it runs any more
    rows = history.Records();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].Id, id.toLongLong());
    EXPECT_EQ(rows[0].Outcome, HistoryOutcome::Unfinished);
    EXPECT_FALSE(rows[0].Ended.isValid());
    EXPECT_EQ(rows[0].Port, "/dev/writer-killed");
}

// A place the writer may not write: it is told, Begin gives 0, the program
// goes on to its own end. A history of its own in a read-only folder, with
// its journal beside it, is written.
TEST(HistoryProcesses, AReadOnlyPlaceIsToldAndNothingStops)
{
    const struct {
        const char* Name;
        bool WithHistory, FolderReadOnly, FileReadOnly;
        const char* Why;  // null: recorded
    } cases[] = {
        {"a read-only folder, no history yet", false, true, false, "its folder"},
        {"a read-only history file", true, false, true, "the file is read-only"},
        {"a history of its own in a read-only folder", true, true, false, nullptr},
    };
    if (!OtherUserCannotRun().isEmpty())
        GTEST_SKIP() << OtherUserCannotRun().toStdString();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THistoryDir dir;
        const QString folder = dir.Dir() + "/place", file = folder + "/history.sqlite";
        QDir().mkpath(folder);
        if (c.WithHistory) {
            {
                TUpgradeHistory history(file);
                TUpgradeAttempt a = FullAttempt(0);
                ASSERT_TRUE(history.Begin(a) > 0 && history.Finish(a));
            }
            for (const char* part : {"", "-wal", "-shm"})
                GiveToOtherUser(file + part);
        }
        const auto readOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;
        if (c.FileReadOnly)
            QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadOther);
        if (c.FolderReadOnly)
            QFile::setPermissions(folder, readOnly);
        else
            GiveToOtherUser(folder);
        TWriterProcess writer(file, {"2", "ro"}, true);
        if (!c.Why) {
            EXPECT_EQ(writer.WaitForEnd(), 0) << writer.Output().toStdString();
            EXPECT_EQ(TUpgradeHistory(file).Records().size(), 3);
        } else {
            EXPECT_EQ(writer.WaitForEnd(), 3);  // its own end: attempts not recorded, no crash
            const QString output = writer.Output();
            EXPECT_EQ(output.count("id 0\n"), 2) << output.toStdString();
            EXPECT_TRUE(output.contains("The upgrade history " + file + " cannot be written")) << output.toStdString();
            EXPECT_TRUE(output.contains(c.Why)) << output.toStdString();
        }
        QFile::setPermissions(folder, readOnly | QFile::WriteOwner);
    }
}

TEST(HistoryProcesses, Kt4FlashHistoryJsonHoldsEveryField)
{
    THistoryDir dir;
    QList<TUpgradeAttempt> written;
    {
        TUpgradeHistory history(dir.File());
        for (int n = 0; n < 3; ++n) {
            TUpgradeAttempt a = FullAttempt(n);
            if (n == 1)
                a.Message = "Page 7 was not accepted after 6 attempts.\n\"quoted\" \x1b[31m";
            ASSERT_GT(history.Begin(a), 0);
            a.Ended = a.Started.addSecs(75);
            a.Outcome = n == 1 ? HistoryOutcome::Failed : HistoryOutcome::Completed;
            ASSERT_TRUE(history.Finish(a));
            written.prepend(a);  // newest first
        }
    }
    TWriterProcess killed(dir.File(), {"--hang", "killed"});
    ASSERT_GT(killed.WaitForLine("begun ").toLongLong(), 0);
    killed.Kill();

    const TRun run = RunFlash({"--history", "--json"}, dir.File());
    EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    const QStringList lines = Lines(run.Out);
    ASSERT_EQ(lines.size(), 4) << run.Out.toStdString();
    const QStringList keys = {"id", "started", "ended", "program", "program_version", "host", "user", "way", "port",
                              "dock_address", "dock_kind", "instrument_type", "version_before", "version_after", "image_file",
                              "image_sha256", "image_version", "pages_sent", "resends", "outcome", "message", "duration_s"};
    QList<QJsonObject> objects;
    for (const QString& line : lines) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        ASSERT_TRUE(doc.isObject());
        QStringList got = doc.object().keys();
        got.sort();
        QStringList want = keys;
        want.sort();
        EXPECT_EQ(got, want);
        objects << doc.object();
    }
    // The killed one began last: it is first, and never ended.
    EXPECT_EQ(objects[0]["outcome"].toString(), HistoryOutcome::Unfinished);
    EXPECT_TRUE(objects[0]["ended"].isNull());
    EXPECT_EQ(objects[0]["port"].toString(), "/dev/writer-killed");
    for (int i = 0; i < written.size(); ++i) {
        const TUpgradeAttempt& a = written[i];
        const QJsonObject& o = objects[i + 1];
        SCOPED_TRACE(a.Message.toStdString());
        EXPECT_EQ(o["id"].toInteger(), a.Id);
        EXPECT_EQ(o["started"].toString(), a.Started.toString(Qt::ISODateWithMs));
        EXPECT_EQ(o["ended"].toString(), a.Ended.toString(Qt::ISODateWithMs));
        EXPECT_TRUE(o["started"].toString().endsWith("Z"));
        const QList<std::pair<const char*, QString>> texts = {
            {"program", a.Program},         {"program_version", a.ProgramVersion},
            {"host", a.Host},               {"user", a.User},
            {"way", a.Way},                 {"port", a.Port},
            {"dock_address", a.DockAddress}, {"dock_kind", a.DockKind},
            {"instrument_type", a.InstrumentType}, {"version_before", a.VersionBefore},
            {"image_file", a.ImageFile},    {"image_sha256", a.ImageSha256},
            {"image_version", a.ImageVersion}, {"outcome", a.Outcome},
            {"message", a.Message},
        };
        for (const auto& [key, value] : texts)
            EXPECT_EQ(o[key].toString(), value) << key;
        EXPECT_EQ(o["pages_sent"].toInt(), a.PagesSent);
        EXPECT_EQ(o["resends"].toInt(), a.Resends);
    }

    const TRun last = RunFlash({"--history", "--json", "--last", "2"}, dir.File());
    EXPECT_EQ(Lines(last.Out), lines.mid(0, 2));
}

TEST(HistoryProcesses, Kt4FlashHistoryTableNewestFirstOneLineEach)
{
    THistoryDir dir;
    {
        TUpgradeHistory history(dir.File());
        for (int n = 0; n < 3; ++n) {
            TUpgradeAttempt a = FullAttempt(n);
            a.ImageFile = QString("/srv/images/\x1b]0;evil\x07kt4-%1.bin").arg(n);
            ASSERT_GT(history.Begin(a), 0);
            a.Outcome = HistoryOutcome::Completed;
            ASSERT_TRUE(history.Finish(a));
        }
    }
    const TRun run = RunFlash({"--history"}, dir.File());
    EXPECT_EQ(run.ExitCode, 0);
    const QStringList lines = Lines(run.Out);
    ASSERT_EQ(lines.size(), 4) << run.Out.toStdString();
    for (const char* column : {"Started", "Outcome", "Way", "Versions", "Pages", "Image file"})
        EXPECT_TRUE(lines[0].contains(column)) << column;
    const struct {
        int Line;
        const char* Way;
        const char* Versions;
    } rows[] = {
        {1, "serial /dev/ttyUSB2", "1.12 -> 2.02"},
        {2, "dock-network 127.0.0.41", "1.11 -> 2.01"},
        {3, "serial /dev/ttyUSB0", "1.10 -> 2.00"},
    };
    for (const auto& r : rows) {
        EXPECT_TRUE(lines[r.Line].contains(r.Way)) << lines[r.Line].toStdString();
        EXPECT_TRUE(lines[r.Line].contains(r.Versions)) << lines[r.Line].toStdString();
        EXPECT_TRUE(lines[r.Line].contains("completed"));
    }
    EXPECT_FALSE(run.Out.contains('\x1b'));  // a file name does not drive the terminal
    EXPECT_TRUE(run.Out.contains("\\x1b]0;evil\\x07kt4-2.bin"));

    EXPECT_EQ(Lines(RunFlash({"--history", "--last", "1"}, dir.File()).Out).size(), 2);
}

TEST(HistoryProcesses, Kt4FlashHistoryWithoutAHistory)
{
    THistoryDir dir;
    const TRun missing = RunFlash({"--history"}, dir.File());
    EXPECT_EQ(missing.ExitCode, 0);
    EXPECT_TRUE(missing.Out.contains("No upgrade has been recorded in " + dir.File())) << missing.Out.toStdString();
    EXPECT_FALSE(QFile::exists(dir.File()));  // looking makes no file

    const TRun none = RunFlash({"--history"}, "");
    EXPECT_EQ(none.ExitCode, 0);
    EXPECT_TRUE(none.Err.contains("no upgrade history is kept")) << none.Err.toStdString();

    const TRun off = RunFlash({"--no-history", "--history"}, dir.File());
    EXPECT_TRUE(off.Err.contains("no upgrade history is kept")) << off.Err.toStdString();

    const TRun badLast = RunFlash({"--history", "--last", "many"}, dir.File());
    EXPECT_EQ(badLast.ExitCode, 2);
}

namespace {

// Every file in Dir by name with the SHA-256 of its bytes; the journal's
// index (-shm) by name only: it is the memory readers and writers share, not
// a record.
std::map<std::string, std::string> Snapshot(const QString& Dir)
{
    std::map<std::string, std::string> files;
    for (const QString& name : QDir(Dir).entryList(QDir::Files | QDir::Hidden)) {
        QFile file(Dir + "/" + name);
        files[name.toStdString()] = name.endsWith("-shm") || !file.open(QIODevice::ReadOnly)
                                        ? std::string()
                                        : QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
                                              .toHex()
                                              .toStdString();
    }
    return files;
}

}  // namespace

// Reading opens the file read-only: whatever KT4_HISTORY names is left as it
// was, with no file made beside it; a file that is not a history is an error
// that names it.
TEST(HistoryProcesses, Kt4FlashHistoryReadsWithoutChangingAnything)
{
    enum TFile { Text, ForeignDatabase, Missing, Ours, OursWithoutJournal };
    const struct {
        const char* Name;
        TFile File;
        int ExitCode;
        const char* Says;  // on standard error, or (status 0) on standard output
    } cases[] = {
        {"a text file", Text, 4, "is not an upgrade history"},
        {"another program's SQLite database", ForeignDatabase, 4, "is another program's database"},
        {"no file", Missing, 0, "No upgrade has been recorded in"},
        {"our history", Ours, 0, "completed"},
        {"our history, its journal folded in", OursWithoutJournal, 0, "completed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THistoryDir dir;
        QFile text(dir.File());
        if (c.File == Text && text.open(QIODevice::WriteOnly))
            text.write("notes, not an upgrade history\n");
        text.close();
        if (c.File == ForeignDatabase) {
            Ask(dir.File(), "CREATE TABLE notes (line TEXT)");
            Ask(dir.File(), "INSERT INTO notes VALUES ('kept as it is')");
        }
        if (c.File == Ours || c.File == OursWithoutJournal) {
            TUpgradeHistory history(dir.File());
            TUpgradeAttempt a = FullAttempt(1);
            ASSERT_GT(history.Begin(a), 0);
            a.Outcome = HistoryOutcome::Completed;
            ASSERT_TRUE(history.Finish(a));
        }
        if (c.File == OursWithoutJournal)
            Ask(dir.File(), "PRAGMA wal_checkpoint(TRUNCATE)");  // its close takes the journal away
        const std::map<std::string, std::string> before = Snapshot(dir.Dir());
        ASSERT_EQ(before.empty(), c.File == Missing);

        const TRun run = RunFlash({"--history"}, dir.File());
        EXPECT_EQ(run.ExitCode, c.ExitCode) << run.Err.toStdString();
        const QString said = c.ExitCode == 0 ? run.Out : run.Err;
        EXPECT_TRUE(said.contains(c.Says)) << said.toStdString();
        EXPECT_TRUE(c.ExitCode == 0 || run.Err.contains(dir.File())) << run.Err.toStdString();
        EXPECT_EQ(Snapshot(dir.Dir()), before);
    }
}
