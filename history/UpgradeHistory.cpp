#include "history/UpgradeHistory.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>
#include <QUrl>
#include <QVariant>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

// SQLite's primary result codes that the history tells apart.
enum : int {
    SqlitePerm = 3,
    SqliteBusy = 5,
    SqliteLocked = 6,
    SqliteReadOnly = 8,
    SqliteIoErr = 10,
    SqliteCorrupt = 11,
    SqliteFull = 13,
    SqliteCantOpen = 14,
    SqliteNotADb = 26,
};

// Our own codes for problems met before SQLite is reached.
constexpr char NoDriverCode[] = "kt4-no-driver";
constexpr char NoFolderCode[] = "kt4-no-folder";
constexpr char ForeignCode[] = "kt4-foreign";  // an SQLite file with tables, none of them ours

int SqliteCode(const QSqlError& Error)
{
    bool ok = false;
    const int code = Error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : -1;  // an extended code carries the primary one in its low byte
}

bool IsBusy(const QSqlError& Error)
{
    const int code = SqliteCode(Error);
    return code == SqliteBusy || code == SqliteLocked;
}

bool IsDamaged(const QSqlError& Error)
{
    const int code = SqliteCode(Error);
    return code == SqliteCorrupt || code == SqliteNotADb;
}

const char* const Columns[] = {
    "started",     "ended",         "program",         "program_version", "host",         "user",
    "way",         "port",          "dock_address",    "dock_kind",       "instrument_type",
    "version_before", "image_file", "image_sha256",    "image_version",   "pages_sent",   "resends",
    "outcome",     "message",       "writer_pid",      "writer_host",     "writer_boot",  "writer_start",
};
constexpr int ColumnCount = sizeof(Columns) / sizeof(Columns[0]);
constexpr int FirstWriterColumn = 19;  // writer_pid: set by Begin (and by a whole row written at the end)

// Schema steps: Migrations[N] takes a file at version N to N + 1.
bool CreateVersion1(QSqlDatabase& Db, QSqlError* Error)
{
    QSqlQuery query(Db);
    const char* statements[] = {
        "CREATE TABLE IF NOT EXISTS attempts ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " started TEXT NOT NULL, ended TEXT,"
        " program TEXT, program_version TEXT, host TEXT, user TEXT,"
        " way TEXT, port TEXT, dock_address TEXT, dock_kind TEXT,"
        " instrument_type TEXT, version_before TEXT,"
        " image_file TEXT, image_sha256 TEXT, image_version TEXT,"
        " pages_sent INTEGER NOT NULL DEFAULT 0, resends INTEGER NOT NULL DEFAULT 0,"
        " outcome TEXT NOT NULL, message TEXT,"
        " writer_pid INTEGER, writer_host TEXT, writer_boot TEXT, writer_start INTEGER)",
        "CREATE INDEX IF NOT EXISTS attempts_started ON attempts (started)",
    };
    for (const char* statement : statements)
        if (!query.exec(statement)) {
            *Error = query.lastError();
            return false;
        }
    return true;
}

using TMigration = bool (*)(QSqlDatabase&, QSqlError*);
const TMigration Migrations[] = {CreateVersion1};
static_assert(sizeof(Migrations) / sizeof(Migrations[0]) == TUpgradeHistory::SchemaVersion);

QString IsoUtc(const QDateTime& Time)
{
    return Time.isValid() ? Time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime FromIso(const QVariant& Value)
{
    if (Value.isNull())
        return {};
    QDateTime time = QDateTime::fromString(Value.toString(), Qt::ISODateWithMs);
    if (!time.isValid())
        time = QDateTime::fromString(Value.toString(), Qt::ISODate);
    return time.isValid() ? time.toUTC() : QDateTime();
}

// ---- who writes: enough to tell later whether that process is still there

QString ThisBoot()
{
    static const QString boot = [] {
        QFile file("/proc/sys/kernel/random/boot_id");
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed()) : QString();
    }();
    return boot;
}

