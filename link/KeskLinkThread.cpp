#include "link/KeskLinkThread.h"

#include "link/KeskLink.h"

#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

// State shared by the thread and the main thread's poll; the poll may run
// while the thread object is being destroyed (the link lets the thread go from
// inside its own poll), so it holds the state, not the object.
struct TKeskLinkThread::TShared {
    std::mutex Lock;
    std::condition_variable Changed;
    bool StopSignalled = false;
    bool WakeSignalled = true;  // the first turn runs at once
    bool PollRequested = false;
    quint64 Turns = 0;
    // Readable while a poll is asked for: the main thread's event loop watches it.
    int PollFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int PollFdError = PollFd < 0 ? errno : 0;

    ~TShared()
    {
        if (PollFd >= 0)
            ::close(PollFd);
    }
    void AskForPoll() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(PollFd, &one, sizeof one);
    }
    void TakeAsk() const
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(PollFd, &count, sizeof count);
    }
};

namespace {

// On the main thread: the poll the thread asked for, unless it was stopped
// meanwhile or the link has gone.
void RunPoll(const std::shared_ptr<TKeskLinkThread::TShared>& Shared, const QPointer<TKeskLink>& Link,
             const QPointer<TKeskLinkThread>& Self)
{
    Shared->TakeAsk();
    {
        std::lock_guard lock(Shared->Lock);
        if (Shared->StopSignalled || !Shared->PollRequested)
            return;
    }
    if (Link && Self)
        Link->PollLink(Self.data());
    std::lock_guard lock(Shared->Lock);
    ++Shared->Turns;
    Shared->PollRequested = false;
    Shared->Changed.notify_all();
}

}  // namespace

// Without its wake-up descriptor the thread could ask for no poll and would
// leave the link silent for good: it is not started, and the link tells why
// once the current handler has returned.
TKeskLinkThread::TKeskLinkThread(TKeskLink* Link) : FShared(std::make_shared<TShared>())
{
    if (FShared->PollFd < 0) {
        const QString text = QStringLiteral("Receive Thread Error - no wake-up: %1!").arg(qt_error_string(FShared->PollFdError));
        QMetaObject::invokeMethod(
            Link, [link = QPointer<TKeskLink>(Link), text] {
                if (link)
                    RaiseError(link->OnError, link, ecLinkWakeUp, text);
            },
            Qt::QueuedConnection);
        return;
    }
    FNotifier = new QSocketNotifier(FShared->PollFd, QSocketNotifier::Read);
    QObject::connect(FNotifier, &QSocketNotifier::activated, FNotifier,
                     [shared = FShared, link = QPointer<TKeskLink>(Link), self = QPointer<TKeskLinkThread>(this)] {
                         RunPoll(shared, link, self);
                     });
    FThread = std::thread([this] { Run(); });
}

TKeskLinkThread::~TKeskLinkThread()
{
    Stop();
    if (FNotifier == nullptr)
        return;
    // The poll may be running right now (the link stops its thread from inside
    // it): the notifier goes once control is back in the event loop. Its
    // handler holds the shared state, and with it the descriptor it watches.
    FNotifier->setEnabled(false);
    FNotifier->deleteLater();
}

void TKeskLinkThread::Wake()
{
    std::lock_guard lock(FShared->Lock);
    FShared->WakeSignalled = true;
    FShared->Changed.notify_all();
}

void TKeskLinkThread::Stop()
{
    {
        std::lock_guard lock(FShared->Lock);
        FShared->StopSignalled = true;
        FShared->Changed.notify_all();
    }
    if (FThread.joinable())
        FThread.join();
}

quint64 TKeskLinkThread::Turns() const
{
    std::lock_guard lock(FShared->Lock);
    return FShared->Turns;
}

// Sleeps until woken or stopped, asks the main thread for a poll and sleeps
// until it has run or the thread is stopped; the stop event takes precedence.
void TKeskLinkThread::Run()
{
    TShared& shared = *FShared;
    std::unique_lock lock(shared.Lock);
    for (;;) {
        shared.Changed.wait(lock, [&] { return shared.StopSignalled || shared.WakeSignalled; });
        if (shared.StopSignalled)
            return;
        shared.WakeSignalled = false;
        shared.PollRequested = true;
        shared.AskForPoll();
        shared.Changed.wait(lock, [&] { return shared.StopSignalled || !shared.PollRequested; });
        if (shared.StopSignalled)
            return;
    }
}
