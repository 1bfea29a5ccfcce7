#include "tests/sim/SimTestSupport.h"

#include "sim/SampleImage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

QByteArray pageCommand(char index, int page, const QByteArray& data, int checksumError)
{
    const int sum = (SampleImage::pageChecksum(data) + checksumError) & 0xFFFF;
    return QByteArray("WEP") + index + static_cast<char>(page >> 8) + static_cast<char>(page & 0xFF)
         + data + static_cast<char>(sum >> 8) + static_cast<char>(sum & 0xFF);
}

PtyClient::PtyClient(const QString& path)
    : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
}

PtyClient::~PtyClient()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool PtyClient::write(const QByteArray& bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        done += std::max<ssize_t>(n, 0);
    }
    return true;
}

QByteArray PtyClient::read(int count, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray result;
    pollfd entry{m_fd, POLLIN, 0};
    while (result.size() < count
           && ::poll(&entry, 1, static_cast<int>(std::max<qint64>(0, timeoutMs - elapsed.elapsed()))) > 0) {
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, std::min<qsizetype>(sizeof buffer, count - result.size()));
        if (n <= 0) {
            break;  // hung up
        }
        result.append(buffer, n);
    }
    return result;
}

QByteArray PtyClient::readUntil(const QByteArray& end, int timeoutMs)
{
    QByteArray result;
    while (!result.endsWith(end)) {
        const QByteArray next = read(1, timeoutMs);
        if (next.isEmpty()) {
            break;
        }
        result += next;
    }
    return result;
}

namespace {

int connectedSocket(const char* address, quint16 port)
{
    sockaddr_in to{AF_INET, htons(port), {}, {}};
    ::inet_pton(AF_INET, address, &to.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return -1;
}

} // namespace

LoopbackClient::LoopbackClient(const char* address, quint16 port) : PtyClient(connectedSocket(address, port))
{
}

bool PtyClient::waitForHangup(int timeoutMs)
{
    pollfd entry{m_fd, POLLIN, 0};
    char buffer[512];
    while (::poll(&entry, 1, timeoutMs) > 0) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno == EIO)) {
            return true;
        }
    }
    return false;
}

SimProcess::SimProcess(const QStringList& arguments)
{
    process.start(QStringLiteral(KT4_SIM_PATH), arguments);
    while (process.waitForStarted(5000) && !process.canReadLine() && process.waitForReadyRead(5000)) {
    }
    firstLine = QString::fromLocal8Bit(process.readLine());
    if (firstLine.startsWith(QLatin1String("PTY ")) && firstLine.endsWith('\n')) {
        slavePath = firstLine.mid(4).trimmed();
    }
}

SimProcess::~SimProcess()
{
    if (process.state() != QProcess::NotRunning && exitCode(true) < 0) {
        process.kill();
        process.waitForFinished(5000);
    }
}

int SimProcess::exitCode(bool terminate)
{
    if (terminate) {
        process.terminate();
    }
    const bool ended = process.waitForFinished(5000) || process.state() == QProcess::NotRunning;
    return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
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

QString scratchDirectory()
{
    static QTemporaryDir root;
    static int counter = 0;
    const QString path = root.path() + QStringLiteral("/t%1").arg(++counter);
    QDir().mkpath(path);
    return path;
}