// The state letter and start time (clock ticks after boot) of a process, from
// /proc/PID/stat; false when there is no such process.
bool ProcessStat(qint64 Pid, char* State, qint64* StartTicks)
{
    QFile file(QString("/proc/%1/stat").arg(Pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = file.readAll();
    const int close = stat.lastIndexOf(')');  // the command name may hold spaces and parentheses
    if (close < 0)
        return false;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 20 || fields[0].isEmpty())
        return false;
    *State = fields[0][0];
    *StartTicks = fields[19].toLongLong();  // field 22 of the line
    return true;
}

qint64 ThisStartTicks()
{
    char state = 0;
    qint64 ticks = 0;
    return ProcessStat(::getpid(), &state, &ticks) ? ticks : 0;
}

QString ThisUser()
{
    static const QString user = [] {
        if (const passwd* entry = ::getpwuid(::geteuid()))
            return QString::fromLocal8Bit(entry->pw_name);
        return qEnvironmentVariable("USER");
    }();
    return user;
}

// ---- the file's place: private when the history makes it

// Makes Folder and the folders above it that are missing, each for its owner
// alone; folders that are there are left as they are.
bool MakePrivateFolder(const QString& Folder)
{
    if (QFileInfo(Folder).isDir())
        return true;
    const QString above = QFileInfo(Folder).path();
    if (above != Folder && !MakePrivateFolder(above))
        return false;
    return ::mkdir(QFile::encodeName(Folder).constData(), 0700) == 0 || QFileInfo(Folder).isDir();
}

// An empty file for its owner alone, unless one is there: SQLite takes it for
// a new database and gives its journal the file's mode.
void MakePrivateFile(const QString& File)
{
    const int fd = ::open(QFile::encodeName(File).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          0600);
    if (fd >= 0)
        ::close(fd);
}

// The name a read-only connection opens File by. A history whose journal is
// not beside it is read as it stands: a reader would otherwise make the
// journal (and its index) in the folder.
QString ReadOnlyUri(const QString& File)
{
    QString uri = "file:" + QString::fromLatin1(QUrl::toPercentEncoding(File, "/")) + "?mode=ro";
    QFile file(File);
    const QByteArray header = file.open(QIODevice::ReadOnly) ? file.read(20) : QByteArray();
    const bool writeAhead = header.size() == 20 && header.startsWith(QByteArray("SQLite format 3", 16)) &&
                            header[18] == 2;
    if (writeAhead && !(QFileInfo::exists(File + "-wal") && QFileInfo::exists(File + "-shm")))
        uri += "&immutable=1";
    return uri;
}

std::atomic<quint64> ConnectionCount{0};

// How long a damaged file's mover waits for another one moving it.
constexpr int MoveAsideWaitMs = 4000;

}  // namespace

QString HistoryOutcome::OfExitStatus(int Status)
{
    switch (Status) {
    case 0: return Completed;
    case 1: return Cancelled;
    case 2: return ImageRefused;
    case 3: return NotConnected;
    default: return Failed;
    }
}

// ---------------------------------------------------------------- the file

QString TUpgradeHistory::DefaultPath()
{
    if (qEnvironmentVariableIsSet("KT4_HISTORY"))
        return qEnvironmentVariable("KT4_HISTORY");
    // One folder for both programs, whatever each calls itself.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return {};
    return data + "/kt4-head-upgrade/history.sqlite";
}

TUpgradeHistory::TUpgradeHistory(const QString& Path)
    : FPath(Path.isEmpty() ? QString() : QFileInfo(Path).absoluteFilePath()),
      FConnection(QString("kt4-history-%1").arg(++ConnectionCount))
{
}

TUpgradeHistory::~TUpgradeHistory()
{
    Close();
    if (QSqlDatabase::contains(FConnection))
        QSqlDatabase::removeDatabase(FConnection);
}

bool TUpgradeHistory::Enabled() const
{
    return !FPath.isEmpty();
}

