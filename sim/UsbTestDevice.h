#pragma once
// kt4-sim --usb DIR: a simple device of the simulated USB stack, for tests
// and demos. It has the dock's interface class and the dock's pipes: pipe 0
// (OUT) and pipe 1 (IN) for data, pipe 2 (IN) and pipe 3 (OUT) for control,
// bulk, 64 bytes each. What comes on pipe 0 goes back on pipe 1, what comes on
// pipe 3 goes back on pipe 2.
//
// The first line on stdout is "USB " and the device's socket path.

#include "sim/UsbDeviceServer.h"

// The test device's description; its socket and device path carry Tag.
UsbDeviceServer::Identity usbTestDeviceIdentity(const QString& tag);

// Serves the test device in directory until a signal ends the program; the
// exit status.
int runUsbTestDevice(const QString& directory);
