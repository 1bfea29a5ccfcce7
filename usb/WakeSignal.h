#pragma once
// A level-triggered wake-up a thread can sleep on with poll(): signalled from
// any thread, readable until drained. Signalling twice before a drain wakes
// the sleeper once.

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

class TWakeSignal {
public:
    TWakeSignal() : FFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~TWakeSignal()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TWakeSignal(const TWakeSignal&) = delete;
    TWakeSignal& operator=(const TWakeSignal&) = delete;

    int Fd() const { return FFd; }
    void Signal() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(FFd, &one, sizeof one);
    }
    void Drain() const
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(FFd, &count, sizeof count);
    }

private:
    int FFd;
};
