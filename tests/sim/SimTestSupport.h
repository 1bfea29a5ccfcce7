#pragma once
// Helpers for the simulator's tests: the utility's side of a pseudo-terminal, page commands,
// and the simulator program run as a real process.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Builds "WEP" + index + page (high, low) + data + 16-bit sum (high, low); checksumError is added
// to the sum to make a wrong one.
QByteArray pageCommand(char index, int page, const QByteArray& data, int checksumError = 0);

// The utility's end of the link: the slave opened with plain POSIX calls.
class PtyClient {
public:
    explicit PtyClient(const QString& path);
    ~PtyClient();
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool write(const QByteArray& bytes);
    // Reads until `count` bytes have come or timeoutMs has passed; returns what came.
    QByteArray read(int count, int timeoutMs = 3000);
    // Waits until the other side hangs up; false if it did not within timeoutMs.
    bool waitForHangup(int timeoutMs = 3000);
    void close();

private:
    int m_fd = -1;
};

// The kt4-sim program, started with the given options; it is ended (SIGTERM) on destruction.
class SimProcess {
public:
    explicit SimProcess(const QStringList& arguments);
    ~SimProcess();

    // True when the program printed its "PTY <path>" line.
    bool started() const { return !m_slavePath.isEmpty(); }
    QString firstLine() const { return m_firstLine; }
    QString slavePath() const { return m_slavePath; }
    QProcess& process() { return *m_process; }
    // Sends SIGTERM and waits for the end; the exit code, or -1 if it did not end normally.
    int terminate();
    // Waits for the program to end by itself; the exit code, or -1.
    int waitForExit(int timeoutMs = 5000);

private:
    std::unique_ptr<QProcess> m_process;
    QString m_firstLine;
    QString m_slavePath;
};

// Runs kt4-sim to its end (for modes that end by themselves); the exit code, or -1.
int runSimToEnd(const QStringList& arguments, QByteArray* standardError = nullptr);

// A fresh, empty directory for the test's files, removed at the end of the test program.
QString scratchDirectory();

// Runs the event loop until condition() holds or timeoutMs passes; condition() at the end.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 3000);
