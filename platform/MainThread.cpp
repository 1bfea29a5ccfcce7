#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

void ProcessMessages()
{
    QCoreApplication::processEvents();
}

void ProcessMessagesFor(int Ms)
{
    QEventLoop loop;
    QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void WaitForMessages()
{
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
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
