// The history store against real files: every field back as written, the
// file's place and schema, a locked file, a damaged one moved aside, the
// SHA-256 of the image's bytes, and how a row's writer is judged gone.

#include "tests/history/HistoryTestSupport.h"

#include <QCoreApplication>
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
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void ExpectSame(const TUpgradeAttempt& Want, const TUpgradeAttempt& Got)
{
    EXPECT_EQ(Want.Id, Got.Id);
    EXPECT_EQ(Want.Started, Got.Started);
    EXPECT_EQ(Want.Ended, Got.Ended);
    EXPECT_EQ(Got.Started.timeSpec(), Qt::UTC);
    const QStringList want = {Want.Program, Want.ProgramVersion, Want.Host, Want.User, Want.Way, Want.Port,
                              Want.DockAddress, Want.DockKind, Want.InstrumentType, Want.VersionBefore,
                              Want.ImageFile, Want.ImageSha256, Want.ImageVersion, Want.Outcome, Want.Message};
    const QStringList got = {Got.Program, Got.ProgramVersion, Got.Host, Got.User, Got.Way, Got.Port,
                             Got.DockAddress, Got.DockKind, Got.InstrumentType, Got.VersionBefore,
                             Got.ImageFile, Got.ImageSha256, Got.ImageVersion, Got.Outcome, Got.Message};
    EXPECT_EQ(want, got);
    EXPECT_EQ(Want.PagesSent, Got.PagesSent);
    EXPECT_EQ(Want.Resends, Got.Resends);
}

}  // namespace

// Begin, what is learnt on the way (in the row before the end, so a killed
// program's row has it), Finish.
TEST(UpgradeHistory, AnAttemptReadsBackWithEveryFieldAtEachStep)
{
    THistoryDir dir;
    TUpgradeHistory history(dir.File());
    TUpgradeAttempt attempt = FullAttempt(3);
    attempt.VersionBefore.clear();
    ASSERT_GT(history.Begin(attempt), 0) << history.Warning().toStdString();
    EXPECT_TRUE(history.Warning().isEmpty());
    EXPECT_EQ(attempt.Outcome, HistoryOutcome::InProgress);
    ExpectSame(attempt, history.Records().value(0));

    attempt.VersionBefore = "1.10";
    attempt.PagesSent = 120;
    ASSERT_TRUE(history.Update(attempt));
    ExpectSame(attempt, history.Records().value(0));

    attempt.Ended = attempt.Started.addSecs(71).addMSecs(3);
    attempt.PagesSent = 446;
    attempt.Resends = 2;
    attempt.Outcome = HistoryOutcome::Failed;
    attempt.Message = "Page 7 was not accepted after 6 attempts.\nCorvane ZRA/ZRN Disconnected";
    ASSERT_TRUE(history.Finish(attempt)) << history.Warning().toStdString();
    const QList<TUpgradeAttempt> rows = history.Records();
    ASSERT_EQ(rows.size(), 1);
    ExpectSame(attempt, rows[0]);
}

TEST(UpgradeHistory, BeginFillsInThisProcessAndAnEndWithoutOutcomeIsUnfinished)
{
    THistoryDir dir;
    TUpgradeHistory history(dir.File());
    TUpgradeAttempt attempt;
    const QDateTime before = QDateTime::currentDateTimeUtc();
    ASSERT_GT(history.Begin(attempt), 0);
    ASSERT_TRUE(history.Finish(attempt));
    const TUpgradeAttempt row = history.Records().value(0);
    EXPECT_EQ(row.Host, QSysInfo::machineHostName());
    EXPECT_FALSE(row.User.isEmpty());
    EXPECT_EQ(row.Program, QCoreApplication::applicationName());
    EXPECT_GE(row.Started, before.addMSecs(-1));
    EXPECT_GE(row.Ended, row.Started);
    EXPECT_EQ(row.Outcome, HistoryOutcome::Unfinished);
}

