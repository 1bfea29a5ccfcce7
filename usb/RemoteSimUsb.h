#pragma once
// The simulated USB stack as the utility sees it: every device is a Unix
// socket in one directory (KT4_USB_SIM), served by the simulator program
// (protocol in SimUsbWire.h). A pipe is a connection of its own to the
// device's socket, so its descriptor is what the receive thread sleeps on.
// Only sockets served by the user's own processes are devices; no connect
// waits, and an answer is read within a line's length and a second.

#include "usb/USBPlatform.h"

#include <QMap>
#include <mutex>

class TRemoteSimUsb : public TUSBPlatform {
public:
    explicit TRemoteSimUsb(const QString& Directory);

    QStringList EnumerateDevices(const TGUID& InterfaceClass) override;
    TFetchResult FetchConfiguration(const QString& Path, QByteArray& Descriptor, int& Error) override;
    int OpenPipe(const QString& Path, int Index, int& Error) override;
    void ClosePipe(int Handle) override;
    int ReadPipe(int Handle, char* Buffer, int Size, int& Error) override;
    int WritePipe(int Handle, const char* Data, int Size, int& Error) override;
    int WaitHandle(int Handle) override { return Handle; }
    bool PipeAlive(int Handle, int& Error) override;

private:
    // A new connection to a device's socket that has sent Request: its
    // descriptor, or -1 with Error.
    static int Ask(const QString& Socket, const QByteArray& Request, int& Error);
    // The answer line of a connection (without its line end).
    static QByteArray AnswerLine(int Fd);
    // The socket of the device at Path, looked up again when not known.
    QString SocketOf(const QString& Path, int& Error);
    QStringList Sockets(const QString& Prefix) const;

    QString FDirectory;
    std::mutex FLock;
    QMap<QString, QString> FSockets;  // device path (lower case) -> socket file
};
