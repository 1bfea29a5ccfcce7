#pragma once
// A pseudo-terminal as the instrument's port: the utility opens the slave side as a serial port,
// the simulator reads and writes the master side.
//
// The simulator keeps a descriptor of the slave open itself for its whole life. Without it the
// master reports a hang-up (EIO, POLLHUP) whenever the utility has closed its port, and would stay
// readable until the port is opened again; with it the master is quiet until bytes arrive, so the
// utility can close and reopen the port freely and an idle simulator sleeps in the event loop.

#include "sim/DescriptorWriter.h"
#include "sim/SimTransport.h"

#include <QSocketNotifier>

#include <memory>

class PtyTransport : public SimTransport {
    Q_OBJECT
public:
    // linkPath: when not empty, a symbolic link to the slave is made there (and removed again).
    explicit PtyTransport(const QString& linkPath = {}, QObject* parent = nullptr);
    ~PtyTransport() override;

    bool open(QString* error) override;
    QString address() const override { return QStringLiteral("PTY ") + m_slavePath; }
    void send(const QByteArray& bytes) override;

    QString slavePath() const { return m_slavePath; }
    bool isOpen() const { return m_master >= 0; }

private:
    bool openMaster(QString* error);
    bool openSlaveHolder(QString* error);
    bool makeLink(QString* error);
    void removeLink();
    void readMaster();
    bool utilityHasUnreadBytes() const override;
    void closeAll() override;

    QString m_linkPath;
    QString m_slavePath;
    int m_master = -1;
    int m_slaveHolder = -1;
    bool m_linkMade = false;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    DescriptorWriter m_writer;
};