QSqlDatabase TUpgradeHistory::Database() const
{
    FWarning.clear();
    FBusy = false;
    if (FMode != TMode::Writing) {
        Close();  // read afresh: the file may have been replaced since
        if (Enabled() && QFileInfo::exists(FPath))
            Retrying(false, [](QSqlDatabase&) { return QSqlError(); });
        if (FEmpty)
            Close();
    }
    return FMode != TMode::Closed ? QSqlDatabase::database(FConnection, false) : QSqlDatabase();
}

// ---------------------------------------------------------------- connection

// Opens this instance's connection. For writing: the file's folder and the
// file made (private), the journal and the busy wait set and the schema
// brought up to date. For reading: read-only, and only a file that is a
// history (or holds nothing yet). No error when it is open as asked.
QSqlError TUpgradeHistory::Open(TMode Mode) const
{
    if (!QSqlDatabase::isDriverAvailable("QSQLITE"))
        return QSqlError("", "", QSqlError::ConnectionError, NoDriverCode);
    const bool writing = Mode == TMode::Writing;
    if (writing) {
        if (!MakePrivateFolder(QFileInfo(FPath).absolutePath()))
            return QSqlError("", "", QSqlError::ConnectionError, NoFolderCode);
        MakePrivateFile(FPath);  // a failure is SQLite's to find and tell
    }
    QSqlError error;
    {
        QSqlDatabase db = QSqlDatabase::contains(FConnection) ? QSqlDatabase::database(FConnection, false)
                                                              : QSqlDatabase::addDatabase("QSQLITE", FConnection);
        const QString busy = QString("QSQLITE_BUSY_TIMEOUT=%1").arg(FBusyTimeOutMs);
        db.setDatabaseName(writing ? FPath : ReadOnlyUri(FPath));
        db.setConnectOptions(writing ? busy : busy + ";QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI");
        if (!db.open())
            return db.lastError();
        FMode = Mode;
        FEmpty = false;
        error = writing ? Configure(db) : Inspect(db, &FEmpty);
    }
    if (error.isValid())
        Close();
    return error;
}

// Whether the file is a history: its table there and a schema version set,
// or nothing at all yet (*Empty). Another program's database is an error.
QSqlError TUpgradeHistory::Inspect(QSqlDatabase& Db, bool* Empty) const
{
    QSqlQuery query(Db);
    if (!query.exec("SELECT (SELECT count(*) FROM sqlite_master),"
                    " (SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'attempts')") ||
        !query.next())
        return query.lastError();
    const int objects = query.value(0).toInt(), ours = query.value(1).toInt();
    query.finish();
    if (!query.exec("PRAGMA user_version") || !query.next())
        return query.lastError();
    const int version = query.value(0).toInt();
    query.finish();
    *Empty = objects == 0;
    if (objects > 0 && (ours == 0 || version < 1))
        return QSqlError("", "", QSqlError::ConnectionError, ForeignCode);
    return {};
}

