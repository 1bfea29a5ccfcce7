#pragma once
// COM port numbers on Linux: COM n is the device named by the environment
// variable KT4_COM<n> when it is set, otherwise the fixed table
//   COM1-16 /dev/ttyS0-15, COM17-32 /dev/ttyUSB0-15, COM33-48 /dev/ttyACM0-15,
//   COM49-50 /dev/rfcomm0-1.

#include <QList>
#include <QString>

constexpr int MaxComPort = 50;

// The device of COM port n, or an empty text for a number outside 1..50 with no
// override.
QString ComDevicePath(int ComNumber);

// A port is available when its device can be opened for reading and writing, or
// when it exists but is held or not permitted (EACCES, EBUSY): another program
// holding a port does not hide it.
bool IsPortAvailable(int ComNumber);

// The numbers of the available ports among 1..50, ascending.
QList<int> AvailableComPorts();
