// The history store against real files: every field back as written, the
// file's place, its schema, a locked file, a damaged one moved aside, the
// image's SHA-256, and how a row's writer is judged gone.

#include "tests/history/HistoryTestSupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSysInfo>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every field of two attempts, side by side.
void ExpectSame(const TUpgradeAttempt& Want, const TUpgradeAttempt& Got)
{
    EXPECT_EQ(Want.Id, Got.Id);
    EXPECT_EQ(Want.Started, Got.Started);
    EXPECT_EQ(Want.Ended, Got.Ended);
    EXPECT_EQ(Got.Started.timeSpec(), Qt::UTC);
    const QList<std::pair<QString, QString>> texts = {
        {Want.Program, Got.Program},         {Want.ProgramVersion, Got.ProgramVersion},
        {Want.Host, Got.Host},               {Want.User, Got.User},
        {Want.Way, Got.Way},                 {Want.Port, Got.Port},
        {Want.DockAddress, Got.DockAddress}, {Want.DockKind, Got.DockKind},
        {Want.InstrumentType, Got.InstrumentType}, {Want.VersionBefore, Got.VersionBefore},
        {Want.ImageFile, Got.ImageFile},     {Want.ImageSha256, Got.ImageSha256},
        {Want.ImageVersion, Got.ImageVersion}, {Want.Outcome, Got.Outcome},
        {Want.Message, Got.Message},
    };
    for (const auto& [want, got] : texts)
        EXPECT_EQ(want, got);
    EXPECT_EQ(Want.PagesSent, Got.PagesSent);
    EXPECT_EQ(Want.Resends, Got.Resends);
}

class ScopedEnv {
public:
    explicit ScopedEnv(const char* Name) : FName(Name), FWasSet(qEnvironmentVariableIsSet(Name)), FOld(qgetenv(Name)) {}
    ~ScopedEnv()
    {
        if (FWasSet)
            qputenv(FName, FOld);
        else
            qunsetenv(FName);
    }

private:
    const char* FName;
    bool FWasSet;
    QByteArray FOld;
};

}  // namespace

TEST(UpgradeHistory, AnAttemptReadsBackWithEveryFieldFromBeginToFinish)
{
    THistoryDir dir;
    TUpgradeHistory history(dir.File());
    TUpgradeAttempt attempt = FullAttempt(3);
    const TUpgradeAttempt asGiven = attempt;
    ASSERT_GT(history.Begin(attempt), 0) << history.Warning().toStdString();
    EXPECT_TRUE(history.Warning().isEmpty());

    // While it runs the row says so, and has no end.
    QList<TUpgradeAttempt> rows = history.Records();
    ASSERT_EQ(rows.size(), 1);
    TUpgradeAttempt running = asGiven;
    running.Id = attempt.Id;
    running.Outcome = HistoryOutcome::InProgress;
    ExpectSame(running, rows[0]);

    attempt.Ended = attempt.Started.addSecs(71).addMSecs(3);
    attempt.PagesSent = 446;
    attempt.Resends = 2;
    attempt.Outcome = HistoryOutcome::Failed;
    attempt.Message = "Page 7 was not accepted after 6 attempts.\nCorvane ZRA/ZRN Disconnected";
    ASSERT_TRUE(history.Finish(attempt)) << history.Warning().toStdString();
    rows = history.Records();
    ASSERT_EQ(rows.size(), 1);
    ExpectSame(attempt, rows[0]);
}

