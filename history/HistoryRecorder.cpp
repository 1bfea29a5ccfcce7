#include "history/HistoryRecorder.h"

#include <QSocketNotifier>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// One try at a busy file is this short; the thread waits between tries,
// longer each time up to the last pause, and stops waiting at once when told.
constexpr int TryMs = 100;
constexpr int FirstPauseMs = 20;
constexpr int LastPauseMs = 500;

}  // namespace

THistoryRecorder::THistoryRecorder(const QString& Path)
    : FPath(Path),
      FWakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      FAlive(std::make_shared<bool>(true))
{
    if (FWakeFd >= 0) {
        FNotifier = std::make_unique<QSocketNotifier>(FWakeFd, QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Woken(); });
    }
    FThread = std::thread([this] { Run(); });
}

THistoryRecorder::~THistoryRecorder()
{
    *FAlive = false;
    Flush(FEndWaitMs);
    {
        std::lock_guard<std::mutex> lock(FLock);
        FStopping = true;
        FQueue.clear();
    }
    FWork.notify_all();
    FThread.join();
    FNotifier.reset();
    if (FWakeFd >= 0)
        ::close(FWakeFd);
}

// ---------------------------------------------------------------- the owner's side

int THistoryRecorder::Begin(TUpgradeAttempt& Attempt)
{
    TUpgradeHistory::FillIn(Attempt);
    ++FAttempt;
    Hand(TKind::Begin, Attempt);
    return FAttempt;
}

void THistoryRecorder::Update(const TUpgradeAttempt& Attempt)
{
    Hand(TKind::Update, Attempt);
}

void THistoryRecorder::Finish(const TUpgradeAttempt& Attempt)
{
    TUpgradeAttempt record = Attempt;
    if (!record.Ended.isValid())
        record.Ended = QDateTime::currentDateTimeUtc();  // the end is now, whenever it is written
    Hand(TKind::Finish, record);
}

void THistoryRecorder::Hand(TKind Kind, const TUpgradeAttempt& Record)
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        FQueue.push_back({Kind, FAttempt, Record});
        if (Kind == TKind::Begin)
            FStartWritten = false;
    }
    FWork.notify_all();
}

bool THistoryRecorder::Idle() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FQueue.empty() && !FWriting;
}

bool THistoryRecorder::StartWritten() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FStartWritten;
}

bool THistoryRecorder::Flush(int Ms)
{
    std::unique_lock<std::mutex> lock(FLock);
    const auto idle = [this] { return FQueue.empty() && !FWriting; };
    if (Ms < 0)
        FDone.wait(lock, idle);
    else
        FDone.wait_for(lock, std::chrono::milliseconds(Ms), idle);
    return idle();
}

// What the thread tells, on the owner's thread. A handler may run an event
// loop of its own (a box), or end the recorder.
void THistoryRecorder::Woken()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(FWakeFd, &count, sizeof count);
    std::vector<std::pair<int, QString>> problems;
    bool idle = false;
    {
        std::lock_guard<std::mutex> lock(FLock);
        problems.swap(FProblems);
        idle = FQueue.empty() && !FWriting;
    }
    const std::shared_ptr<bool> alive = FAlive;
    for (const auto& [attempt, text] : problems) {
        if (const auto tell = OnProblem)
            tell(attempt, text);
        if (!*alive)
            return;
    }
    if (const auto done = OnIdle; idle && done)
        done();
}

// ---------------------------------------------------------------- the thread

void THistoryRecorder::WakeOwner()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FWakeFd, &one, sizeof one);
}

// A record still waiting for a busy file that a later one makes needless: a
// start whose attempt's end is waiting (it is written whole), what was learnt
// on the way when more is waiting.
bool THistoryRecorder::Superseded(const TItem& Item) const
{
    if (Item.Kind == TKind::Finish)
        return false;
    return std::any_of(FQueue.begin(), FQueue.end(), [&Item](const TItem& Later) {
        return Later.Attempt == Item.Attempt &&
               (Later.Kind == TKind::Finish || (Item.Kind == TKind::Update && Later.Kind == TKind::Update));
    });
}

void THistoryRecorder::Run()
{
    TUpgradeHistory store(FPath);  // its connection is this thread's
    store.SetBusyTimeOutMs(TryMs);
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        FWork.wait(lock, [this] { return FStopping || !FQueue.empty(); });
        if (FStopping)
            break;
        const TItem item = std::move(FQueue.front());
        FQueue.pop_front();
        FWriting = true;
        for (int pause = FirstPauseMs;; pause = std::min(2 * pause, LastPauseMs)) {
            lock.unlock();
            const TResult result = Write(store, item);
            lock.lock();
            if (!result.Busy) {
                if (!result.Problem.isEmpty())
                    FProblems.emplace_back(item.Attempt, result.Problem);
                break;
            }
            const auto giveUp = [this, &item] { return FStopping || Superseded(item); };
            if (giveUp() || FWork.wait_for(lock, std::chrono::milliseconds(pause), giveUp))
                break;
        }
        const bool lastBegun = std::none_of(FQueue.begin(), FQueue.end(),
                                            [](const TItem& Later) { return Later.Kind == TKind::Begin; });
        if (item.Kind == TKind::Begin && lastBegun)
            FStartWritten = FRowId > 0;
        FWriting = false;
        if (FQueue.empty() || !FProblems.empty()) {
            FDone.notify_all();
            WakeOwner();
        }
    }
}

// One try at one record; the row's id is kept for the rest of its attempt.
THistoryRecorder::TResult THistoryRecorder::Write(TUpgradeHistory& Store, const TItem& Item)
{
    TUpgradeAttempt record = Item.Record;
    const bool ownRow = Item.Attempt == FRowAttempt;
    switch (Item.Kind) {
    case TKind::Begin:
        FRowAttempt = Item.Attempt;
        FRowId = Store.Begin(record);
        break;
    case TKind::Update:
        if (!ownRow || FRowId == 0)
            return {};  // no row to fill in: the end is written whole
        record.Id = FRowId;
        if (Store.Update(record))
            FRowId = record.Id;
        break;
    case TKind::Finish:
        record.Id = ownRow ? FRowId : 0;
        Store.Finish(record);
        break;
    }
    return {Store.Busy(), Store.Busy() ? QString() : Store.Warning()};
}
