#pragma once
// The link's receive thread. Each turn runs the link's poll on the main thread
// and waits until it has run. It does not spin: between turns it sleeps until a
// transport notification wakes it (Wake) or it is stopped. Stopping never
// deadlocks: the thread never blocks the main thread, and the main thread never
// waits on a thread that is waiting for it.
//
// The thread asks for a poll through a wake-up descriptor that the main
// thread's event loop watches, and everything the two share is guarded by a
// standard mutex: no hand-over goes through Qt's own locks, so that
// ThreadSanitizer sees every one of them. A descriptor the system refuses is
// the link's error event (ecLinkWakeUp), and no thread is started.

#include <QObject>
#include <memory>
#include <thread>

class QSocketNotifier;
class TKeskLink;

class TKeskLinkThread : public QObject {
public:
    // Created on the main thread, which then runs the polls.
    explicit TKeskLinkThread(TKeskLink* Link);
    ~TKeskLinkThread() override;  // stops the thread

    // Asks for one more poll turn (any thread).
    void Wake();
    // Signals the stop event and waits for the thread to end.
    void Stop();

    // Poll turns run so far (for tests and the idle benchmark).
    quint64 Turns() const;

    struct TShared;

private:
    void Run();

    std::shared_ptr<TShared> FShared;
    // On the main thread; outlives this object until the event loop frees it.
    // None when the wake-up descriptor could not be made (nor a thread).
    QSocketNotifier* FNotifier = nullptr;
    std::thread FThread;
};
