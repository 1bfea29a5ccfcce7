// The kt4-sim program as a real process, talked to over its pseudo-terminal.

#include "sim/SampleImage.h"
#include "tests/sim/SimTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The scheduler state of the process's main thread: 'S' while it sleeps.
char processState(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() ? stat.at(close + 2) : '?';
}

int runToEnd(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(KT4_SIM_PATH), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
             ? process.exitCode() : -1;
}

} // namespace

TEST(SimProcessTest, PrintsThePtyLineAndAnswersAnEnquiry)
{
    SimProcess sim({});
    EXPECT_TRUE(QRegularExpression("^PTY /dev/pts/[0-9]+\n$").match(sim.firstLine).hasMatch())
        << sim.firstLine.toStdString();
    PtyClient client(sim.slavePath);  // the simulator must have made the terminal raw
    ASSERT_TRUE(client.write("ENQ0"));
    EXPECT_EQ(client.read(4), "ACK0");
    EXPECT_EQ(sim.exitCode(true), 0);
    EXPECT_EQ(sim.process.readAllStandardError(), "");  // quiet without --verbose
}

TEST(SimProcessTest, UploadedImageIsKeptByteForByteAndItsVersionReported)
{
    const QString dir = scratchDirectory();
    ASSERT_EQ(runToEnd({"--make-image", dir + "/image.bin", "--image-version", "2.31",
                        "--image-date", "2024-09-10 11:12:13"}), 0);
    const QByteArray image = readFile(dir + "/image.bin");
    ASSERT_EQ(image, SampleImage::make("2.31", "2024-09-10 11:12:13"));
    SimProcess sim({"--flash-out", dir + "/flash.bin", "--nak-every", "10"});
    PtyClient client(sim.slavePath);
    char index = '0';
    for (int page = 66; page < 512; index = index == '9' ? '0' : char(index + 1)) {
        ASSERT_TRUE(client.write(pageCommand(index, page, image.mid(page * 256, 256))));
        const QByteArray answer = client.read(6);
        ASSERT_EQ(answer.mid(3), QByteArray(1, index) + char(page >> 8) + char(page & 0xFF)) << page;
        page += answer.startsWith("ACK") ? 1 : 0;  // a negative answer: the same page again
    }
    ASSERT_TRUE(client.write(QByteArray("PFM") + index));
    ASSERT_EQ(client.read(4), QByteArray("ACK") + index);
    const QByteArray flash = readFile(dir + "/flash.bin");  // written before the answer
    ASSERT_EQ(flash.size(), 131072);
    EXPECT_EQ(flash.mid(66 * 256), image.mid(66 * 256));
    EXPECT_EQ(flash.left(66 * 256), QByteArray(66 * 256, '\xFF'));
    ASSERT_TRUE(client.write("VFL1"));
    EXPECT_EQ(client.read(8), "ACK12.31");
}

TEST(SimProcessTest, UtilityMayCloseAndReopenThePortWhileTheSimulatorSleeps)
{
    const QString dir = scratchDirectory();
    SimProcess sim({"--link", dir + "/ttyKT4", "--flash-out", dir + "/flash.bin"});
    EXPECT_EQ(QFileInfo(dir + "/ttyKT4").symLinkTarget(), sim.slavePath);
    {
        PtyClient client(dir + "/ttyKT4");
        ASSERT_TRUE(client.write("ENQ0"));
        ASSERT_EQ(client.read(4), "ACK0");
    }
    int sleeping = 0;  // a simulator spinning on the hang-up would be running nearly always
    for (int i = 0; i < 20; ++i) {
        waitFor([] { return false; }, 10);
        sleeping += processState(sim.process.processId()) == 'S' ? 1 : 0;
    }
    EXPECT_GE(sleeping, 18);
    PtyClient again(sim.slavePath);
    ASSERT_TRUE(again.write(pageCommand('1', 100, QByteArray(256, 'z'))));
    EXPECT_EQ(again.read(6), QByteArray("ACK1\x00\x64", 6));
    EXPECT_EQ(sim.exitCode(true), 0);
    EXPECT_FALSE(QFileInfo(dir + "/ttyKT4").isSymLink());
    EXPECT_EQ(readFile(dir + "/flash.bin").mid(100 * 256, 256), QByteArray(256, 'z'));
}

TEST(SimProcessTest, LoseAfterAcknowledgesThePageThenHangsUpAndEnds)
{
    SimProcess sim({"--lose-after", "67"});
    PtyClient client(sim.slavePath);
    ASSERT_TRUE(client.write(pageCommand('0', 67, QByteArray(256, 'a'), 1)));
    EXPECT_EQ(client.read(6), QByteArray("NAK0\x00\x43", 6));
    ASSERT_TRUE(client.write(pageCommand('1', 67, QByteArray(256, 'a'))));
    EXPECT_EQ(client.read(6), QByteArray("ACK1\x00\x43", 6));
    EXPECT_TRUE(client.waitForHangup());
    EXPECT_EQ(sim.exitCode(false), 0);
}

