// The simulator as a real program: started with QProcess, talked to over its pseudo-terminal.

#include "sim/SampleImage.h"
#include "tests/sim/SimTestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

char nextIndex(char index)
{
    return index == '9' ? '0' : static_cast<char>(index + 1);
}

// The scheduler state of the process's main thread ('S' sleeping, 'R' running, ...).
char processState(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() ? stat.at(close + 2) : '?';
}

// Uploads every page of the image as the utility does (pages 66 to 511), each after the
// previous answer; the index goes on from *index.
void uploadPages(PtyClient& client, const QByteArray& image, char* index)
{
    for (int page = 66; page < 512; ++page) {
        *index = nextIndex(*index);
        ASSERT_TRUE(client.write(pageCommand(*index, page, image.mid(page * 256, 256))));
        const QByteArray answer = client.read(6);
        ASSERT_EQ(answer.left(4), QByteArray("ACK") + *index) << "page " << page;
        ASSERT_EQ(answer.mid(4), QByteArray(1, static_cast<char>(page >> 8)) + static_cast<char>(page & 0xFF));
    }
}

} // namespace

TEST(SimProcessTest, PrintsThePtyLineAndAnswersAnEnquiry)
{
    SimProcess sim({});
    ASSERT_TRUE(sim.started()) << sim.firstLine().toStdString();
    EXPECT_TRUE(QRegularExpression("^PTY /dev/pts/[0-9]+\n$").match(sim.firstLine()).hasMatch())
        << sim.firstLine().toStdString();
    PtyClient client(sim.slavePath());  // left in the terminal's settings, which must be raw
    ASSERT_TRUE(client.isOpen());
    ASSERT_TRUE(client.write("ENQ0"));
    EXPECT_EQ(client.read(4), "ACK0");
    EXPECT_EQ(sim.terminate(), 0);
    EXPECT_TRUE(sim.process().readAllStandardError().isEmpty());  // quiet without --verbose
}

TEST(SimProcessTest, WholeUploadIsKeptByteForByteAndReportsTheNewVersion)
{
    const QString dir = scratchDirectory();
    ASSERT_EQ(runSimToEnd({"--make-image", dir + "/image.bin", "--image-version", "2.31",
                           "--image-date", "2024-09-10 11:12:13"}),
              0);
    const QByteArray image = readFile(dir + "/image.bin");
    ASSERT_EQ(image.size(), 131072);
    EXPECT_EQ(image, SampleImage::make("2.31", "2024-09-10 11:12:13"));

    SimProcess sim({"--flash-out", dir + "/flash.bin"});
    ASSERT_TRUE(sim.started());
    PtyClient client(sim.slavePath());
    char index = '9';
    uploadPages(client, image, &index);
    index = nextIndex(index);
    ASSERT_TRUE(client.write(QByteArray("PFM") + index));
    EXPECT_EQ(client.read(4), QByteArray("ACK") + index);
    const QByteArray flash = readFile(dir + "/flash.bin");
    ASSERT_EQ(flash.size(), 131072);
    EXPECT_EQ(flash.mid(66 * 256), image.mid(66 * 256));
    EXPECT_EQ(flash.left(66 * 256), QByteArray(66 * 256, '\xFF'));

    index = nextIndex(index);
    ASSERT_TRUE(client.write(QByteArray("VFL") + index));
    EXPECT_EQ(client.read(8), QByteArray("ACK") + index + "2.31");
}

TEST(SimProcessTest, UtilityClosingThePortLeavesTheSimulatorAsleepAndReady)
{
    SimProcess sim({"--version", "1.05"});
    ASSERT_TRUE(sim.started());
    {
        PtyClient client(sim.slavePath());
        ASSERT_TRUE(client.write("ENQ0"));
        ASSERT_EQ(client.read(4), "ACK0");
    }
    // With no one on the slave a simulator that spun on the hang-up would always be running.
    int sleeping = 0;
    for (int i = 0; i < 20; ++i) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
        sleeping += processState(sim.process().processId()) == 'S' ? 1 : 0;
    }
    EXPECT_GE(sleeping, 18);
    PtyClient again(sim.slavePath());
    ASSERT_TRUE(again.write("VFL1"));
    EXPECT_EQ(again.read(8), "ACK11.05");
}

