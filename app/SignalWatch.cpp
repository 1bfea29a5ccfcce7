#include "app/SignalWatch.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

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
    if (Pipe[0] < 0 && ::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    FNotifier = std::make_unique<QSocketNotifier>(Pipe[0], QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RecordSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the event loop's calls go on; the pipe wakes it
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

TSignalWatch::~TSignalWatch()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
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
    return Signal == SIGINT ? "SIGINT" : Signal == SIGTERM ? "SIGTERM" : "a signal";
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