// What is learnt on the way (the instrument's version once it is online, the
// pages so far) is in the row before the end, so a killed program's row has it.
TEST(UpgradeHistory, WhatIsLearntOnTheWayIsInTheRowBeforeTheEnd)
{
    THistoryDir dir;
    TUpgradeHistory history(dir.File());
    TUpgradeAttempt attempt = FullAttempt(1);
    attempt.VersionBefore.clear();
    ASSERT_GT(history.Begin(attempt), 0);
    const qint64 id = attempt.Id;
    attempt.VersionBefore = "1.10";
    attempt.PagesSent = 120;
    attempt.Outcome = HistoryOutcome::Completed;  // not yet: Update keeps it running
    ASSERT_TRUE(history.Update(attempt));
    EXPECT_EQ(attempt.Id, id);
    QList<TUpgradeAttempt> rows = history.Records();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].VersionBefore, "1.10");
    EXPECT_EQ(rows[0].PagesSent, 120);
    EXPECT_EQ(rows[0].Outcome, HistoryOutcome::InProgress);
    EXPECT_FALSE(rows[0].Ended.isValid());

    // One whose start was never written gets its row now.
    TUpgradeAttempt unrecorded = FullAttempt(2);
    ASSERT_TRUE(history.Update(unrecorded));
    EXPECT_GT(unrecorded.Id, id);
    EXPECT_EQ(history.Records().size(), 2);
}

TEST(UpgradeHistory, BeginFillsInWhatThisProcessKnows)
{
    THistoryDir dir;
    TUpgradeHistory history(dir.File());
    TUpgradeAttempt attempt;
    attempt.Way = "serial";
    const QDateTime before = QDateTime::currentDateTimeUtc();
    ASSERT_GT(history.Begin(attempt), 0);
    ASSERT_TRUE(history.Finish(attempt));
    const TUpgradeAttempt row = history.Records().value(0);
    EXPECT_EQ(row.Host, QSysInfo::machineHostName());
    EXPECT_FALSE(row.User.isEmpty());
    EXPECT_EQ(row.Program, QCoreApplication::applicationName());
    EXPECT_GE(row.Started, before.addMSecs(-1));
    EXPECT_GE(row.Ended, row.Started);
    EXPECT_EQ(row.Outcome, HistoryOutcome::Unfinished);  // ended without saying how
}

TEST(UpgradeHistory, NewestFirstAndTheLastFew)
{
    THistoryDir dir;
    TUpgradeHistory history(dir.File());
    for (int n : {2, 0, 4, 1, 3}) {  // begun out of order: the start time decides
        TUpgradeAttempt a = FullAttempt(n);
        ASSERT_GT(history.Begin(a), 0);
        ASSERT_TRUE(history.Finish(a));
    }
    const struct {
        int Last;
        QList<QString> Versions;
    } cases[] = {
        {0, {"1.14", "1.13", "1.12", "1.11", "1.10"}},
        {2, {"1.14", "1.13"}},
        {9, {"1.14", "1.13", "1.12", "1.11", "1.10"}},
    };
    for (const auto& c : cases) {
        QList<QString> versions;
        for (const TUpgradeAttempt& row : history.Records(c.Last))
            versions << row.VersionBefore;
        EXPECT_EQ(versions, c.Versions) << "last " << c.Last;
    }
}

TEST(UpgradeHistory, TheFileIsNamedByKT4HistoryOrLivesInTheUsersDataFolder)
{
    ScopedEnv history("KT4_HISTORY"), data("XDG_DATA_HOME");
    THistoryDir dir;
    qputenv("XDG_DATA_HOME", dir.Dir().toUtf8());
    qunsetenv("KT4_HISTORY");
    EXPECT_EQ(TUpgradeHistory::DefaultPath(), dir.Dir() + "/kt4-head-upgrade/history.sqlite");
    qputenv("KT4_HISTORY", "/srv/bench/history.sqlite");
    EXPECT_EQ(TUpgradeHistory::DefaultPath(), "/srv/bench/history.sqlite");

    // The folder is made with the first record.
    qunsetenv("KT4_HISTORY");
    {
        TUpgradeHistory store(TUpgradeHistory::DefaultPath());
        TUpgradeAttempt a = FullAttempt(0);
        EXPECT_GT(store.Begin(a), 0) << store.Warning().toStdString();
    }
    EXPECT_TRUE(QFile::exists(dir.Dir() + "/kt4-head-upgrade/history.sqlite"));
}

