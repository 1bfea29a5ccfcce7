// The upgrade history as the real programs write it: kt4-flash upgrading the
// simulated instrument (alone, killed in the middle, as a shelf), with its
// history in a folder of the test's own, read back through
// kt4-flash --history --json; and the window under the offscreen platform.

#include "app/uFlash.h"
#include "head/KT4Head.h"
#include "history/UpgradeHistory.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t Nobody = 65534;
const QString Completed = "Flash Upload Completed";

bool RunningAsRoot()
{
    return ::geteuid() == 0;
}

// Waits, with the event loop running, until Condition holds.
void WaitUntil(const std::function<bool()>& Condition)
{
    while (!Condition())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
}

QByteArray ReadFile(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Pages 66 to 511 of an image, as they must stand in the instrument's flash.
QByteArray UploadedPart(const QByteArray& Image)
{
    return Image.mid(FirstFlashAddress);
}

// The image's SHA-256 as the system's own sha256sum gives it.
QString Sha256Sum(const QString& File)
{
    QProcess sum;
    sum.start("sha256sum", {File});
    sum.waitForFinished(-1);
    return QString::fromLatin1(sum.readAllStandardOutput()).section(' ', 0, 0);
}

// kt4-flash as a process, its history in History, its two streams apart.
// AsOtherUser runs it as "nobody" when the tests run as root (root may
// write into any folder).
class TFlash {
public:
    TFlash(const QStringList& Arguments, const QString& History, const QStringList& Environment = {},
           bool AsOtherUser = false)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KT4_HISTORY", History);
        for (const QString& entry : Environment)
            env.insert(entry.section('=', 0, 0), entry.section('=', 1));
        FProcess.setProcessEnvironment(env);
        if (AsOtherUser && RunningAsRoot())
            FProcess.setChildProcessModifier([] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(Nobody) != 0 || ::setuid(Nobody) != 0)
                    ::_exit(99);
            });
        FProcess.start(KT4_FLASH_PATH, Arguments);
        FProcess.closeWriteChannel();  // no operator at the terminal
        FProcess.waitForStarted(-1);
    }
    ~TFlash()
    {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished(-1);
        }
    }
    // Waits for a line on standard output beginning with Prefix; false when
    // the program ended first.
    bool WaitForLine(const QString& Prefix)
    {
        for (;;) {
            Read();
            for (const QString& line : Out.split('\n'))
                if (line.startsWith(Prefix) && Out.contains(line + '\n'))
                    return true;
            if (FProcess.state() == QProcess::NotRunning)
                return false;
            FProcess.waitForReadyRead(1000);
        }
    }
    void Kill()
    {
        ::kill(static_cast<pid_t>(FProcess.processId()), SIGKILL);
        FProcess.waitForFinished(-1);
    }
    // The exit status (-1 for a crash or a signal).
    int WaitForEnd()
    {
        FProcess.waitForFinished(-1);
        Read();
        return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
    }

    QString Out, Err;

private:
    void Read()
    {
        Out += QString::fromLocal8Bit(FProcess.readAllStandardOutput());
        Err += QString::fromLocal8Bit(FProcess.readAllStandardError());
    }
    QProcess FProcess;
};

// The records of History, newest first, as kt4-flash --history --json prints them.
QList<QJsonObject> Records(const QString& History)
{
    TFlash history({"--history", "--json"}, History);
    EXPECT_EQ(history.WaitForEnd(), 0) << history.Err.toStdString();
    QList<QJsonObject> records;
    for (const QString& line : history.Out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8());
        EXPECT_TRUE(doc.isObject()) << line.toStdString();
        records << doc.object();
    }
    return records;
}

