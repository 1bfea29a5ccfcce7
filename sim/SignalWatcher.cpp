#include "sim/SignalWatcher.h"

#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_pipe[2] = {-1, -1};
constexpr int Watched[] = {SIGTERM, SIGINT, SIGHUP};
}

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[1], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SignalWatcher::readSignal);
    struct sigaction action{};
    action.sa_handler = &SignalWatcher::handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : Watched) {
        sigaction(number, &action, nullptr);
    }
}

SignalWatcher::~SignalWatcher()
{
    for (int number : Watched) {
        std::signal(number, SIG_DFL);
    }
    m_notifier.reset();
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void SignalWatcher::handler(int signalNumber)
{
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[0], &byte, 1);
}

void SignalWatcher::readSignal()
{
    char byte = 0;
    while (::read(g_pipe[1], &byte, 1) == 1) {
        emit signalled(static_cast<unsigned char>(byte));
    }
}
