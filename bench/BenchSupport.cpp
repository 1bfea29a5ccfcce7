#include "bench/BenchSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <sys/resource.h>

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void RunLoopFor(int Milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(Milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool RunLoopUntil(const std::function<bool()>& Done, int TimeoutMs)
{
    QTimer deadline;  // its expiry is an event: the loop wakes for it
    deadline.setSingleShot(true);
    if (TimeoutMs >= 0)
        deadline.start(TimeoutMs);
    while (!Done() && (TimeoutMs < 0 || deadline.isActive()))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return Done();
}

QString StartSim(QProcess& Sim, const QStringList& Options)
{
    Sim.start(KT4_SIM_PATH, Options);
    Sim.waitForStarted();
    while (!Sim.canReadLine() && Sim.waitForReadyRead(5000)) {
    }
    return QString::fromLocal8Bit(Sim.readLine().trimmed()).section(' ', 1);
}