TEST(UpgradeHistory, KT4HistorySetButEmptyKeepsNoneAndWritesNothing)
{
    ScopedEnv history("KT4_HISTORY"), data("XDG_DATA_HOME");
    THistoryDir dir;
    qputenv("XDG_DATA_HOME", dir.Dir().toUtf8());
    qputenv("KT4_HISTORY", "");
    EXPECT_TRUE(TUpgradeHistory::DefaultPath().isEmpty());
    TUpgradeHistory none(TUpgradeHistory::DefaultPath());
    EXPECT_FALSE(none.Enabled());
    TUpgradeAttempt a = FullAttempt(0);
    EXPECT_EQ(none.Begin(a), 0);
    EXPECT_FALSE(none.Finish(a));
    EXPECT_TRUE(none.Records().isEmpty());
    EXPECT_TRUE(none.Warning().isEmpty());  // not a problem: asked for
    EXPECT_TRUE(QDir(dir.Dir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

TEST(UpgradeHistory, ReadingAHistoryThatIsNotThereMakesNoFile)
{
    THistoryDir dir;
    TUpgradeHistory history(dir.File());
    EXPECT_TRUE(history.Records().isEmpty());
    EXPECT_FALSE(history.Database().isValid());
    EXPECT_TRUE(history.Warning().isEmpty());
    EXPECT_FALSE(QFile::exists(dir.File()));
}

TEST(UpgradeHistory, TheFileHasAWriteAheadJournalAndItsSchemaVersion)
{
    THistoryDir dir;
    {
        TUpgradeHistory history(dir.File());
        TUpgradeAttempt a = FullAttempt(0);
        ASSERT_GT(history.Begin(a), 0);
        EXPECT_EQ(Ask(dir.File(), "PRAGMA journal_mode").toString(), "wal");
        EXPECT_EQ(Ask(dir.File(), "PRAGMA user_version").toInt(), TUpgradeHistory::SchemaVersion);
        EXPECT_EQ(Ask(dir.File(), "SELECT outcome FROM attempts").toString(), HistoryOutcome::InProgress);
    }
}

TEST(UpgradeHistory, AFileOfALaterVersionIsWrittenAndKeepsItsVersion)
{
    THistoryDir dir;
    {
        TUpgradeHistory history(dir.File());
        TUpgradeAttempt a = FullAttempt(0);
        ASSERT_GT(history.Begin(a), 0);
    }
    // A later program added a column and counted up.
    Ask(dir.File(), "ALTER TABLE attempts ADD COLUMN operator_note TEXT");
    Ask(dir.File(), "PRAGMA user_version = 2");
    ASSERT_EQ(Ask(dir.File(), "PRAGMA user_version").toInt(), 2);

    TUpgradeHistory history(dir.File());
    TUpgradeAttempt a = FullAttempt(1);
    ASSERT_GT(history.Begin(a), 0) << history.Warning().toStdString();
    ASSERT_TRUE(history.Finish(a));
    EXPECT_EQ(history.Records().size(), 2);
    EXPECT_EQ(Ask(dir.File(), "PRAGMA user_version").toInt(), 2);
}

TEST(UpgradeHistory, EveryInstanceHasItsOwnConnectionAndTakesItAway)
{
    THistoryDir dir;
    const QStringList before = QSqlDatabase::connectionNames();
    {
        TUpgradeHistory first(dir.File()), second(dir.File());
        TUpgradeAttempt a = FullAttempt(0), b = FullAttempt(1);
        ASSERT_GT(first.Begin(a), 0);
        ASSERT_GT(second.Begin(b), 0);
        EXPECT_NE(a.Id, b.Id);
        EXPECT_TRUE(first.Finish(a));
        EXPECT_TRUE(second.Finish(b));
        EXPECT_EQ(first.Records().size(), 2);
        EXPECT_EQ(QSqlDatabase::connectionNames().size(), before.size() + 2);
    }
    EXPECT_EQ(QSqlDatabase::connectionNames(), before);
}

// Another program holds the write lock longer than the busy wait: the
// record's start is told and not written, and written whole at its end once
// the file is free again.
TEST(UpgradeHistory, ALockedFileIsToldAndTheRecordWrittenWholeAtTheEnd)
{
    THistoryDir dir;
    {
        TUpgradeHistory first(dir.File());
        TUpgradeAttempt a = FullAttempt(0);
        ASSERT_GT(first.Begin(a), 0);
    }
    TUpgradeHistory history(dir.File());
    history.SetBusyTimeOutMs(50);
    TUpgradeAttempt attempt = FullAttempt(1);
    {
        QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "locker");
        other.setDatabaseName(dir.File());
        ASSERT_TRUE(other.open());
        QSqlQuery lock(other);
        ASSERT_TRUE(lock.exec("BEGIN EXCLUSIVE"));
        EXPECT_EQ(history.Begin(attempt), 0);
        EXPECT_TRUE(history.Warning().contains("is locked by another program")) << history.Warning().toStdString();
        EXPECT_TRUE(history.Warning().contains(dir.File()));
        lock.exec("ROLLBACK");
        other.close();
    }
    QSqlDatabase::removeDatabase("locker");
    attempt.Outcome = HistoryOutcome::Completed;
    ASSERT_TRUE(history.Finish(attempt)) << history.Warning().toStdString();
    EXPECT_TRUE(history.Warning().isEmpty());
    const QList<TUpgradeAttempt> rows = history.Records();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].Message, attempt.Message);
    EXPECT_EQ(rows[0].Outcome, HistoryOutcome::Completed);
    EXPECT_TRUE(rows[0].Ended.isValid());
}

