#pragma once
// The simulated IrDA stack's far end: the instrument as an infrared device in
// range, served at a Unix socket path (the utility finds it there through
// KT4_IRDA_SIM). Discovery requests are answered with the device's
// description; one session at a time carries the instrument's bytes.
//
// A session that the utility closes leaves the device in range, ready for the
// next one, as an instrument lying in front of the port is. Losing the link
// takes the device out of range for good.

#include "link/SimIrdaWire.h"
#include "sim/DescriptorWriter.h"
#include "sim/SimTransport.h"

#include <QSocketNotifier>

#include <map>
#include <memory>

class IrdaTransport : public SimTransport {
    Q_OBJECT
public:
    explicit IrdaTransport(const QString& socketPath, QObject* parent = nullptr);
    ~IrdaTransport() override;

    bool open(QString* error) override;
    QString address() const override { return QStringLiteral("IRDA ") + m_path; }
    void send(const QByteArray& bytes) override;

    // The device the instrument shows itself as.
    static TSimIrdaDevice device();

private:
    struct Request {
        std::unique_ptr<QSocketNotifier> notifier;
        QByteArray line;
    };

    void acceptClients();
    void readRequest(int fd);
    void answer(int fd, const QByteArray& line, const QByteArray& rest);
    void dropRequest(int fd);
    void startSession(int fd, const QByteArray& firstBytes);
    void readSession();
    void endSession();
    bool utilityHasUnreadBytes() const override;
    void goingAway() override { m_inRange = false; }
    void closeAll() override;

    QString m_path;
    int m_listener = -1;
    bool m_inRange = true;
    std::unique_ptr<QSocketNotifier> m_acceptNotifier;
    std::map<int, Request> m_requests;  // connections whose first line has not come yet
    int m_session = -1;
    std::unique_ptr<QSocketNotifier> m_sessionRead;
    DescriptorWriter m_writer;
};
