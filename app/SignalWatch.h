#pragma once
// SIGINT and SIGTERM as events on the main thread: the handler only records
// the signal's number and writes it into a pipe; a socket notifier reads the
// pipe on the event loop and tells OnSignal there, where the work is done.
// Code that blocks outside the event loop (a question on the terminal) may
// poll InterruptFd() beside its own descriptor and look at Caught().

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

class TSignalWatch : public QObject {
public:
    // Installs the handlers for SIGINT and SIGTERM (one watch per process).
    explicit TSignalWatch(QObject* Owner = nullptr);
    ~TSignalWatch() override;

    // The first signal caught, 0 while none was.
    static int Caught();
    // Readable once a signal was caught (and until OnSignal has been told).
    static int InterruptFd();
    // "SIGINT" or "SIGTERM".
    static const char* Name(int Signal);

    // Told on the event loop, once per signal caught.
    std::function<void(int Signal)> OnSignal;

private:
    void Drain();
    std::unique_ptr<QSocketNotifier> FNotifier;
};
