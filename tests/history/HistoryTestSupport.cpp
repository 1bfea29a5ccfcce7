#include "tests/history/HistoryTestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <grp.h>
#include <signal.h>
#include <unistd.h>

namespace {
constexpr uid_t Nobody = 65534;
}

THistoryDir::THistoryDir()
{
    // Reachable by another user (the read-only cases run the writer as one).
    QFile::setPermissions(FDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                           QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

QStringList THistoryDir::Entries(const QString& Prefix) const
{
    return QDir(FDir.path()).entryList({Prefix + "*"}, QDir::Files | QDir::Hidden, QDir::Name);
}

TUpgradeAttempt FullAttempt(int Number)
{
    TUpgradeAttempt a;
    a.Started = QDateTime(QDate(2021, 3, 8), QTime(9, 30, 0, 125), Qt::UTC).addSecs(60 * Number);
    a.Program = "kt4-flash";
    a.ProgramVersion = "1.1.0.4";
    a.Host = QString("bench-%1").arg(Number);
    a.User = QString("operator%1").arg(Number);
    a.Way = Number % 2 ? "dock-network" : "serial";
    a.Port = Number % 2 ? QString() : QString("/dev/ttyUSB%1").arg(Number);
    a.DockAddress = Number % 2 ? QString("127.0.0.%1").arg(40 + Number) : QString();
    a.DockKind = Number % 2 ? "kelo6" : QString();
    a.InstrumentType = "16";
    a.VersionBefore = QString("1.%1").arg(10 + Number);
    a.ImageFile = QString("/srv/images/kt4-2.%1.bin").arg(Number, 2, 10, QChar('0'));
    a.ImageSha256 = QString(64, QChar('a' + Number % 6));
    a.ImageVersion = QString("2.%1").arg(Number, 2, 10, QChar('0'));
    a.PagesSent = 400 + Number;
    a.Resends = Number;
    a.Outcome = HistoryOutcome::Completed;
    a.Message = QString("Flash Upload Completed (%1)").arg(Number);
    return a;
}

bool RunningAsRoot()
{
    return ::geteuid() == 0;
}

QString OtherUserCannotRun()
{
    static const QString reason = [] {
        if (!RunningAsRoot())
            return QString();
        TWriterProcess usage(QString(), {}, true);  // no count: its usage, status 2
        if (usage.WaitForEnd() == 2)
            return QString();
        return QString("the unprivileged user may not run %1 from where it was built").arg(KT4_HISTORY_WRITER_PATH);
    }();
    return reason;
}

void GiveToOtherUser(const QString& Path)
{
    if (RunningAsRoot())
        (void)::chown(QFile::encodeName(Path).constData(), Nobody, Nobody);
}

TWriterProcess::TWriterProcess(const QString& File, const QStringList& Arguments, bool AsOtherUser)
{
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (AsOtherUser && RunningAsRoot())
        FProcess.setChildProcessModifier([] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(Nobody) != 0 || ::setuid(Nobody) != 0)
                ::_exit(99);
        });
    FProcess.start(KT4_HISTORY_WRITER_PATH, QStringList{File} + Arguments);
    FProcess.waitForStarted(-1);
}

TWriterProcess::~TWriterProcess()
{
    Kill();
}

void TWriterProcess::ReadOutput()
{
    FOutput += QString::fromUtf8(FProcess.readAllStandardOutput());
}

QString TWriterProcess::WaitForLine(const QString& Prefix)
{
    for (;;) {
        ReadOutput();
        for (const QString& line : FOutput.split('\n'))
            if (line.startsWith(Prefix) && FOutput.contains(line + "\n"))
                return line.mid(Prefix.size());
        if (FProcess.state() == QProcess::NotRunning)
            return {};
        FProcess.waitForReadyRead(1000);
    }
}

int TWriterProcess::WaitForEnd()
{
    FProcess.waitForFinished(-1);
    ReadOutput();
    return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
}

void TWriterProcess::Kill()
{
    if (FProcess.state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(FProcess.processId()), SIGKILL);
        FProcess.waitForFinished(-1);
    }
}

QVariant Ask(const QString& File, const QString& Statement)
{
    static int count = 0;
    const QString name = QString("history-test-%1").arg(++count);
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(File);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(Statement) && query.next())
                value = query.value(0);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return value;
}
