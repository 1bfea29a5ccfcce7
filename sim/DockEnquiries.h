#pragma once
// The simulated dock's answers to the dock enumerator. The enumerator
// broadcasts "ENQ" to its family's enquiry port; on loopback a broadcast
// reaches only sockets bound to every address, so each enquiry port is heard
// on 0.0.0.0 (shared with other simulated docks through SO_REUSEADDR), and the
// answer leaves from a socket bound to the dock's own address, so that the
// enumerator lists the dock under it. The answer, "<name> <address>", goes to
// the enquirer's address at the family's answer port.
//
// Only this machine's enquiries are answered (a sender on 127.0.0.0/8: the
// kernel lets no such datagram in from a network), though the enquiry ports
// hear every host: the dock is served on a loopback address, where no other
// host could reach it, and a simulator answers nobody it was not started for.

#include "sim/SimDockOptions.h"

#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <vector>

class SimDockEnquiries : public QObject {
    Q_OBJECT
public:
    SimDockEnquiries(const QString& address, const QList<SimDockEnquiry>& enquiries, QObject* parent = nullptr);
    ~SimDockEnquiries() override;

    // Binds the answering socket and every enquiry port. An enquiry port that
    // cannot be bound is reported through note and left out; false with a
    // reason only when the dock's address cannot be used.
    bool open(QString* error);

signals:
    // A line for the simulator's log.
    void note(const QString& line);

private:
    struct Listener {
        SimDockEnquiry enquiry;
        int fd = -1;
        std::unique_ptr<QSocketNotifier> notifier;
    };
    void readEnquiries(Listener& listener);
    bool answers(quint32 enquirer);
    void answer(const Listener& listener, quint32 enquirer);

    QString m_address;
    bool m_refusalTold = false;
    int m_answerFd = -1;
    std::vector<std::unique_ptr<Listener>> m_listeners;
};