// A folder of the test's own that another user may enter, with the image
// in it (readable by all) and the history's place.
class TBench {
public:
    TBench()
    {
        ::chmod(QFile::encodeName(FDir.path()).constData(), 0755);
        QDir().mkpath(Place());
    }
    QString Dir() const { return FDir.path(); }
    QString Place() const { return FDir.filePath("place"); }
    QString History() const { return Place() + "/history.sqlite"; }
    // The simulator's sample image, copied where every user may read it.
    QString Image(TSimProcess& Sim, const QString& Version = "1.20")
    {
        const QString image = FDir.filePath("kt4-" + Version + ".bin");
        QFile::remove(image);
        QFile::copy(Sim.MakeImage(Version), image);
        QFile::setPermissions(image, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        return image;
    }

private:
    QTemporaryDir FDir;
};

// Lets another user (nobody, when the tests run as root) open the
// simulator's pseudo-terminal.
void OpenToAll(const QString& Device)
{
    ::chmod(QFile::encodeName(Device).constData(), 0666);
}

// Why the cases run as another user cannot run here (empty when they can):
// as root, the other user must reach kt4-flash where it was built.
QString OtherUserCannotRun()
{
    static const QString reason = [] {
        if (!RunningAsRoot())
            return QString();
        TFlash version({"--version"}, "", {}, true);
        if (version.WaitForEnd() == 0 && version.Out.startsWith("kt4-flash "))
            return QString();
        return QString("the unprivileged user may not run %1 from where it was built").arg(KT4_FLASH_PATH);
    }();
    return reason;
}

}  // namespace