TEST(SimProcessTest, LinkIsMadeAndRemovedAndFlashWrittenOnTerminate)
{
    const QString dir = scratchDirectory();
    SimProcess sim({"--link", dir + "/ttyKT4", "--flash-out", dir + "/flash.bin"});
    ASSERT_TRUE(sim.started());
    EXPECT_EQ(QFileInfo(dir + "/ttyKT4").symLinkTarget(), sim.slavePath());
    PtyClient client(dir + "/ttyKT4");
    ASSERT_TRUE(client.write(pageCommand('0', 100, QByteArray(256, 'z'))));
    ASSERT_EQ(client.read(6).left(4), "ACK0");
    EXPECT_EQ(sim.terminate(), 0);
    EXPECT_FALSE(QFileInfo(dir + "/ttyKT4").isSymLink());
    EXPECT_EQ(readFile(dir + "/flash.bin").mid(100 * 256, 256), QByteArray(256, 'z'));
}

TEST(SimProcessTest, LoseAfterEndsTheProgramAndHangsUpThePort)
{
    const QString dir = scratchDirectory();
    SimProcess sim({"--lose-after", "66", "--link", dir + "/ttyKT4"});
    ASSERT_TRUE(sim.started());
    PtyClient client(sim.slavePath());
    ASSERT_TRUE(client.write(pageCommand('0', 66, QByteArray(256, 'a'))));
    EXPECT_EQ(client.read(6).left(4), "ACK0");
    EXPECT_TRUE(client.waitForHangup());
    EXPECT_EQ(sim.waitForExit(), 0);
    EXPECT_FALSE(QFileInfo(dir + "/ttyKT4").isSymLink());
}

TEST(SimProcessTest, InitialFlashGivesItsVersionAndWrongTypeIsReported)
{
    const QString dir = scratchDirectory();
    ASSERT_EQ(runSimToEnd({"--make-image", dir + "/old.bin", "--image-version", "0.95",
                           "--image-date", "2020-01-01 00:00:00"}),
              0);
    SimProcess sim({"--initial-flash", dir + "/old.bin", "--wrong-type", "--verbose"});
    ASSERT_TRUE(sim.started());
    PtyClient client(sim.slavePath());
    ASSERT_TRUE(client.write("VFL5"));
    EXPECT_EQ(client.read(8), "ACK50.95");
    ASSERT_TRUE(client.write("WHO6"));
    EXPECT_EQ(client.read(6), "ACK612");
    EXPECT_EQ(sim.terminate(), 0);
    const QByteArray log = sim.process().readAllStandardError();
    EXPECT_TRUE(log.contains("<- VFL5")) << log.constData();
    EXPECT_TRUE(log.contains("-> ACK612")) << log.constData();
}

TEST(SimProcessTest, BaudRatePacesTheAnswer)
{
    SimProcess sim({"--baud", "9600"});  // 264 + 6 bytes at 9600 baud: 281 ms
    ASSERT_TRUE(sim.started());
    PtyClient client(sim.slavePath());
    QElapsedTimer elapsed;
    elapsed.start();
    ASSERT_TRUE(client.write(pageCommand('1', 66, QByteArray(256, '\x01'))));
    EXPECT_EQ(client.read(6).left(4), "ACK1");
    EXPECT_GE(elapsed.elapsed(), 281);
}

TEST(SimProcessTest, BadStartsAreRefused)
{
    QByteArray error;
    EXPECT_EQ(runSimToEnd({"--nak-every", "zero"}, &error), 2);
    EXPECT_TRUE(error.contains("--nak-every")) << error.constData();
    const QString dir = scratchDirectory();
    QFile shortImage(dir + "/short.bin");
    ASSERT_TRUE(shortImage.open(QIODevice::WriteOnly));
    shortImage.write(QByteArray(1000, '\0'));
    shortImage.close();
    EXPECT_EQ(runSimToEnd({"--initial-flash", dir + "/short.bin"}, &error), 1);
    EXPECT_TRUE(error.contains("131072")) << error.constData();
    EXPECT_EQ(runSimToEnd({"--make-image", dir + "/none/image.bin"}, &error), 1);
}
