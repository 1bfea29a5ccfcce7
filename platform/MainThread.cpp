#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QThread>

void ProcessMessages()
{
    QCoreApplication::processEvents();
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