// A successful upgrade's record, on each way an instrument is reached
// without a dock: what was sent, from which file, to what, and how it ended.
TEST(HistoryUpgrade, ASuccessfulUpgradeRecordsEveryField)
{
    enum TWay { Port, IrComm, Irda };
    const struct {
        const char* Name;
        TWay Way;
        QStringList SimOptions;
        int Resends;
    } cases[] = {
        {"--port", Port, {}, 0},
        {"--port, every hundredth page refused once", Port, {"--nak-every", "100"}, 4},
        {"the infrared driver's port (KT4_IRCOMM)", IrComm, {}, 0},
        {"the simulated IrDA stack", Irda, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TBench bench;
        TSimProcess sim(c.SimOptions, c.Way == Irda ? TSimProcess::OverIrda : TSimProcess::OnPty);
        const QString image = bench.Image(sim);
        QStringList arguments = {image, "--yes"}, environment;
        if (c.Way == Port)
            arguments << "--port" << sim.PtyPath();
        else if (c.Way == IrComm)
            environment << "KT4_IRCOMM=" + sim.PtyPath();
        else
            environment << "KT4_IRDA_SIM=" + sim.IrdaSocket();
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        TFlash flash(arguments, bench.History(), environment);
        ASSERT_EQ(flash.WaitForEnd(), 0) << flash.Out.toStdString() << flash.Err.toStdString();
        EXPECT_TRUE(flash.Err.isEmpty()) << flash.Err.toStdString();

        TFlash version({"--version"}, "");
        version.WaitForEnd();
        const QList<QJsonObject> records = Records(bench.History());
        ASSERT_EQ(records.size(), 1);
        const QJsonObject& r = records[0];
        const QList<std::pair<const char*, QString>> texts = {
            {"program", "kt4-flash"},
            {"program_version", version.Out.trimmed().section(' ', 1)},
            {"host", QSysInfo::machineHostName()},
            {"way", c.Way == Port ? "serial" : "infrared"},
            {"port", c.Way == Irda ? QString() : sim.PtyPath()},
            {"dock_address", ""},
            {"dock_kind", ""},
            {"instrument_type", "KT4 head"},
            {"version_before", "1.10"},
            {"image_file", image},
            {"image_sha256", Sha256Sum(image)},
            {"image_version", "1.20"},
            {"outcome", "completed"},
            {"message", Completed},
        };
        for (const auto& [key, value] : texts)
            EXPECT_EQ(r[key].toString().toStdString(), value.toStdString()) << key;
        EXPECT_FALSE(r["user"].toString().isEmpty());
        EXPECT_EQ(r["pages_sent"].toInt(), 446);
        EXPECT_EQ(r["resends"].toInt(), c.Resends);
        const QDateTime started = QDateTime::fromString(r["started"].toString(), Qt::ISODateWithMs);
        const QDateTime ended = QDateTime::fromString(r["ended"].toString(), Qt::ISODateWithMs);
        EXPECT_TRUE(r["started"].toString().endsWith('Z') && r["ended"].toString().endsWith('Z'));
        EXPECT_LE(before, started);
        EXPECT_LE(started, ended);
        EXPECT_LE(ended, QDateTime::currentDateTimeUtc());
        sim.Stop();
        EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
    }
}

// SIGKILL in the middle of the upload: nothing of kt4-flash runs any more,
// and its row says the attempt never finished, with what was known by then.
TEST(HistoryUpgrade, AKt4FlashKilledInTheMiddleOfTheUploadLeavesAnUnfinishedRecord)
{
    TBench bench;
    // Silent after page 100: the upload cannot end before the kill.
    TSimProcess sim({"--silent-after", "100"});
    const QString image = bench.Image(sim);
    TFlash flash({image, "--yes", "--port", sim.PtyPath()}, bench.History());
    ASSERT_TRUE(flash.WaitForLine("Page ")) << flash.Out.toStdString() << flash.Err.toStdString();

    const QList<QJsonObject> during = Records(bench.History());
    ASSERT_EQ(during.size(), 1);
    EXPECT_EQ(during[0]["outcome"].toString(), "in progress");  // its program is still there

    flash.Kill();
    const QList<QJsonObject> records = Records(bench.History());
    ASSERT_EQ(records.size(), 1);
    const QJsonObject& r = records[0];
    EXPECT_EQ(r["outcome"].toString(), "unfinished");
    EXPECT_TRUE(r["ended"].isNull());
    EXPECT_EQ(r["id"], during[0]["id"]);
    EXPECT_EQ(r["way"].toString(), "serial");
    EXPECT_EQ(r["port"].toString(), sim.PtyPath());
    EXPECT_EQ(r["version_before"].toString(), "1.10");
    EXPECT_EQ(r["image_file"].toString(), image);
    EXPECT_EQ(r["image_sha256"].toString(), Sha256Sum(image));
    EXPECT_EQ(r["image_version"].toString(), "1.20");
}

// A history that cannot be kept as it is: the warning on standard error,
// once, and the upgrade's own outcome. A damaged file is moved aside and the
// attempt recorded in a new one; a place that may not be written keeps
// what it had.
TEST(HistoryUpgrade, ADamagedOrReadOnlyHistoryIsToldAndTheUpgradeSucceeds)
{
    enum TPlace { Damaged, ReadOnlyFolder, ReadOnlyFile };
    const struct {
        const char* Name;
        TPlace Place;
        const char* Says;
        int RecordsAfter;
    } cases[] = {
        {"a damaged file", Damaged, "was damaged; it was moved aside to ", 1},
        {"a read-only folder", ReadOnlyFolder, "cannot be written (its folder ", 0},
        {"a read-only file", ReadOnlyFile, "cannot be written (the file is read-only)", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.Place != Damaged && !OtherUserCannotRun().isEmpty())
            continue;  // skipped below, with the reason
        TBench bench;
        TSimProcess sim;
        OpenToAll(sim.PtyPath());
        const QString image = bench.Image(sim);
        if (c.Place == Damaged) {
            QFile file(bench.History());
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(8192, 'x'));
        }
        if (c.Place == ReadOnlyFile) {
            TUpgradeHistory history(bench.History());
            TUpgradeAttempt earlier;
            earlier.Port = "/dev/earlier";
            ASSERT_GT(history.Begin(earlier), 0);
            earlier.Outcome = HistoryOutcome::Completed;
            ASSERT_TRUE(history.Finish(earlier));
        }
        if (c.Place == ReadOnlyFile)
            for (const char* part : {"", "-wal", "-shm"})
                ::chmod(QFile::encodeName(bench.History() + part).constData(), 0444);
        if (c.Place != Damaged && RunningAsRoot())
            (void)::chown(QFile::encodeName(bench.Place()).constData(), Nobody, Nobody);
        if (c.Place == ReadOnlyFolder)
            ::chmod(QFile::encodeName(bench.Place()).constData(), 0555);

        TFlash flash({image, "--yes", "--port", sim.PtyPath()}, bench.History(), {}, c.Place != Damaged);
        EXPECT_EQ(flash.WaitForEnd(), 0) << flash.Out.toStdString() << flash.Err.toStdString();
        EXPECT_EQ(flash.Out.count(Completed), 1) << flash.Out.toStdString();
        EXPECT_EQ(flash.Err.count("kt4-flash: The upgrade history " + bench.History()), 1) << flash.Err.toStdString();
        EXPECT_TRUE(flash.Err.contains(c.Says)) << flash.Err.toStdString();
        sim.Stop();
        EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));

        const QList<QJsonObject> records = Records(bench.History());
        ASSERT_EQ(records.size(), c.RecordsAfter);
        if (c.Place == Damaged) {
            EXPECT_EQ(records[0]["outcome"].toString(), "completed");
            const QString aside = flash.Err.section("moved aside to ", 1).section(' ', 0, 0);
            EXPECT_TRUE(aside.startsWith(bench.History() + ".corrupt-")) << aside.toStdString();
            EXPECT_EQ(ReadFile(aside), QByteArray(8192, 'x'));
        }
        if (c.Place == ReadOnlyFile) {
            EXPECT_EQ(records[0]["port"].toString(), "/dev/earlier");
        }
        ::chmod(QFile::encodeName(bench.Place()).constData(), 0755);
    }
    if (!OtherUserCannotRun().isEmpty())
        GTEST_SKIP() << "the read-only cases: " << OtherUserCannotRun().toStdString();
}

