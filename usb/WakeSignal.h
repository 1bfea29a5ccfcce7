#pragma once
// A level-triggered wake-up a thread can sleep on with poll(): signalled from
// any thread, readable until drained. Signalling twice before a drain wakes
// the sleeper once.
//
// Making one takes a descriptor, which the system may refuse (the process has
// used up its descriptors, say): such a signal is not Valid(), and a sleeper
// on it would never wake, so its owner must not sleep on it but tell Error().

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

class TWakeSignal {
public:
    TWakeSignal() : FFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), FError(FFd < 0 ? errno : 0) {}
    ~TWakeSignal()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TWakeSignal(const TWakeSignal&) = delete;
    TWakeSignal& operator=(const TWakeSignal&) = delete;

    bool Valid() const { return FFd >= 0; }
    // The errno value that made it invalid; 0 for a valid one.
    int Error() const { return FError; }
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
    int FError;
};
