#pragma once
// The simulated dock's data channel: a TCP listener at the dock's loopback
// address (port 5005 for the Kelo6 dock). One connection at a time carries the
// link's bytes to the simulated instrument, and the instrument's answers back,
// each answer written whole. The instrument hears the bytes only while the
// dock passes it through; bytes sent before are lost, as at a dock that holds
// the instrument itself.
//
// Losing the link (a fault mode of the instrument) drops the data connection
// in the middle of whatever was under way; the dock stays up.

#include "sim/DescriptorWriter.h"
#include "sim/SimTransport.h"

#include <QSocketNotifier>

#include <memory>

// A non-blocking TCP listener at a loopback address: its descriptor, or -1
// with a reason.
int listenOnLoopback(const QString& address, quint16 port, QString* error);

class DockTransport : public SimTransport {
    Q_OBJECT
public:
    // serve false: the data port is not served at all (connections are refused).
    DockTransport(const QString& address, quint16 port, bool serve, QObject* parent = nullptr);
    ~DockTransport() override;

    bool open(QString* error) override;
    QString address() const override { return QStringLiteral("DOCK ") + m_address; }
    void send(const QByteArray& bytes) override;

    void setPassing(bool passing) { m_passing = passing; }
    bool passing() const { return m_passing; }
    // After this many bytes from the utility the dock freezes: nothing more is
    // passed either way (0: never).
    void setFreezeAfter(int bytes) { m_freezeAfter = bytes; }
    bool frozen() const { return m_freezeAfter > 0 && m_fromUtility >= m_freezeAfter; }
    bool connected() const { return m_connection >= 0; }

signals:
    // A line for the simulator's log.
    void note(const QString& line);
    // The instrument's answer to a program command went out.
    void programAnswered();

private:
    void acceptClients();
    void readConnection();
    void endConnection();
    bool utilityHasUnreadBytes() const override;
    void closeAll() override;

    QString m_address;
    quint16 m_port;
    bool m_serve;
    bool m_passing = false;
    int m_freezeAfter = 0;
    qint64 m_fromUtility = 0;
    bool m_programAsked = false;
    int m_listener = -1;
    std::unique_ptr<QSocketNotifier> m_acceptNotifier;
    int m_connection = -1;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    DescriptorWriter m_writer;
};