// Three instruments at once, one of which refuses the program command: one
// record each, written by each member's own process, with its outcome and
// the image's SHA-256. A history the members may not write is told once,
// after the summary, and is no member's failure.
TEST(HistoryUpgrade, AShelfOfThreeOneFailingGivesThreeRecords)
{
    const struct {
        const char* Name;
        bool ReadOnlyFolder;
    } cases[] = {
        {"a history to write into", false},
        {"a read-only folder", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.ReadOnlyFolder && !OtherUserCannotRun().isEmpty())
            continue;  // skipped below, with the reason
        TBench bench;
        std::vector<std::unique_ptr<TSimProcess>> sims;
        for (int i = 0; i < 3; ++i) {
            sims.push_back(std::make_unique<TSimProcess>(i == 1 ? QStringList{"--pfm-nak"} : QStringList{}));
            OpenToAll(sims.back()->PtyPath());
        }
        const QString image = bench.Image(*sims[0]);
        QStringList arguments = {image, "--yes"};
        for (const auto& sim : sims)
            arguments << "--port" << sim->PtyPath();
        if (c.ReadOnlyFolder) {
            if (RunningAsRoot())
                (void)::chown(QFile::encodeName(bench.Place()).constData(), Nobody, Nobody);
            ::chmod(QFile::encodeName(bench.Place()).constData(), 0555);
        }
        TFlash shelf(arguments, bench.History(), {}, c.ReadOnlyFolder);
        EXPECT_EQ(shelf.WaitForEnd(), 4) << shelf.Out.toStdString();
        EXPECT_TRUE(shelf.Out.contains("2 of 3 upgraded in")) << shelf.Out.toStdString();
        const QString failed = shelf.Out.mid(shelf.Out.lastIndexOf("\n" + sims[1]->PtyPath() + ' ')).section('\n', 1, 1).simplified();
        EXPECT_TRUE(failed.contains(" 4 failed: ")) << failed.toStdString();
        EXPECT_FALSE(failed.contains("upgrade history")) << failed.toStdString();
        ::chmod(QFile::encodeName(bench.Place()).constData(), 0755);
        if (c.ReadOnlyFolder) {
            EXPECT_EQ(shelf.Err.count("kt4-flash: The upgrade history " + bench.History() + " cannot be written"), 1)
                << shelf.Err.toStdString();
            EXPECT_TRUE(Records(bench.History()).isEmpty());
            continue;
        }
        EXPECT_TRUE(shelf.Err.isEmpty()) << shelf.Err.toStdString();

        const QString sha256 = Sha256Sum(image);
        ASSERT_EQ(sha256.size(), 64);
        const QList<QJsonObject> records = Records(bench.History());
        ASSERT_EQ(records.size(), 3);
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(sims[i]->PtyPath().toStdString());
            const auto r = std::find_if(records.begin(), records.end(), [&](const QJsonObject& o) {
                return o["port"].toString() == sims[i]->PtyPath();
            });
            ASSERT_NE(r, records.end());
            EXPECT_EQ((*r)["outcome"].toString(), i == 1 ? "failed" : "completed");
            EXPECT_EQ((*r)["image_sha256"].toString(), sha256);
            EXPECT_EQ((*r)["image_file"].toString(), image);
            EXPECT_EQ((*r)["version_before"].toString(), "1.10");
            EXPECT_EQ((*r)["pages_sent"].toInt(), 446);
            EXPECT_EQ((*r)["way"].toString(), "serial");
        }
    }
    if (!OtherUserCannotRun().isEmpty())
        GTEST_SKIP() << "the read-only case: " << OtherUserCannotRun().toStdString();
}

