#pragma once
// The upgrade history as an upgrade writes it: from a thread of its own, so
// that the upgrade never waits on the file. Each record is handed over by
// value and written in order; a file that another program holds is tried
// again in the background until it is free. What the thread meets comes back
// on the thread that made the recorder (its event loop), through a wake-up:
// a problem to tell, and that everything handed over has been written.
//
// A record is lost only when the program ends while the file is still held:
// the end waits FlushBoundMs for it (Flush, or the destructor).
//
// The thread shares only the queue and what comes back, under one std::mutex
// (ThreadSanitizer sees it, as it cannot see Qt's own locks).

#include "history/UpgradeHistory.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class QSocketNotifier;

class THistoryRecorder {
public:
    // How long the end of a program waits for a busy file.
    static constexpr int FlushBoundMs = 4000;

    explicit THistoryRecorder(const QString& Path);
    // Waits for what is still on its way (EndWaitMs at most), then lets the
    // rest go and stops the thread.
    ~THistoryRecorder();
    THistoryRecorder(const THistoryRecorder&) = delete;
    THistoryRecorder& operator=(const THistoryRecorder&) = delete;

    QString Path() const { return FPath; }

    // A new attempt: its start, this program, host and user filled in (see
    // TUpgradeHistory::FillIn) on Attempt; its number (1, 2, ...).
    int Begin(TUpgradeAttempt& Attempt);
    // What was learnt on the way, for the attempt last begun. Not written
    // when its start could not be (its end is written whole).
    void Update(const TUpgradeAttempt& Attempt);
    // Its end (now, when Ended is not set); written whole when its row is not
    // there.
    void Finish(const TUpgradeAttempt& Attempt);

    // Everything handed over has been written (or given up for a problem).
    bool Idle() const;
    // Whether the start of the attempt last begun is in the file.
    bool StartWritten() const;
    // Waits until Idle() or Ms have passed (negative: no limit); Idle().
    bool Flush(int Ms);
    // How long the destructor waits (FlushBoundMs unless set).
    void SetEndWaitMs(int Ms) { FEndWaitMs = Ms; }

    // On the recorder's own thread, from its event loop. A problem of an
    // attempt's record (unwritable, damaged and moved aside, ...) in words;
    // a busy file is no problem until the end.
    std::function<void(int Attempt, const QString& Text)> OnProblem;
    // Everything handed over has been written.
    std::function<void()> OnIdle;

private:
    enum class TKind { Begin, Update, Finish };
    struct TItem {
        TKind Kind;
        int Attempt;
        TUpgradeAttempt Record;
    };
    struct TResult {
        bool Busy = false;
        QString Problem;
    };

    void Hand(TKind Kind, const TUpgradeAttempt& Record);
    void Run();
    TResult Write(TUpgradeHistory& Store, const TItem& Item);
    bool Superseded(const TItem& Item) const;
    void WakeOwner();
    void Woken();

    const QString FPath;
    int FAttempt = 0;  // the last begun (the owner's thread)
    int FEndWaitMs = FlushBoundMs;
    int FWakeFd = -1;
    std::unique_ptr<QSocketNotifier> FNotifier;
    std::shared_ptr<bool> FAlive;

    // the writer thread's own
    int FRowAttempt = 0;
    qint64 FRowId = 0;

    mutable std::mutex FLock;  // guards what follows
    std::condition_variable FWork;  // the thread: something handed over, or stop
    std::condition_variable FDone;  // Flush: idle
    std::deque<TItem> FQueue;
    bool FWriting = false;
    bool FStopping = false;
    bool FStartWritten = false;
    std::vector<std::pair<int, QString>> FProblems;
    std::thread FThread;  // last: starts once the rest is there
};