// Write-ahead journal (readers and the shelf's writers do not wait for each
// other; a commit is one append, and survives the program's crash), the
// journal synced to the disk by Finish (the attempt's end) and at each
// checkpoint rather than at every commit, and the schema's steps from the
// file's version to ours, taken under the write lock so that two programs
// never run the same step.
QSqlError TUpgradeHistory::Configure(QSqlDatabase& Db) const
{
    bool empty = false;
    if (const QSqlError error = Inspect(Db, &empty); error.isValid())
        return error;  // another program's database is not converted
    // The last program to let go of the file leaves the journal as it is
    // rather than copying it into the file then: a program that records one
    // upgrade then need not make a new journal and sync its header at its
    // start, nor sync both files at its end. The journal is copied into the
    // file every thousand pages by whichever writer fills it. (The handle is
    // the system's libsqlite3 that Qt's driver is built with.)
    const QVariant handle = Db.driver()->handle();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0)
        if (sqlite3* connection = *static_cast<sqlite3* const*>(handle.constData()))
            sqlite3_db_config(connection, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    QSqlQuery query(Db);
    if (!query.exec("PRAGMA journal_mode=WAL") || !query.exec("PRAGMA synchronous=NORMAL"))
        return query.lastError();
    auto version = [&query](int* Version) {
        if (!query.exec("PRAGMA user_version") || !query.next())
            return false;
        *Version = query.value(0).toInt();
        query.finish();
        return true;
    };
    int current = 0;
    if (!version(&current))
        return query.lastError();
    if (current >= SchemaVersion)
        return {};  // ours, or a later program's that only added to it
    if (!query.exec("BEGIN IMMEDIATE"))
        return query.lastError();
    QSqlError error;
    if (version(&current)) {
        for (; current < SchemaVersion && !error.isValid(); ++current)
            if (!Migrations[current](Db, &error))
                break;
        if (!error.isValid() && !query.exec(QString("PRAGMA user_version=%1").arg(current)))
            error = query.lastError();
        if (!error.isValid() && !query.exec("COMMIT"))
            error = query.lastError();
    } else {
        error = query.lastError();
    }
    if (error.isValid())
        query.exec("ROLLBACK");
    return error;
}

void TUpgradeHistory::Close() const
{
    if (QSqlDatabase::contains(FConnection)) {
        QSqlDatabase db = QSqlDatabase::database(FConnection, false);
        db.close();
    }
    FMode = TMode::Closed;
    FEmpty = false;
}

// One step against the file, again while the file is busy (within the busy
// wait), once more after a damaged file was moved aside (when writing); a
// problem is told in the warning. Reading uses the connection that wrote, or
// one of its own that is read-only.
template <typename TStep> bool TUpgradeHistory::Retrying(bool Writing, TStep Step) const
{
    QElapsedTimer clock;
    clock.start();
    bool movedAside = false;
    for (;;) {
        QSqlError error;
        if (Writing ? FMode != TMode::Writing : FMode == TMode::Closed) {
            Close();
            error = Open(Writing ? TMode::Writing : TMode::Reading);
        }
        if (!error.isValid()) {
            QSqlDatabase db = QSqlDatabase::database(FConnection, false);
            error = Step(db);
            if (!error.isValid())
                return true;
        }
        if (IsBusy(error) && clock.elapsed() < FBusyTimeOutMs) {
            // SQLite gives up at once where waiting cannot help it (a
            // snapshot gone stale, a journal being recovered): start again.
            QThread::msleep(2 + QRandomGenerator::global()->bounded(20));
            continue;
        }
        Close();
        if (Writing && IsDamaged(error) && !movedAside) {
            movedAside = true;
            if (MoveAside())
                continue;
            return false;
        }
        FBusy = IsBusy(error);
        Warn(Problem(error, Writing));
        return false;
    }
}