// An upgrade that makes the history makes it private: its folders 0700, the
// file and its journal 0600.
TEST(HistoryUpgrade, AFreshHistoryIsTheUsersAlone)
{
    TBench bench;
    TSimProcess sim;
    const QString image = bench.Image(sim);
    const QString history = bench.Dir() + "/new/deeper/history.sqlite";
    TFlash flash({image, "--yes", "--port", sim.PtyPath()}, history);
    ASSERT_EQ(flash.WaitForEnd(), 0) << flash.Err.toStdString();
    ASSERT_EQ(Records(history).size(), 1);
    const QList<std::pair<QString, mode_t>> modes = {
        {bench.Dir() + "/new", 0700},
        {bench.Dir() + "/new/deeper", 0700},
        {history, 0600},
        {history + "-wal", 0600},
        {history + "-shm", 0600},
    };
    for (const auto& [path, mode] : modes) {
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
        EXPECT_EQ(info.st_mode & 07777, mode) << std::oct << info.st_mode << " " << path.toStdString();
    }
}

// Another program holds the history's write lock from before the start: the
// upgrade goes on untold; its record lands once the lock has gone, with the
// SHA-256 of the bytes sent although the image file changed meanwhile. A lock
// held past the program's end is told once, and only that record is lost.
TEST(HistoryUpgrade, ALockedHistoryTakesTheRecordOnceItIsFree)
{
    const struct {
        const char* Name;
        bool FreedDuringTheUpload;
    } cases[] = {
        {"freed during the upload", true},
        {"locked until the program has ended", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TBench bench;
        TSimProcess sim;
        const QString image = bench.Image(sim);
        const QByteArray sent = ReadFile(image);
        {
            TUpgradeHistory history(bench.History());
            TUpgradeAttempt earlier;
            ASSERT_GT(history.Begin(earlier), 0);
            earlier.Outcome = HistoryOutcome::Completed;
            ASSERT_TRUE(history.Finish(earlier));
        }
        QSqlDatabase locker = QSqlDatabase::addDatabase("QSQLITE", "locker");
        locker.setDatabaseName(bench.History());
        ASSERT_TRUE(locker.open() && QSqlQuery(locker).exec("BEGIN EXCLUSIVE"));
        const auto unlock = [&locker] { locker.close(); };  // its transaction rolled back

        TFlash flash({image, "--yes", "--port", sim.PtyPath()}, bench.History());
        ASSERT_TRUE(flash.WaitForLine("Page ")) << flash.Err.toStdString();
        QFile file(image);  // another image in its place, once this one was loaded
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(sent).replace(FirstFlashAddress, 4, "XXXX"));
        file.close();
        if (c.FreedDuringTheUpload)
            unlock();
        EXPECT_EQ(flash.WaitForEnd(), 0) << flash.Err.toStdString();
        unlock();
        locker = QSqlDatabase();
        QSqlDatabase::removeDatabase("locker");
        EXPECT_EQ(flash.Out.count(Completed), 1);
        sim.Stop();
        EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(sent));

        const QList<QJsonObject> records = Records(bench.History());
        if (!c.FreedDuringTheUpload) {
            EXPECT_EQ(flash.Err.count("kt4-flash: The upgrade history " + bench.History()), 1)
                << flash.Err.toStdString();
            EXPECT_TRUE(flash.Err.contains("locked by another program")) << flash.Err.toStdString();
            EXPECT_EQ(records.size(), 1);
            continue;
        }
        EXPECT_FALSE(flash.Err.contains("upgrade history")) << flash.Err.toStdString();
        ASSERT_EQ(records.size(), 2);
        EXPECT_EQ(records[0]["outcome"].toString(), "completed");
        EXPECT_EQ(records[0]["pages_sent"].toInt(), 446);
        EXPECT_EQ(records[0]["version_before"].toString(), "1.10");
        EXPECT_EQ(records[0]["image_sha256"].toString().toStdString(),
                  QCryptographicHash::hash(sent, QCryptographicHash::Sha256).toHex().toStdString());
    }
}

