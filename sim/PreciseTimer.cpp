#include "sim/PreciseTimer.h"

#include <cstdint>
#include <stdexcept>
#include <sys/timerfd.h>
#include <unistd.h>

PreciseTimer::PreciseTimer(QObject* parent) : QObject(parent)
{
    static_assert(Clock::is_steady);
    m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0) {
        throw std::runtime_error("timerfd_create failed");
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &PreciseTimer::expired);
}

PreciseTimer::~PreciseTimer()
{
    m_notifier.reset();
    ::close(m_fd);
}

void PreciseTimer::startAt(Clock::time_point when)
{
    arm(when);
    m_active = true;
}

void PreciseTimer::stop()
{
    itimerspec off{};
    timerfd_settime(m_fd, 0, &off, nullptr);
    m_active = false;
}

// steady_clock is CLOCK_MONOTONIC on Linux, so its time points are absolute timer times.
void PreciseTimer::arm(Clock::time_point when)
{
    using namespace std::chrono;
    const auto since = duration_cast<nanoseconds>(when.time_since_epoch()).count();
    itimerspec expiry{};
    expiry.it_value.tv_sec = static_cast<time_t>(since / 1'000'000'000);
    expiry.it_value.tv_nsec = static_cast<long>(since % 1'000'000'000);
    if (expiry.it_value.tv_sec <= 0 && expiry.it_value.tv_nsec <= 0) {
        expiry.it_value.tv_nsec = 1;  // an all-zero value would disarm the timer
    }
    timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &expiry, nullptr);
}

void PreciseTimer::expired()
{
    std::uint64_t expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) != sizeof expirations || !m_active) {
        return;
    }
    m_active = false;
    emit timeout();
}
