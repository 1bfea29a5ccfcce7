#pragma once
// The upgrade history: one row per upgrade attempt in a small SQLite file,
// written when the attempt starts ("in progress") and completed when it ends,
// so that a program killed in the middle leaves a row that says so. Every
// program (the window, kt4-flash, each member of a shelf) writes into the
// same file at once; SQLite's write-ahead journal and a bounded wait on a
// busy file let them. The upgrade itself writes through THistoryRecorder, on
// a thread of its own.
//
// A problem with the file (locked, unwritable, damaged) never stops an
// upgrade: the call returns its failure value and Warning() says in words
// what happened. A damaged file is moved aside and a new one started.
//
// The records are private: a folder the history makes is 0700, the file and
// its journal 0600. Reading opens the file read-only and never makes, moves
// or converts anything: a file that is not a history is told as such.
//
// Qt Core and Qt SQL (the QSQLITE driver) only. One instance is used from one
// thread; several instances, in one process or many, may share a file.

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QString>

struct TUpgradeAttempt {
    qint64 Id = 0;
    QDateTime Started, Ended;            // UTC; stored as ISO 8601
    QString Program, ProgramVersion;     // "kt4-flash" / "kt4-upgrade", "1.1.0.4"
    QString Host, User;
    QString Way;                         // "serial" (a device given), "infrared" (the IrDA socket, or the
                                         // infrared driver's port), "dock-network", "dock-usb"
    QString Port, DockAddress, DockKind; // what applies, empty otherwise
    QString InstrumentType, VersionBefore;  // once an instrument answered: "KT4 head", "1.10"
    QString ImageFile, ImageSha256, ImageVersion;
    int PagesSent = 0, Resends = 0;
    QString Outcome;                     // "in progress", "completed", "confirmed", "skipped",
                                         // "identification", "cancelled", "image refused",
                                         // "not connected", "failed"; reads as "unfinished" when the
                                         // process that wrote "in progress" is gone
    QString Message;                     // the final message the operator saw
    QString VersionAfter;                // what the instrument reported after its restart (not stored)
};

namespace HistoryOutcome {
inline const QString InProgress = "in progress";
inline const QString Completed = "completed";
inline const QString Confirmed = "confirmed";        // completed, and the restarted instrument reports the image's version
inline const QString Skipped = "skipped";            // already at the image's version: nothing written
inline const QString Identified = "identification";  // asked who it is and let go: nothing written
inline const QString Cancelled = "cancelled";
inline const QString ImageRefused = "image refused";
inline const QString NotConnected = "not connected";
inline const QString Failed = "failed";
inline const QString Unfinished = "unfinished";

// The outcome that an upgrade's exit status means (0 completed, 1 cancelled,
// 2 image refused, 3 not connected, anything else failed).
QString OfExitStatus(int Status);
}  // namespace HistoryOutcome

class TUpgradeHistory {
public:
    // KT4_HISTORY=PATH names the file; KT4_HISTORY set but empty means none;
    // otherwise ~/.local/share/kt4-head-upgrade/history.sqlite, shared by the
    // window and the command line. Empty: no history.
    static QString DefaultPath();

    // Nothing is opened until the first record or read. Never throws.
    explicit TUpgradeHistory(const QString& Path);
    ~TUpgradeHistory();
    TUpgradeHistory(const TUpgradeHistory&) = delete;
    TUpgradeHistory& operator=(const TUpgradeHistory&) = delete;

    bool Enabled() const;  // a path was given
    QString Path() const { return FPath; }

    // Writes the "in progress" row and sets Attempt.Id (and Attempt.Outcome);
    // empty Started, Program, ProgramVersion, Host and User are filled in
    // from this process. 0 on failure (see Warning()).
    qint64 Begin(TUpgradeAttempt& Attempt);

    // What was learnt on the way (the instrument's version, pages so far),
    // the row staying "in progress". False on failure.
    // A row that is not there is written anew and Attempt.Id set.
    bool Update(TUpgradeAttempt& Attempt);

    // Completes the row with Attempt.Id: Ended (now when not set), the
    // outcome, counts and message, and every other field as given. An attempt
    // whose row is not there (Begin failed, or the file was replaced since)
    // is written whole, so a record is not lost to a passing problem. An
    // attempt that ends without an outcome is "unfinished".
    bool Finish(const TUpgradeAttempt& Attempt);

    // Newest first; Last > 0 keeps that many. A row still "in progress"
    // whose writing process is gone reads as "unfinished". Reading opens the
    // file read-only (unless this instance has written): it never creates,
    // moves or converts anything, and a file that is not a history is told.
    QList<TUpgradeAttempt> Records(int Last = 0) const;

    // The problem the last call met, in words for the operator (locked,
    // unwritable, damaged and moved aside to NAME, ...); empty when none.
    QString Warning() const { return FWarning; }
    // Whether the last call gave up because another program held the file.
    bool Busy() const { return FBusy; }

    // What Begin fills in when it is not set: the start (now), this
    // program, its version, host and user; and the outcome "in progress".
    static void FillIn(TUpgradeAttempt& Attempt);

    static QString Sha256(const QByteArray& Bytes);  // hex, lower case

    // ---- for views and tests ----
    static constexpr int SchemaVersion = 1;
    static constexpr const char* Table = "attempts";

    // A read-only connection opened now (the written one when this instance
    // has written), for a view over the table; an invalid one when there is
    // no file, no record or a problem (see Warning()).
    QSqlDatabase Database() const;

    // Whether the process that wrote a row (its host, boot, pid and start
    // time) is known to be gone. Rows from another host are never taken for
    // gone.
    static bool WriterGone(const QString& Host, const QString& Boot, qint64 Pid, qint64 StartTicks);

    // How long one statement waits for a busy file (default 4 s); a call
    // that still meets a busy file after that long gives up.
    void SetBusyTimeOutMs(int Ms) { FBusyTimeOutMs = Ms; }

private:
    enum class TMode { Closed, Reading, Writing };
    QSqlError Open(TMode Mode) const;
    QSqlError Configure(QSqlDatabase& Db) const;
    QSqlError Inspect(QSqlDatabase& Db, bool* Empty) const;
    void Close() const;
    bool StillDamaged() const;
    bool MoveAside() const;
    template <typename TStep> bool Retrying(bool Writing, TStep Step) const;
    QSqlError WriteRow(QSqlDatabase& Db, const TUpgradeAttempt& Attempt, bool InsertOnly, qint64* Id) const;
    void Warn(const QString& Text) const;
    QString Problem(const QSqlError& Error, bool Writing) const;

    QString FPath;
    QString FConnection;  // this instance's own connection name
    int FBusyTimeOutMs = 4000;
    mutable TMode FMode = TMode::Closed;
    mutable bool FEmpty = false;  // read-only, and no table at all yet
    mutable bool FBusy = false;
    mutable QString FWarning;
};
