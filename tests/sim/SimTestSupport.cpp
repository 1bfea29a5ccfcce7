#include "tests/sim/SimTestSupport.h"

#include "sim/SampleImage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QTemporaryDir>

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

QByteArray pageCommand(char index, int page, const QByteArray& data, int checksumError)
{
    const int sum = (SampleImage::pageChecksum(data) + checksumError) & 0xFFFF;
    QByteArray command("WEP");
    command += index;
    command += static_cast<char>((page >> 8) & 0xFF);
    command += static_cast<char>(page & 0xFF);
    command += data;
    command += static_cast<char>(sum >> 8);
    command += static_cast<char>(sum & 0xFF);
    return command;
}

PtyClient::PtyClient(const QString& path)
    : m_fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
}

PtyClient::~PtyClient()
{
    close();
}

void PtyClient::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool PtyClient::write(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        done += n > 0 ? n : 0;
    }
    return true;
}

QByteArray PtyClient::read(int count, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QByteArray result;
    while (result.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(std::max<qint64>(0, left.count()))) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, std::min<qsizetype>(sizeof buffer, count - result.size()));
        if (n <= 0) {
            break;  // hang-up
        }
        result.append(buffer, n);
    }
    return result;
}

bool PtyClient::waitForHangup(int timeoutMs)
{
    pollfd entry{m_fd, POLLIN, 0};
    while (::poll(&entry, 1, timeoutMs) > 0) {
        char buffer[512];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno == EIO) || (entry.revents & POLLHUP)) {
            return true;
        }
    }
    return false;
}

SimProcess::SimProcess(const QStringList& arguments) : m_process(std::make_unique<QProcess>())
{
    m_process->setProgram(QStringLiteral(KT4_SIM_PATH));
    m_process->setArguments(arguments);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->start();
    if (!m_process->waitForStarted(5000)) {
        return;
    }
    while (!m_process->canReadLine() && m_process->waitForReadyRead(5000)) {
    }
    m_firstLine = QString::fromLocal8Bit(m_process->readLine());
    if (m_firstLine.startsWith(QLatin1String("PTY ")) && m_firstLine.endsWith('\n')) {
        m_slavePath = m_firstLine.mid(4).trimmed();
    }
}

SimProcess::~SimProcess()
{
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
}

int SimProcess::terminate()
{
    m_process->terminate();
    return waitForExit();
}

int SimProcess::waitForExit(int timeoutMs)
{
    if (!m_process->waitForFinished(timeoutMs) || m_process->exitStatus() != QProcess::NormalExit) {
        return -1;
    }
    return m_process->exitCode();
}

int runSimToEnd(const QStringList& arguments, QByteArray* standardError)
{
    QProcess process;
    process.start(QStringLiteral(KT4_SIM_PATH), arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit) {
        return -1;
    }
    if (standardError) {
        *standardError = process.readAllStandardError();
    }
    return process.exitCode();
}

QString scratchDirectory()
{
    static QTemporaryDir root;
    static int counter = 0;
    const QString path = root.path() + QStringLiteral("/t%1").arg(++counter);
    QDir().mkpath(path);
    return path;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition() && elapsed.elapsed() < timeoutMs) {
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return condition();
}
