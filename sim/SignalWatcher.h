#pragma once
// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the event loop (self-pipe), so that the
// simulator can write its flash and remove its link before it ends.

#include <QObject>
#include <QSocketNotifier>

#include <memory>

class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

signals:
    void signalled(int signalNumber);

private:
    static void handler(int signalNumber);
    void readSignal();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
