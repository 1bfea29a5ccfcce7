#include "app/SignalWatch.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int Watched[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t WatchedSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : Watched)
        sigaddset(&set, signal);
    return set;
}

int Pipe[2] = {-1, -1};
volatile sig_atomic_t FirstSignal = 0;

// Nothing here but what a signal handler may do: a store and a write.
extern "C" void RecordSignal(int Signal)
{
    if (FirstSignal == 0)
        FirstSignal = Signal;
    const int saved = errno;
    const char number = static_cast<char>(Signal);
    [[maybe_unused]] const ssize_t n = ::write(Pipe[1], &number, 1);  // a full pipe already holds a signal
    errno = saved;
}

}  // namespace

TSignalWatch::TSignalWatch(QObject* Owner) : QObject(Owner)
{
    static_assert(std::size(Watched) == sizeof FBefore / sizeof FBefore[0]);
    const sigset_t watched = WatchedSet();
    if (Pipe[0] >= 0 || ::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        FNotifier = std::make_unique<QSocketNotifier>(Pipe[0], QSocketNotifier::Read);
        connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = RecordSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;  // the event loop's calls go on; the pipe wakes it
        for (size_t i = 0; i < std::size(Watched); ++i) {
            ::sigaction(Watched[i], nullptr, &FBefore[i]);
            // Started with nohup: a closed terminal is no reason to stop.
            if (Watched[i] == SIGHUP && FBefore[i].sa_handler == SIG_IGN)
                continue;
            ::sigaction(Watched[i], &action, nullptr);
        }
    }
    ::pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
}

TSignalWatch::~TSignalWatch()
{
    if (!FNotifier)
        return;
    for (size_t i = 0; i < std::size(Watched); ++i)
        ::sigaction(Watched[i], &FBefore[i], nullptr);
}

int TSignalWatch::Caught()
{
    return FirstSignal;
}

int TSignalWatch::InterruptFd()
{
    return Pipe[0];
}

const char* TSignalWatch::Name(int Signal)
{
    switch (Signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    }
    return "a signal";
}

void TSignalWatch::Drain()
{
    char numbers[16];
    ssize_t n;
    while ((n = ::read(Pipe[0], numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            if (OnSignal)
                OnSignal(numbers[i]);
    }
}

TSignalsHeld::TSignalsHeld()
{
    const sigset_t watched = WatchedSet();
    ::pthread_sigmask(SIG_BLOCK, &watched, &FBefore);
}

TSignalsHeld::~TSignalsHeld()
{
    ::pthread_sigmask(SIG_SETMASK, &FBefore, nullptr);
}
