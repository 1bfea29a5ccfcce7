#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

void ProcessMessages()
{
    QCoreApplication::processEvents();
}

bool ProcessMessagesFor(int Ms)
{
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
    loop.exec();  // returns at once once the application was told to quit
    return clock.elapsed() >= Ms;
}

void WaitForMessages()
{
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs)
{
    bool expired = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&expired] { expired = true; });
    if (TimeoutMs >= 0)
        deadline.start(TimeoutMs);
    while (!Done()) {
        if (expired)
            return false;
        WaitForMessages();
    }
    return true;
}

bool IsMainThread()
{
    auto* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void RunOnMainThreadAndWait(const std::function<void()>& Call)
{
    if (IsMainThread()) {
        Call();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), Call, Qt::BlockingQueuedConnection);
}

void PostToMainThread(std::function<void()> Call)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(Call), Qt::QueuedConnection);
}
