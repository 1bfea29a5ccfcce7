#pragma once
// What the benchmark programs share.

#include <QProcess>
#include <QString>
#include <QStringList>

// The CPU time this process has used, user and system.
double CpuSeconds();

// Runs the event loop for that long.
void RunLoopFor(int Milliseconds);

// Starts the simulator with Options; the address it printed first (for
// example the pseudo-terminal's path).
QString StartSim(QProcess& Sim, const QStringList& Options);
