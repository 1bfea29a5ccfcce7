#include "link/KeskLinkThread.h"

#include "link/KeskLink.h"

#include <QMutex>
#include <QPointer>
#include <QWaitCondition>

// State shared by the thread and the polls it posts; a posted poll may outlive
// the thread object.
struct TKeskLinkThread::TShared {
    QMutex Lock;
    QWaitCondition Changed;
    bool StopSignalled = false;
    bool WakeSignalled = true;  // the first turn runs at once
    bool PollDone = true;
    quint64 Turns = 0;
};

TKeskLinkThread::TKeskLinkThread(TKeskLink* Link) : FLink(Link), FShared(std::make_shared<TShared>())
{
    start();
}

TKeskLinkThread::~TKeskLinkThread()
{
    Stop();
}

void TKeskLinkThread::Wake()
{
    QMutexLocker lock(&FShared->Lock);
    FShared->WakeSignalled = true;
    FShared->Changed.wakeAll();
}

void TKeskLinkThread::Stop()
{
    {
        QMutexLocker lock(&FShared->Lock);
        FShared->StopSignalled = true;
        FShared->Changed.wakeAll();
    }
    yieldCurrentThread();
    wait();
}

quint64 TKeskLinkThread::Turns() const
{
    QMutexLocker lock(&FShared->Lock);
    return FShared->Turns;
}

void TKeskLinkThread::run()
{
    auto shared = FShared;
    QPointer<TKeskLink> link(FLink);
    QObject* self = this;
    for (;;) {
        {
            QMutexLocker lock(&shared->Lock);
            while (!shared->StopSignalled && !shared->WakeSignalled)
                shared->Changed.wait(&shared->Lock);
            if (shared->StopSignalled)
                return;  // the stop event takes precedence
            shared->WakeSignalled = false;
            shared->PollDone = false;
        }
        // The poll runs on the main thread; the link is its context, so a poll
        // still queued when the link is gone is dropped.
        QMetaObject::invokeMethod(
            FLink,
            [shared, link, self] {
                bool stopped;
                {
                    QMutexLocker lock(&shared->Lock);
                    stopped = shared->StopSignalled;
                }
                if (!stopped && link)
                    link->PollLink(self);
                QMutexLocker lock(&shared->Lock);
                ++shared->Turns;
                shared->PollDone = true;
                shared->Changed.wakeAll();
            },
            Qt::QueuedConnection);
        QMutexLocker lock(&shared->Lock);
        while (!shared->StopSignalled && !shared->PollDone)
            shared->Changed.wait(&shared->Lock);
        if (shared->StopSignalled)
            return;
    }
}
