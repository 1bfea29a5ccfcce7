#pragma once
// SIGINT, SIGTERM and SIGHUP as events on the main thread: the handler only records
// the signal's number and writes it into a pipe; a socket notifier reads the
// pipe on the event loop and tells OnSignal there, where the work is done.
// Code that blocks outside the event loop (a question on the terminal) may
// poll InterruptFd() beside its own descriptor and look at Caught().

#include <QObject>
#include <QSocketNotifier>
#include <csignal>
#include <functional>
#include <memory>

class TSignalWatch : public QObject {
public:
    // Installs the handlers for SIGINT, SIGTERM and SIGHUP (one watch per
    // process; SIGHUP stays ignored when it was, under nohup), then lets them
    // through: a process may have been started with them blocked (see
    // TSignalsHeld), and one sent meanwhile comes now.
    explicit TSignalWatch(QObject* Owner = nullptr);
    ~TSignalWatch() override;

    // The first signal caught, 0 while none was.
    static int Caught();
    // Readable once a signal was caught (and until OnSignal has been told).
    static int InterruptFd();
    // "SIGINT", "SIGTERM" or "SIGHUP".
    static const char* Name(int Signal);

    // Told on the event loop, once per signal caught.
    std::function<void(int Signal)> OnSignal;

private:
    void Drain();
    std::unique_ptr<QSocketNotifier> FNotifier;
    struct sigaction FBefore[3] = {};  // what the watched signals did before, given back at the end
};

// The watched signals held back on this thread while it lives. A process
// started meanwhile begins with them blocked and keeps them blocked through
// exec, so that one sent to it before its own watch is in place waits for the
// watch instead of ending it, or of being taken by handlers it inherited.
class TSignalsHeld {
public:
    TSignalsHeld();
    ~TSignalsHeld();
    TSignalsHeld(const TSignalsHeld&) = delete;
    TSignalsHeld& operator=(const TSignalsHeld&) = delete;

private:
    sigset_t FBefore;
};
