#pragma once
// COM port numbers on Linux: COM n is the device named by the environment
// variable KT4_COM<n> when it is set, otherwise the fixed table
//   COM1-16 /dev/ttyS0-15, COM17-32 /dev/ttyUSB0-15, COM33-48 /dev/ttyACM0-15,
//   COM49-50 /dev/rfcomm0-1.

#include <QList>
#include <QString>
#include <QStringList>

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

// ---- what a person needs to know about a port ----

// A program that has the device open, or holds its lock file.
struct TPortHolder {
    qint64 Pid = 0;
    QString Program;
};

// The facts about a device that explain a refused open.
struct TDeviceFacts {
    QString Path;
    QString Group;              // the device's group ("dialout")
    bool GroupMayUse = false;   // its mode lets the group read and write it
    bool InGroupList = false;   // the user is a member of that group in the group database
    bool InGroupNow = false;    // ... and this login session already has the group
    QList<TPortHolder> Holders;
    bool OthersHidden = false;  // some programs could not be looked at (another user's)
};

// Whether the user may open a device, and if not why not, in plain words.
struct TPortAccess {
    bool Exists = false;
    bool MayOpen = false;
    int Error = 0;              // the open's errno; 0 when it opened
    QString Reason;             // why not (empty when it may)
    QString Remedy;             // what to do, or the command that shows more
    QList<TPortHolder> Holders; // other programs that have it open or locked
};

// Opens Path for reading and writing (and closes it again) to find out.
TPortAccess CheckPortAccess(const QString& Path);

// Reason and remedy for an open of a device refused with Errno.
void ExplainRefusal(int Errno, const TDeviceFacts& Facts, TPortAccess* Access);

// Other programs that have Path open (as far as this user may look) or hold
// its lock file; *OthersHidden tells whether some programs could not be looked at.
QList<TPortHolder> PortHolders(const QString& Path, bool* OthersHidden = nullptr);

// "ModemManager (process 812)", joined with ", ".
QString HoldersText(const QList<TPortHolder>& Holders);

// The running processes whose program name is Name ("ModemManager", "brltty").
QList<qint64> ProcessesNamed(const QString& Name);

// The USB adapter behind a serial device, from sysfs (SysRoot stands in for /sys).
struct TUsbIdentity {
    QString VendorId, ProductId;    // four hex digits each
    QString Manufacturer, Product, Serial;
    QString Driver;                 // the kernel driver of the serial device (ftdi_sio, cdc_acm, ...)
    bool BuiltInUart = false;       // a UART of the machine itself, no USB adapter
    bool Known() const { return !VendorId.isEmpty(); }
};
TUsbIdentity UsbIdentityOf(const QString& DevicePath, const QString& SysRoot = "/sys");

// A device whose sysfs entry says there is no UART behind it (the kernel's
// standing /dev/ttyS ports on a machine without them).
bool IsPlaceholderPort(const QString& DevicePath, const QString& SysRoot = "/sys");

// Serial devices that the kernel has hardware for (a UART of a known type, a USB
// or Bluetooth serial device), as /dev paths, from SysRoot's class/tty.
QStringList SerialDevicesWithHardware(const QString& SysRoot = "/sys");
