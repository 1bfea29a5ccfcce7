#pragma once
// Helpers for the simulator's tests: page commands, the utility's side of the pseudo-terminal,
// and the kt4-sim program as a real process.

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <functional>

// "WEP" + index + page (high, low) + data + 16-bit sum (high, low), the sum off by checksumError.
QByteArray pageCommand(char index, int page, const QByteArray& data, int checksumError = 0);

// The slave opened with plain POSIX calls, as the utility would; no terminal settings changed.
class PtyClient {
public:
    explicit PtyClient(const QString& path);
    ~PtyClient();
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    bool write(const QByteArray& bytes);
    // What came within timeoutMs, at most `count` bytes.
    QByteArray read(int count, int timeoutMs = 3000);
    // True when the other side hung up within timeoutMs.
    bool waitForHangup(int timeoutMs = 3000);
    // What came until the bytes end it (or timeoutMs passed between two bytes).
    QByteArray readUntil(const QByteArray& end, int timeoutMs = 10000);

protected:
    explicit PtyClient(int fd) : m_fd(fd) {}

private:
    int m_fd = -1;
};

// A TCP connection to a loopback address, read and written as the terminal is.
class LoopbackClient : public PtyClient {
public:
    LoopbackClient(const char* address, quint16 port);
};

// Starts kt4-sim and reads its first line; the program is ended (SIGTERM) on destruction.
struct SimProcess {
    explicit SimProcess(const QStringList& arguments);
    ~SimProcess();
    // Waits for the end (after SIGTERM when terminate); the exit code, -1 on a crash or time-out.
    int exitCode(bool terminate);

    QProcess process;
    QString firstLine;
    QString slavePath;  // empty when the line was not "PTY <path>"
};

// Runs the event loop until condition() holds or timeoutMs passes; condition() at the end.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 3000);

// A new empty directory, removed when the test program ends.
QString scratchDirectory();
