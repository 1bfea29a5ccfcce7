#pragma once
// A one-shot timer for an exact point in time (nanoseconds, monotonic clock), so that answers
// can be paced at a real line rate. The event loop sleeps on a timer descriptor until then.

#include <QObject>
#include <QSocketNotifier>

#include <chrono>
#include <memory>

class PreciseTimer : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;

    explicit PreciseTimer(QObject* parent = nullptr);
    ~PreciseTimer() override;

    // Fires timeout() once at the given time (at once, from the event loop, if it has passed).
    void startAt(Clock::time_point when);
    void stop();
    bool isActive() const { return m_active; }

signals:
    void timeout();

private:
    void arm(Clock::time_point when);
    void expired();

    int m_fd = -1;
    bool m_active = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
