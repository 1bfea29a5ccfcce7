#pragma once
// kt4-flash --list-ports: the serial devices the utility can use, for a person
// setting up a computer: COM name, device, the USB adapter behind it, whether
// the user may open it and, if not, why and what to do about it.

#include <QString>
#include <QStringList>
#include <cstdio>

struct TListedPort {
    QString Com;    // "COM17", or "-" for a device without a COM number
    QString Path;   // the device
    QString Note;   // where the name comes from, when not the fixed table
};

// The devices to list: the COM ports 1 to 50 whose devices exist (placeholder
// UARTs left out), the infrared driver's port of KT4_IRCOMM, and every other
// serial device the kernel has hardware for, each once.
QList<TListedPort> PortsToList();

// Writes the listing; the number of ports listed.
int ListPorts(FILE* Out);