TEST(SimProcessTest, AnswerWaitsForLineTimeAndDelay)
{
    SimProcess sim({"--baud", "9600", "--delay-ms", "50"});  // 264 + 6 bytes at 9600: 281 ms
    PtyClient client(sim.slavePath);
    QElapsedTimer elapsed;
    elapsed.start();
    ASSERT_TRUE(client.write(pageCommand('1', 66, QByteArray(256, '\x01'))));
    EXPECT_EQ(client.read(6).left(4), "ACK1");
    EXPECT_GE(elapsed.elapsed(), 281 + 50);
}

TEST(SimProcessTest, InitialFlashWrongTypeAndVerboseLog)
{
    const QString dir = scratchDirectory();
    ASSERT_EQ(runToEnd({"--make-image", dir + "/old.bin", "--image-version", "0.95"}), 0);
    SimProcess sim({"--initial-flash", dir + "/old.bin", "--wrong-type", "--verbose"});
    PtyClient client(sim.slavePath);
    ASSERT_TRUE(client.write("VFL5WHO6"));
    EXPECT_EQ(client.read(14), "ACK50.95ACK612");
    EXPECT_EQ(sim.exitCode(true), 0);
    const QByteArray log = sim.process.readAllStandardError();
    EXPECT_TRUE(log.contains("<- WHO6") && log.contains("-> ACK612")) << log.constData();
    EXPECT_EQ(runToEnd({"--initial-flash", dir + "/missing.bin"}), 1);
    EXPECT_EQ(runToEnd({"--nak-every", "zero"}), 2);
}

namespace {

// A UDP socket bound to address:port, closed with the object.
struct UdpSocket {
    UdpSocket(const char* address, quint16 port)
    {
        sockaddr_in a{AF_INET, htons(port), {}, {}};
        ::inet_pton(AF_INET, address, &a.sin_addr);
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }
    ~UdpSocket() { ::close(fd); }
    bool sendTo(const char* address, quint16 port, const QByteArray& text) const
    {
        sockaddr_in a{AF_INET, htons(port), {}, {}};
        ::inet_pton(AF_INET, address, &a.sin_addr);
        return ::sendto(fd, text.constData(), size_t(text.size()), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a)
            == text.size();
    }
    // The datagram waiting, or what comes within timeoutMs; empty for none.
    QByteArray receive(int timeoutMs) const
    {
        pollfd p{fd, POLLIN, 0};
        char buffer[256];
        const ssize_t got = ::poll(&p, 1, timeoutMs) == 1 ? ::recv(fd, buffer, sizeof buffer, 0) : -1;
        return got > 0 ? QByteArray(buffer, int(got)) : QByteArray();
    }
    int fd = -1;
    bool bound = false;
};

} // namespace

// The simulated dock, served on loopback, answers the dock enumerator on this
// machine only: proved in a network namespace of the test's own, where
// 10.77.0.2 stands for another host.
TEST(SimDockEnquiriesTest, OnlyThisMachineIsAnswered)
{
    if (qEnvironmentVariableIsEmpty("KT4_IN_TEST_NETNS")) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KT4_IN_TEST_NETNS", "1");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start("unshare", {"-rn", "sh", "-c",
                                "ip link set lo up && ip addr add 10.77.0.2/32 dev lo && exec \"$0\" --gtest_filter=SimDockEnquiriesTest.*",
                                QCoreApplication::applicationFilePath()});
        ASSERT_TRUE(child.waitForFinished(120000));
        const QString output = QString::fromLocal8Bit(child.readAll());
        if (output.contains("unshare: ")) {
            GTEST_SKIP() << "no user namespaces here: " << output.toStdString();
        }
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
        return;
    }
    const struct {
        const char* enquirer;
        bool answered;
    } cases[] = {{"127.0.0.1", true}, {"127.9.9.9", true}, {"10.77.0.2", false}};
    SimProcess sim({"--dock", "kelo6", "--address", "127.0.0.5"});
    ASSERT_EQ(sim.firstLine.toStdString(), "DOCK 127.0.0.5\n");
    UdpSocket local("127.0.0.2", 6461);  // this machine's enquiry, answered after the other
    for (const auto& c : cases) {
        SCOPED_TRACE(c.enquirer);
        UdpSocket enquirer(c.enquirer, 6461);
        ASSERT_TRUE(enquirer.bound && local.bound);
        ASSERT_TRUE(enquirer.sendTo("127.0.0.1", 6462, "ENQ") && local.sendTo("127.0.0.1", 6462, "ENQ"));
        EXPECT_EQ(local.receive(60000), "Kelo6 127.0.0.5");
        EXPECT_EQ(enquirer.receive(0), c.answered ? QByteArray("Kelo6 127.0.0.5") : QByteArray());
    }
}