TEST(UpgradeHistory, TheFileIsNamedByKT4HistoryOrLivesInTheUsersDataFolder)
{
    THistoryDir dir;
    const QByteArray oldData = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", dir.Dir().toUtf8());
    const struct {
        const char* Name;
        const char* Value;  // null: unset
        QString Path;
    } cases[] = {
        {"unset", nullptr, dir.Dir() + "/kt4-head-upgrade/history.sqlite"},
        {"a file", "/srv/bench/history.sqlite", "/srv/bench/history.sqlite"},
        {"set but empty", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.Value)
            qputenv("KT4_HISTORY", c.Value);
        else
            qunsetenv("KT4_HISTORY");
        EXPECT_EQ(TUpgradeHistory::DefaultPath(), c.Path);
    }
    // None kept: nothing written, and that is no problem.
    TUpgradeHistory none(TUpgradeHistory::DefaultPath());
    TUpgradeAttempt a = FullAttempt(0);
    EXPECT_FALSE(none.Enabled());
    EXPECT_EQ(none.Begin(a), 0);
    EXPECT_FALSE(none.Finish(a));
    EXPECT_TRUE(none.Warning().isEmpty());
    // The folder is made with the first record.
    qunsetenv("KT4_HISTORY");
    {
        TUpgradeHistory store(TUpgradeHistory::DefaultPath());
        EXPECT_GT(store.Begin(a), 0) << store.Warning().toStdString();
    }
    EXPECT_EQ(QDir(dir.Dir()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"kt4-head-upgrade"});
    EXPECT_TRUE(QFile::exists(cases[0].Path));
    qputenv("XDG_DATA_HOME", oldData);
}

// A write-ahead journal and our schema version; a later program's file (a
// column more, a higher version) is written and keeps its version.
TEST(UpgradeHistory, TheFileHasItsJournalAndSchemaVersionAndALaterOnesIsKept)
{
    THistoryDir dir;
    {
        TUpgradeHistory history(dir.File());
        TUpgradeAttempt a = FullAttempt(0);
        ASSERT_GT(history.Begin(a), 0);
        EXPECT_EQ(Ask(dir.File(), "PRAGMA journal_mode").toString(), "wal");
        EXPECT_EQ(Ask(dir.File(), "PRAGMA user_version").toInt(), TUpgradeHistory::SchemaVersion);
    }
    Ask(dir.File(), "ALTER TABLE attempts ADD COLUMN operator_note TEXT");
    Ask(dir.File(), "PRAGMA user_version = 2");
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
        EXPECT_TRUE(first.Finish(a) && second.Finish(b));
        EXPECT_EQ(first.Records().size(), 2);
        EXPECT_EQ(QSqlDatabase::connectionNames().size(), before.size() + 2);
    }
    EXPECT_EQ(QSqlDatabase::connectionNames(), before);
}

// Another program holds the write lock longer than the busy wait: the start
// is told and not written; the end is written whole once the file is free.
// So is an end whose row went with a replaced file.
TEST(UpgradeHistory, AnAttemptWhoseStartIsNotThereIsWrittenWholeAtTheEnd)
{
    THistoryDir dir;
    auto history = std::make_unique<TUpgradeHistory>(dir.File());
    history->SetBusyTimeOutMs(50);
    TUpgradeAttempt locked = FullAttempt(1), replaced = FullAttempt(2);
    ASSERT_GT(history->Begin(replaced), 0);
    {
        QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "locker");
        other.setDatabaseName(dir.File());
        ASSERT_TRUE(other.open());
        QSqlQuery lock(other);
        ASSERT_TRUE(lock.exec("BEGIN EXCLUSIVE"));
        EXPECT_EQ(history->Begin(locked), 0);
        EXPECT_TRUE(history->Warning().contains("The upgrade history " + dir.File() + " is locked by another program"))
            << history->Warning().toStdString();
        lock.exec("ROLLBACK");
        other.close();
    }
    QSqlDatabase::removeDatabase("locker");
    locked.Outcome = HistoryOutcome::Completed;
    ASSERT_TRUE(history->Finish(locked)) << history->Warning().toStdString();
    EXPECT_TRUE(history->Warning().isEmpty());
    const TUpgradeAttempt written = history->Records().value(1);  // begun before the other
    EXPECT_EQ(written.Message, locked.Message);
    EXPECT_EQ(written.Outcome, HistoryOutcome::Completed);

    history.reset();  // let go, replace the file, take it up again
    for (const char* part : {"", "-wal", "-shm"})
        ASSERT_TRUE(QFile::remove(dir.File() + part));
    history = std::make_unique<TUpgradeHistory>(dir.File());
    replaced.Outcome = HistoryOutcome::Completed;
    ASSERT_TRUE(history->Finish(replaced));
    const QList<TUpgradeAttempt> rows = history->Records();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].Outcome, HistoryOutcome::Completed);
    EXPECT_EQ(rows[0].ImageFile, replaced.ImageFile);
}