// A damaged file is moved aside, named in the warning, kept as it was; a
// new history starts and takes the record.
TEST(UpgradeHistory, ADamagedFileIsMovedAsideAndANewOneStarted)
{
    const struct {
        const char* Name;
        std::function<void(const QString& File)> Damage;
    } cases[] = {
        {"not a database at all",
         [](const QString& File) {
             QFile f(File);
             ASSERT_TRUE(f.open(QIODevice::WriteOnly));
             for (int i = 0; i < 300; ++i)
                 f.write("this was never an upgrade history\n");
         }},
        {"a history whose first page was overwritten",
         [](const QString& File) {
             {
                 TUpgradeHistory history(File);
                 for (int n = 0; n < 3; ++n) {
                     TUpgradeAttempt a = FullAttempt(n);
                     ASSERT_GT(history.Begin(a), 0);
                     ASSERT_TRUE(history.Finish(a));
                 }
             }
             Ask(File, "PRAGMA wal_checkpoint(TRUNCATE)");
             ASSERT_EQ(QFileInfo(File + "-wal").size(), 0);  // all of it in the file itself
             QFile f(File);
             ASSERT_TRUE(f.open(QIODevice::ReadWrite));
             f.seek(100);
             f.write(QByteArray(1000, '\xff'));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THistoryDir dir;
        c.Damage(dir.File());
        QFile damagedFile(dir.File());
        ASSERT_TRUE(damagedFile.open(QIODevice::ReadOnly));
        const QByteArray damaged = damagedFile.readAll();
        damagedFile.close();

        TUpgradeHistory history(dir.File());
        TUpgradeAttempt attempt = FullAttempt(7);
        EXPECT_GT(history.Begin(attempt), 0) << history.Warning().toStdString();
        const QStringList aside = dir.Entries("history.sqlite.corrupt-").filter(QRegularExpression("Z$"));
        ASSERT_EQ(aside.size(), 1) << dir.Entries("").join(" ").toStdString();
        EXPECT_TRUE(history.Warning().contains("was damaged; it was moved aside to " + dir.Dir() + "/" + aside[0]))
            << history.Warning().toStdString();
        QFile kept(dir.Dir() + "/" + aside[0]);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), damaged);

        attempt.Outcome = HistoryOutcome::Completed;
        EXPECT_TRUE(history.Finish(attempt));
        EXPECT_TRUE(history.Warning().isEmpty());
        const QList<TUpgradeAttempt> rows = history.Records();
        ASSERT_EQ(rows.size(), 1);
        EXPECT_EQ(rows[0].Message, attempt.Message);
        EXPECT_EQ(rows[0].Outcome, HistoryOutcome::Completed);
    }
}