// Whether the file is (still) damaged: another program may have moved it
// aside and started a new one since this one saw it.
bool TUpgradeHistory::StillDamaged() const
{
    const QString name = FConnection + "-check";
    bool damaged = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(FPath);
        db.setConnectOptions(QString("QSQLITE_BUSY_TIMEOUT=%1;QSQLITE_OPEN_READONLY").arg(FBusyTimeOutMs));
        if (QFileInfo::exists(FPath) && db.open()) {
            QSqlQuery query(db);
            if (query.exec("PRAGMA quick_check(1)"))
                damaged = query.next() && query.value(0).toString() != "ok";
            else
                damaged = IsDamaged(query.lastError());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return damaged;
}

// Moves a damaged file (with its journal) aside to NAME.corrupt-<UTC time>,
// so that a new history starts and the old one stays for whoever wants to
// rescue it. One program at a time, under a lock file beside it.
bool TUpgradeHistory::MoveAside() const
{
    QLockFile lock(FPath + ".lock");
    lock.setStaleLockTime(30000);
    if (!lock.tryLock(MoveAsideWaitMs)) {
        Warn(QString("The upgrade history %1 is damaged and could not be moved aside (no lock beside it); "
                     "the upgrade goes on without being recorded.")
                 .arg(FPath));
        return false;
    }
    if (!StillDamaged())
        return true;
    QString aside = FPath + ".corrupt-" + QDateTime::currentDateTimeUtc().toString("yyyyMMdd'T'HHmmss'Z'");
    if (QFileInfo::exists(aside))
        aside += QString("-%1").arg(::getpid());
    if (!QFile::rename(FPath, aside)) {
        Warn(QString("The upgrade history %1 is damaged and could not be moved aside; the upgrade goes on "
                     "without being recorded.")
                 .arg(FPath));
        return false;
    }
    if (QFileInfo::exists(FPath + "-wal"))
        QFile::rename(FPath + "-wal", aside + "-wal");
    QFile::remove(FPath + "-shm");
    Warn(QString("The upgrade history %1 was damaged; it was moved aside to %2 and a new history started.")
             .arg(FPath, aside));
    return true;
}

void TUpgradeHistory::Warn(const QString& Text) const
{
    FWarning = FWarning.isEmpty() ? Text : FWarning + " " + Text;
}

QString TUpgradeHistory::Problem(const QSqlError& Error, bool Writing) const
{
    const QString tail = Writing ? "the upgrade goes on without being recorded." : "its records cannot be read.";
    const QString folder = QFileInfo(FPath).absolutePath();
    if (Error.nativeErrorCode() == NoDriverCode)
        return "The upgrade history cannot be kept: Qt's SQLite driver is missing (Debian package "
               "libqt6sql6-sqlite); " + tail;
    if (Error.nativeErrorCode() == NoFolderCode)
        return QString("The upgrade history %1 cannot be written: its folder %2 cannot be made; ").arg(FPath, folder) +
               tail;
    if (Error.nativeErrorCode() == ForeignCode)
        return QString("The file %1 is another program's database, not an upgrade history; ").arg(FPath) +
               (Writing ? tail : QString("it was left as it is."));
    const QString said = Error.databaseText().isEmpty() ? Error.text() : Error.databaseText();
    if (!Writing && SqliteCode(Error) == SqliteNotADb)
        return QString("The file %1 is not an upgrade history (%2); it was left as it is.").arg(FPath, said);
    switch (SqliteCode(Error)) {
    case SqliteBusy:
    case SqliteLocked:
        return QString("The upgrade history %1 is locked by another program; ").arg(FPath) + tail;
    case SqliteCorrupt:
    case SqliteNotADb:
        return QString("The upgrade history %1 is damaged (%2); ").arg(FPath, said) + tail;
    case SqlitePerm:
    case SqliteReadOnly:
    case SqliteIoErr:
    case SqliteFull:
    case SqliteCantOpen: {
        if (!Writing) {
            const bool readable = ::access(QFile::encodeName(FPath).constData(), R_OK) == 0;
            return QString("The upgrade history %1 cannot be read (%2).")
                .arg(FPath, QFileInfo(FPath).isDir() ? QString("it is a folder")
                            : readable                ? said
                                                      : QString("the file may not be read"));
        }
        QString why = said;
        if (::access(QFile::encodeName(folder).constData(), W_OK) != 0)
            why = QString("its folder %1 is read-only").arg(folder);
        else if (QFileInfo::exists(FPath) && ::access(QFile::encodeName(FPath).constData(), W_OK) != 0)
            why = "the file is read-only";
        else if (SqliteCode(Error) == SqliteFull)
            why = "the disk is full";
        return QString("The upgrade history %1 cannot be written (%2); ").arg(FPath, why) + tail;
    }
    default:
        return QString("The upgrade history %1 could not be used (%2); ").arg(FPath, said) + tail;
    }
}

// ---------------------------------------------------------------- records

// Updates the row with Attempt.Id, or (none, or none there) inserts the
// attempt whole with this process as its writer; *Id the row's id.
QSqlError TUpgradeHistory::WriteRow(QSqlDatabase& Db, const TUpgradeAttempt& Attempt, bool InsertOnly,
                                    qint64* Id) const
{
    const QVariantList values = {
        IsoUtc(Attempt.Started), Attempt.Ended.isValid() ? QVariant(IsoUtc(Attempt.Ended)) : QVariant(),
        Attempt.Program, Attempt.ProgramVersion, Attempt.Host, Attempt.User,
        Attempt.Way, Attempt.Port, Attempt.DockAddress, Attempt.DockKind,
        Attempt.InstrumentType, Attempt.VersionBefore,
        Attempt.ImageFile, Attempt.ImageSha256, Attempt.ImageVersion, Attempt.PagesSent, Attempt.Resends,
        Attempt.Outcome, Attempt.Message,
    };
    QSqlQuery query(Db);
    if (!InsertOnly && Attempt.Id > 0) {
        QStringList sets;
        for (int i = 0; i < FirstWriterColumn; ++i)
            sets << QString("%1 = ?").arg(Columns[i]);
        if (!query.prepare(QString("UPDATE attempts SET %1 WHERE id = ?").arg(sets.join(", "))))
            return query.lastError();
        for (const QVariant& value : values)
            query.addBindValue(value);
        query.addBindValue(Attempt.Id);
        if (!query.exec())
            return query.lastError();
        if (query.numRowsAffected() > 0) {
            *Id = Attempt.Id;
            return {};
        }
    }
    QStringList names, marks;
    for (int i = 0; i < ColumnCount; ++i) {
        names << Columns[i];
        marks << "?";
    }
    if (!query.prepare(QString("INSERT INTO attempts (%1) VALUES (%2)").arg(names.join(", "), marks.join(", "))))
        return query.lastError();
    for (const QVariant& value : values)
        query.addBindValue(value);
    query.addBindValue(QCoreApplication::applicationPid());
    query.addBindValue(QSysInfo::machineHostName());
    query.addBindValue(ThisBoot());
    query.addBindValue(ThisStartTicks());
    if (!query.exec())
        return query.lastError();
    *Id = query.lastInsertId().toLongLong();
    return {};
}

void TUpgradeHistory::FillIn(TUpgradeAttempt& Attempt)
{
    if (!Attempt.Started.isValid())
        Attempt.Started = QDateTime::currentDateTimeUtc();
    if (Attempt.Program.isEmpty())
        Attempt.Program = QCoreApplication::applicationName();
    if (Attempt.ProgramVersion.isEmpty())
        Attempt.ProgramVersion = QCoreApplication::applicationVersion();
    if (Attempt.Host.isEmpty())
        Attempt.Host = QSysInfo::machineHostName();
    if (Attempt.User.isEmpty())
        Attempt.User = ThisUser();
    Attempt.Outcome = HistoryOutcome::InProgress;
    Attempt.Ended = {};
}

qint64 TUpgradeHistory::Begin(TUpgradeAttempt& Attempt)
{
    FWarning.clear();
    FBusy = false;
    if (!Enabled())
        return 0;
    FillIn(Attempt);
    qint64 id = 0;
    if (!Retrying(true, [&](QSqlDatabase& Db) { return WriteRow(Db, Attempt, true, &id); }))
        return 0;
    Attempt.Id = id;
    return id;
}

bool TUpgradeHistory::Update(TUpgradeAttempt& Attempt)
{
    FWarning.clear();
    FBusy = false;
    if (!Enabled())
        return false;
    TUpgradeAttempt row = Attempt;
    if (!row.Started.isValid())
        row.Started = QDateTime::currentDateTimeUtc();
    row.Outcome = HistoryOutcome::InProgress;
    row.Ended = {};
    qint64 id = 0;
    if (!Retrying(true, [&](QSqlDatabase& Db) { return WriteRow(Db, row, false, &id); }))
        return false;
    Attempt.Id = id;
    return true;
}

bool TUpgradeHistory::Finish(const TUpgradeAttempt& Attempt)
{
    FWarning.clear();
    FBusy = false;
    if (!Enabled())
        return false;
    TUpgradeAttempt row = Attempt;
    if (!row.Ended.isValid())
        row.Ended = QDateTime::currentDateTimeUtc();
    if (!row.Started.isValid())
        row.Started = row.Ended;
    if (row.Outcome.isEmpty() || row.Outcome == HistoryOutcome::InProgress)
        row.Outcome = HistoryOutcome::Unfinished;  // it ended without saying how
    qint64 id = 0;
    return Retrying(true, [&](QSqlDatabase& Db) {
        // The attempt's end (and its start before it) is on the disk when
        // this returns: a power cut after it loses nothing of it.
        QSqlQuery sync(Db);
        sync.exec("PRAGMA synchronous=FULL");
        const QSqlError error = WriteRow(Db, row, false, &id);
        sync.exec("PRAGMA synchronous=NORMAL");
        return error;
    });
}

QList<TUpgradeAttempt> TUpgradeHistory::Records(int Last) const
{
    FWarning.clear();
    FBusy = false;
    QList<TUpgradeAttempt> rows;
    if (FMode == TMode::Reading)
        Close();  // read afresh: the file may have been replaced since
    if (!Enabled() || (FMode == TMode::Closed && !QFileInfo::exists(FPath)))
        return rows;
    Retrying(false, [&](QSqlDatabase& Db) {
        rows.clear();
        if (FEmpty)
            return QSqlError();
        QSqlQuery query(Db);
        query.setForwardOnly(true);
        QStringList names = {"id"};
        for (const char* column : Columns)
            names << column;
        QString select = QString("SELECT %1 FROM attempts ORDER BY started DESC, id DESC").arg(names.join(", "));
        if (Last > 0)
            select += QString(" LIMIT %1").arg(Last);
        if (!query.exec(select))
            return query.lastError();
        while (query.next()) {
            auto text = [&query](int Column) { return query.value(Column).toString(); };
            TUpgradeAttempt row;
            row.Id = query.value(0).toLongLong();
            row.Started = FromIso(query.value(1));
            row.Ended = FromIso(query.value(2));
            row.Program = text(3);
            row.ProgramVersion = text(4);
            row.Host = text(5);
            row.User = text(6);
            row.Way = text(7);
            row.Port = text(8);
            row.DockAddress = text(9);
            row.DockKind = text(10);
            row.InstrumentType = text(11);
            row.VersionBefore = text(12);
            row.ImageFile = text(13);
            row.ImageSha256 = text(14);
            row.ImageVersion = text(15);
            row.PagesSent = query.value(16).toInt();
            row.Resends = query.value(17).toInt();
            row.Outcome = text(18);
            row.Message = text(19);
            if (row.Outcome == HistoryOutcome::InProgress &&
                WriterGone(text(21), text(22), query.value(20).toLongLong(), query.value(23).toLongLong()))
                row.Outcome = HistoryOutcome::Unfinished;
            rows << row;
        }
        return query.lastError();
    });
    if (FMode == TMode::Reading)
        Close();  // no read stays open on the file
    return rows;
}

bool TUpgradeHistory::WriterGone(const QString& Host, const QString& Boot, qint64 Pid, qint64 StartTicks)
{
    if (Pid <= 0 || Host != QSysInfo::machineHostName())
        return false;  // another computer's process: this one cannot tell
    if (!Boot.isEmpty() && !ThisBoot().isEmpty() && Boot != ThisBoot())
        return true;  // written before this computer last started
    char state = 0;
    qint64 ticks = 0;
    if (!ProcessStat(Pid, &state, &ticks))
        return ::kill(static_cast<pid_t>(Pid), 0) != 0 && errno == ESRCH;
    if (state == 'Z' || state == 'X')
        return true;  // ended, not yet collected by its parent
    return StartTicks > 0 && ticks != StartTicks;  // the number now belongs to another process
}

QString TUpgradeHistory::Sha256(const QByteArray& Bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(Bytes, QCryptographicHash::Sha256).toHex());
}