// A damaged file is moved aside, named in the warning, kept as it was; a
// new history starts and takes the record.
TEST(UpgradeHistory, ADamagedFileIsMovedAsideAndANewOneStarted)
{
    const struct {
        const char* Name;
        bool History;     // a real history, damaged, or bytes that never were one
        qint64 At;
        QByteArray Bytes;
    } cases[] = {
        {"not a database at all", false, 0, QByteArray("this was never an upgrade history\n").repeated(300)},
        {"a history whose first page was overwritten", true, 100, QByteArray(1000, '\xff')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THistoryDir dir;
        if (c.History) {
            TUpgradeHistory history(dir.File());
            for (int n = 0; n < 3; ++n) {
                TUpgradeAttempt a = FullAttempt(n);
                ASSERT_TRUE(history.Begin(a) > 0 && history.Finish(a));
            }
            Ask(dir.File(), "PRAGMA wal_checkpoint(TRUNCATE)");
            ASSERT_EQ(QFileInfo(dir.File() + "-wal").size(), 0);  // all of it in the file itself
        }
        QFile file(dir.File());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(c.At);
        file.write(c.Bytes);
        file.seek(0);
        const QByteArray damaged = file.readAll();
        file.close();

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
    }
}

TEST(UpgradeHistory, Sha256IsSha256sums)
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
        EXPECT_EQ(TUpgradeHistory::Sha256(bytes), expected);
    }
}

TEST(UpgradeHistory, AWriterIsGoneOnlyWhenThisComputerCanTell)
{
    const QString host = QSysInfo::machineHostName();
    QFile bootFile("/proc/sys/kernel/random/boot_id"), statFile("/proc/self/stat");
    ASSERT_TRUE(bootFile.open(QIODevice::ReadOnly) && statFile.open(QIODevice::ReadOnly));
    const QString boot = QString::fromLatin1(bootFile.readAll().trimmed());
    const QByteArray stat = statFile.readAll();
    const qint64 started = stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(19).toLongLong();
    ASSERT_GT(started, 0);
    const pid_t endedPid = ::fork();
    if (endedPid == 0)
        ::_exit(0);
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

// A typo in KT4_HISTORY naming another program's database: the upgrade
// neither writes into it nor converts it, and says so.
TEST(UpgradeHistory, AnotherProgramsDatabaseIsLeftAsItIs)
{
    THistoryDir dir;
    Ask(dir.File(), "CREATE TABLE notes (line TEXT)");
    QFile file(dir.File());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    TUpgradeHistory history(dir.File());
    TUpgradeAttempt a = FullAttempt(1);
    EXPECT_EQ(history.Begin(a), 0);
    EXPECT_TRUE(history.Warning().contains("The file " + dir.File() + " is another program's database"))
        << history.Warning().toStdString();
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll() == before);
    EXPECT_EQ(dir.Entries("").join(" ").toStdString(), "history.sqlite");
}