// The file was damaged and replaced while an upgrade ran: its end is not lost.
TEST(UpgradeHistory, AnAttemptWhoseRowIsGoneIsWrittenWholeAtTheEnd)
{
    THistoryDir dir;
    TUpgradeAttempt attempt = FullAttempt(2);
    {
        TUpgradeHistory history(dir.File());
        ASSERT_GT(history.Begin(attempt), 0);
    }
    for (const char* part : {"", "-wal", "-shm"})
        ASSERT_TRUE(QFile::remove(dir.File() + part));
    TUpgradeHistory history(dir.File());
    attempt.Outcome = HistoryOutcome::Completed;
    ASSERT_TRUE(history.Finish(attempt));
    const QList<TUpgradeAttempt> rows = history.Records();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].Outcome, HistoryOutcome::Completed);
    EXPECT_EQ(rows[0].ImageFile, attempt.ImageFile);
}

TEST(UpgradeHistory, Sha256OfFileIsSha256sums)
{
    THistoryDir dir;
    for (int size : {0, 1, 64, 131072, 1048577}) {
        SCOPED_TRACE(size);
        const QString name = dir.Dir() + QString("/image-%1.bin").arg(size);
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& byte : bytes)
            byte = char(QRandomGenerator::global()->bounded(256));
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        QProcess sum;
        sum.start("sha256sum", {name});
        ASSERT_TRUE(sum.waitForFinished(-1));
        const QString expected = QString::fromLatin1(sum.readAllStandardOutput()).section(' ', 0, 0);
        ASSERT_EQ(expected.size(), 64);
        EXPECT_EQ(TUpgradeHistory::Sha256OfFile(name), expected);
    }
    EXPECT_EQ(TUpgradeHistory::Sha256OfFile(dir.Dir() + "/no-such-image.bin"), QString());
}

TEST(UpgradeHistory, AWriterIsGoneOnlyWhenThisComputerCanTell)
{
    const QString host = QSysInfo::machineHostName();
    QFile bootFile("/proc/sys/kernel/random/boot_id");
    ASSERT_TRUE(bootFile.open(QIODevice::ReadOnly));
    const QString boot = QString::fromLatin1(bootFile.readAll().trimmed());
    QFile statFile("/proc/self/stat");
    ASSERT_TRUE(statFile.open(QIODevice::ReadOnly));
    const QByteArray stat = statFile.readAll();
    const qint64 started = stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(19).toLongLong();
    ASSERT_GT(started, 0);

    const pid_t endedPid = ::fork();
    if (endedPid == 0)
        ::_exit(0);
    ASSERT_GT(endedPid, 0);
    ASSERT_EQ(::waitpid(endedPid, nullptr, 0), endedPid);

    const struct {
        const char* Name;
        QString Host, Boot;
        qint64 Pid, Start;
        bool Gone;
    } cases[] = {
        {"this process", host, boot, ::getpid(), started, false},
        {"this process, start unknown", host, boot, ::getpid(), 0, false},
        {"another computer's", host + "-elsewhere", boot, 999999, 1, false},
        {"written before this computer started", host, "00000000-0000-0000-0000-000000000000", ::getpid(), started,
         true},
        {"a process since ended", host, boot, endedPid, 1, true},
        {"its number now another process's", host, boot, ::getpid(), started + 1, true},
        {"no writer noted", host, boot, 0, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TUpgradeHistory::WriterGone(c.Host, c.Boot, c.Pid, c.Start), c.Gone) << c.Name;
}

