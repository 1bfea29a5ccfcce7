#pragma once
// The link's receive thread. Each turn runs the link's poll on the main thread
// and waits until it has run. It does not spin: between turns it sleeps until a
// transport notification wakes it (Wake) or it is stopped. Stopping never
// deadlocks: the thread never blocks the main thread, and the main thread never
// waits on a thread that is waiting for it.

#include <QThread>
#include <memory>

class TKeskLink;

class TKeskLinkThread : public QThread {
public:
    explicit TKeskLinkThread(TKeskLink* Link);
    ~TKeskLinkThread() override;  // stops the thread

    // Asks for one more poll turn (any thread).
    void Wake();
    // Signals the stop event and waits for the thread to end.
    void Stop();

    // Poll turns run so far (for tests and the idle benchmark).
    quint64 Turns() const;

    struct TShared;

protected:
    void run() override;

private:
    TKeskLink* FLink;
    std::shared_ptr<TShared> FShared;
};
