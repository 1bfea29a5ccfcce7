#pragma once
// What the history tests share: a history file in a folder of its own, a
// record with every field set, and the writer program run as a process.

#include "history/UpgradeHistory.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A folder of its own with the history file's name in it (not yet made).
class THistoryDir {
public:
    THistoryDir();
    QString Dir() const { return FDir.path(); }
    QString File() const { return FDir.filePath("history.sqlite"); }
    // Files in the folder whose names begin with Prefix.
    QStringList Entries(const QString& Prefix) const;

private:
    QTemporaryDir FDir;
};

// An attempt with every field set, Number making its texts its own.
TUpgradeAttempt FullAttempt(int Number);

// The writer program (tests/history/HistoryWriter.cpp) as a process.
class TWriterProcess {
public:
    // Arguments after the file; AsOtherUser runs it as "nobody" when the
    // tests run as root (root may write into any folder).
    TWriterProcess(const QString& File, const QStringList& Arguments, bool AsOtherUser = false);
    ~TWriterProcess();
    // Waits for a line beginning with Prefix; its rest, or a null string if
    // the process ended first.
    QString WaitForLine(const QString& Prefix);
    // Waits for the end; the exit code (-1 for a crash).
    int WaitForEnd();
    QString Output() const { return FOutput; }
    qint64 Pid() const { return FProcess.processId(); }
    void Kill();

private:
    void ReadOutput();
    QProcess FProcess;
    QString FOutput;
};

// Root may write anywhere: a folder or file the writer is to own is given to
// "nobody" then.
void GiveToOtherUser(const QString& Path);
bool RunningAsRoot();
// Why the writer cannot run as "nobody" here (empty when it can, or when the
// tests do not run as root): that user must reach it where it was built.
QString OtherUserCannotRun();

// One value from a PRAGMA or SELECT on File, through a connection of its own.
QVariant Ask(const QString& File, const QString& Statement);
