#include "bench/BenchSupport.h"

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

QString StartSim(QProcess& Sim, const QStringList& Options)
{
    Sim.start(KT4_SIM_PATH, Options);
    Sim.waitForStarted();
    while (!Sim.canReadLine() && Sim.waitForReadyRead(5000)) {
    }
    return QString::fromLocal8Bit(Sim.readLine().trimmed()).section(' ', 1);
}
