#pragma once
// What the benchmark programs share.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>

// The CPU time this process has used, user and system.
double CpuSeconds();

// Runs the event loop for that long.
void RunLoopFor(int Milliseconds);

// Sleeps on the event loop until Done holds, looking after every event, for
// at most TimeoutMs (negative: no limit); whether Done held.
bool RunLoopUntil(const std::function<bool()>& Done, int TimeoutMs = -1);

// Starts the simulator with Options; the address it printed first (for
// example the pseudo-terminal's path).
QString StartSim(QProcess& Sim, const QStringList& Options);
