#pragma once
// A device of the simulated USB stack, served at a Unix socket in a directory
// (the utility finds it there through KT4_USB_SIM; the protocol is in
// usb/SimUsbWire.h). It knows nothing of what the device does: bytes the
// utility writes to an OUT endpoint come out as received(), and send() puts
// bytes on an IN endpoint. Bytes sent before the utility has opened that pipe
// wait, as they would in the device's FIFO.
//
// unplug(), or removing the socket file, takes the device off the bus: every
// pipe closes and the socket no longer answers.

#include "sim/DescriptorWriter.h"
#include "usb/USB.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QSocketNotifier>

#include <map>
#include <memory>
#include <vector>

class UsbDeviceServer : public QObject {
    Q_OBJECT
public:
    struct Identity {
        QString classGuid;   // the device interface class, registry form
        QString name;        // the socket's own part of its name
        QByteArray path;     // the device path the utility sees
        std::vector<TEndpointDescriptor> endpoints;  // the first interface's, pipe 0 first
        QByteArray descriptor;  // empty: one configuration with one interface of the endpoints
    };

    UsbDeviceServer(const QString& directory, Identity identity, QObject* parent = nullptr);
    ~UsbDeviceServer() override;

    bool open(QString* error);
    QString socketPath() const;
    bool pipeOpen(int pipe) const { return m_pipes.count(pipe) != 0; }

    void send(int pipe, const QByteArray& bytes);
    void unplug();

signals:
    void received(int pipe, const QByteArray& bytes);
    void pipeOpened(int pipe);
    void pipeClosed(int pipe);
    void unplugged();

private:
    struct Connection {
        int fd = -1;
        std::unique_ptr<QSocketNotifier> notifier;
        QByteArray line;
        std::unique_ptr<DescriptorWriter> writer;  // IN endpoints
    };

    void acceptClients();
    void readRequest(int fd);
    void answer(Connection connection, const QByteArray& line, const QByteArray& rest);
    void openPipe(int pipe, Connection connection, const QByteArray& rest);
    void readPipe(int pipe);
    void closePipe(int pipe);
    void checkSocketFile();
    static void closeConnection(Connection& connection);

    QString m_directory;
    Identity m_identity;
    int m_listener = -1;
    quint64 m_socketInode = 0;
    std::unique_ptr<QSocketNotifier> m_acceptNotifier;
    QFileSystemWatcher m_watcher;
    std::map<int, Connection> m_requests;  // by descriptor, until their line has come
    std::map<int, Connection> m_pipes;     // by pipe number
    std::map<int, QByteArray> m_held;      // IN bytes waiting for their pipe to open
};