namespace {

// The real window against the simulator through KT4_IRCOMM, its boxes
// answered by the scripted dialogs, its history in History.
struct HistoryWindow : ::testing::Test {
    void Open(const QString& History)
    {
        sim = std::make_unique<TSimProcess>();
        image = sim->MakeImage("1.20");
        qputenv("KT4_HISTORY", History.toLocal8Bit());
        qputenv("KT4_IRCOMM", sim->PtyPath().toLocal8Bit());
        window = std::make_unique<TfrmUpgrade>();
        window->show();
        WaitUntil([&] { return !window->KeskLink1->ResponseTimer()->Enabled(); });
        qunsetenv("KT4_IRCOMM");
        qputenv("KT4_HISTORY", "");
    }
    // One upgrade from Start to its summary box.
    void Upgrade()
    {
        const int summaries = dialogs->Texts().count(Completed);
        dialogs->QueueFile(image);
        window->cbStart->click();
        WaitUntil([&] { return dialogs->Texts().count(Completed) > summaries; });
    }
    int HistoryBoxes()
    {
        int count = 0;
        for (const TDialogRecord& r : dialogs->Records())
            count += r.Text.startsWith("The upgrade history ");
        return count;
    }
    void TearDown() override
    {
        window.reset();
        qputenv("KT4_HISTORY", "");
    }

    TScriptedDialogsScope dialogs;
    std::unique_ptr<TSimProcess> sim;
    std::unique_ptr<TfrmUpgrade> window;
    QString image;
};

}  // namespace

// A history that cannot be written fails every write of an upgrade (its
// start, what is learnt on the way, its end): the window shows one box for
// it per upgrade, and each upgrade goes on to its own end.
TEST_F(HistoryWindow, AnUnwritableHistoryIsOneBoxPerUpgrade)
{
    TBench bench;
    // A file where the history's folder should be: no user may make it.
    QFile blocker(bench.Dir() + "/not-a-folder");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Open(blocker.fileName() + "/history.sqlite");
    Upgrade();
    EXPECT_EQ(HistoryBoxes(), 1) << dialogs->Texts().join("\n").toStdString();
    Upgrade();
    EXPECT_EQ(HistoryBoxes(), 2) << dialogs->Texts().join("\n").toStdString();
    EXPECT_EQ(dialogs->Texts().count(Completed), 2);
}

// The window's record: the infrared way it took, and a Load File between
// upgrades leaves the last record as it ended.
TEST_F(HistoryWindow, LoadingAFileBetweenUpgradesLeavesTheLastRecordAsItEnded)
{
    TBench bench;
    Open(bench.History());
    Upgrade();
    QList<QJsonObject> records = Records(bench.History());
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0]["outcome"].toString(), "completed");
    EXPECT_EQ(records[0]["way"].toString(), "infrared");
    EXPECT_EQ(records[0]["port"].toString(), sim->PtyPath());
    EXPECT_EQ(records[0]["image_sha256"].toString(), Sha256Sum(image));

    dialogs->QueueFile(image);
    window->cbLoadFlash->click();
    records = Records(bench.History());
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0]["outcome"].toString(), "completed");
    EXPECT_FALSE(records[0]["ended"].isNull());
    EXPECT_EQ(HistoryBoxes(), 0);
}
