#pragma once
// The simulated Kelo6 dock on the simulated USB stack (kt4-sim --dock kelo6
// --usb DIR): the same control protocol as the network dock, on the dock's
// pipes. Pipe 3 (OUT) carries commands and pipe 2 (IN) the dock's replies and
// events; pipe 0 (OUT) carries the link's bytes to the simulated instrument and
// pipe 1 (IN) its answers, while the dock passes the instrument through.
//
// Losing the link (the instrument's --lose-after) pulls the device off the bus
// in the middle of the upload.

#include "sim/SimDock.h"
#include "sim/SimTransport.h"
#include "sim/UsbDeviceServer.h"

#include <QElapsedTimer>

// The instrument's side of the dock: its data pipes.
class UsbDockTransport : public SimTransport {
    Q_OBJECT
public:
    UsbDockTransport(const QString& directory, QObject* parent = nullptr);

    bool open(QString* error) override;
    QString address() const override { return QStringLiteral("USB ") + m_device.socketPath(); }
    void send(const QByteArray& bytes) override;

    UsbDeviceServer& device() { return m_device; }
    void setPassing(bool passing) { m_passing = passing; }

private:
    bool utilityHasUnreadBytes() const override { return false; }
    void closeAll() override { m_device.unplug(); }

    UsbDeviceServer m_device;
    bool m_passing = false;
};

// The dock's side: its control pipes.
class UsbDock : public QObject {
    Q_OBJECT
public:
    UsbDock(const SimDockOptions& options, UsbDockTransport& data, bool verbose, QObject* parent = nullptr);

private:
    void readControl(const QByteArray& bytes);
    void write(const QByteArray& bytes);
    void log(const QString& line) const;

    SimDockProtocol m_protocol;
    UsbDockTransport& m_data;
    bool m_verbose;
    QElapsedTimer m_sinceInput;
};
