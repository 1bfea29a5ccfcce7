#include "sim/SimSession.h"

#include "sim/PtyTransport.h"
#include "sim/SampleImage.h"
#include "tests/sim/SimTestSupport.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

namespace {

// The simulator's parts in this process, the test acting as the utility on the slave.
struct Rig {
    explicit Rig(const SimOptions& o)
        : options(o), instrument(o.faults, QByteArray(SampleImage::ImageSize, '\xFF'), o.version)
    {
        QString error;
        EXPECT_TRUE(transport.open(&error)) << error.toStdString();
        session = std::make_unique<SimSession>(transport, instrument, options);
        QObject::connect(session.get(), &SimSession::finished, [this](int code) { exitCode = code; });
        client = std::make_unique<PtyClient>(transport.slavePath());
    }

    // Sends a command and runs the event loop until `count` answer bytes came (or 3 s passed).
    QByteArray exchange(const QByteArray& command, int count, int timeoutMs = 3000)
    {
        EXPECT_TRUE(client->write(command));
        QByteArray got;
        waitFor([&] {
            got += client->read(count - got.size(), 0);
            return got.size() >= count;
        }, timeoutMs);
        return got;
    }

    SimOptions options;
    SimInstrument instrument;
    PtyTransport transport;
    std::unique_ptr<SimSession> session;
    std::unique_ptr<PtyClient> client;
    int exitCode = -1;
};

QByteArray page(int number)
{
    return QByteArray(256, static_cast<char>(number));
}

QByteArray pageAck(char index, int number)
{
    return QByteArray("ACK") + index + static_cast<char>(number >> 8) + static_cast<char>(number & 0xFF);
}

} // namespace

TEST(SimSessionTest, AnswersCommandsOverThePty)
{
    Rig rig(SimOptions{});
    EXPECT_EQ(rig.exchange("ENQ0", 4), "ACK0");
    EXPECT_EQ(rig.exchange("WHO1", 6), "ACK116");
    EXPECT_EQ(rig.exchange("VFL2", 8), "ACK21.10");
}

TEST(SimSessionTest, CommandWrittenInPiecesIsAnsweredOnce)
{
    Rig rig(SimOptions{});
    const QByteArray command = pageCommand('3', 66, page(66));
    EXPECT_EQ(rig.exchange(command.left(100), 1, 30), "");
    EXPECT_EQ(rig.exchange(command.mid(100), 6), pageAck('3', 66));
    EXPECT_EQ(rig.exchange("ENQ4", 4), "ACK4");
}

TEST(SimSessionTest, StaleUnfinishedCommandIsForgotten)
{
    Rig rig(SimOptions{});
    rig.session->setStaleInputMs(20);
    EXPECT_EQ(rig.exchange(pageCommand('3', 66, page(66)).left(10), 1, 40), "");
    EXPECT_EQ(rig.exchange("ENQ4", 4), "ACK4");
}

TEST(SimSessionTest, FlashFileIsWrittenBeforeTheProgramAnswer)
{
    SimOptions options;
    options.flashOut = scratchDirectory() + "/flash.bin";
    Rig rig(options);
    const QByteArray image = SampleImage::make("2.50", "2024-07-08 09:10:11");
    EXPECT_EQ(rig.exchange(pageCommand('0', 511, image.right(256)), 6), pageAck('0', 511));
    EXPECT_FALSE(QFile::exists(options.flashOut));
    EXPECT_EQ(rig.exchange("PFM1", 4), "ACK1");
    QFile file(options.flashOut);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray flash = file.readAll();
    ASSERT_EQ(flash.size(), 131072);
    EXPECT_EQ(flash.right(256), image.right(256));
    EXPECT_EQ(flash.left(256), QByteArray(256, '\xFF'));
    EXPECT_EQ(rig.exchange("VFL2", 8), "ACK22.50");
}

TEST(SimSessionTest, DroppedAnswerNeverComesAndTheResendIsAnswered)
{
    SimOptions options;
    options.faults.dropPage = 70;
    Rig rig(options);
    EXPECT_EQ(rig.exchange(pageCommand('0', 70, page(70)), 1, 100), "");
    EXPECT_EQ(rig.exchange(pageCommand('1', 70, page(70)), 6), pageAck('1', 70));
}

TEST(SimSessionTest, DelayComesBeforeEachAnswer)
{
    SimOptions options;
    options.delayMs = 60;
    Rig rig(options);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(rig.exchange("ENQ0", 4), "ACK0");
    EXPECT_GE(elapsed.elapsed(), 60);
}

TEST(SimSessionTest, BaudPacesByCommandAndAnswerLength)
{
    SimOptions options;
    options.baud = 19200;  // 264 + 6 bytes: 140.6 ms
    Rig rig(options);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(rig.exchange(pageCommand('0', 66, page(66)), 6), pageAck('0', 66));
    EXPECT_GE(elapsed.elapsed(), 140);
}

TEST(SimSessionTest, LoseAfterAcknowledgesThePageThenHangsUp)
{
    SimOptions options;
    options.faults.loseAfterPage = 67;
    options.flashOut = scratchDirectory() + "/flash.bin";
    Rig rig(options);
    EXPECT_EQ(rig.exchange(pageCommand('0', 66, page(66)), 6), pageAck('0', 66));
    EXPECT_EQ(rig.exchange(pageCommand('1', 67, page(67)), 6), pageAck('1', 67));
    ASSERT_TRUE(waitFor([&] { return rig.exitCode >= 0; }));
    EXPECT_EQ(rig.exitCode, 0);
    EXPECT_TRUE(rig.client->waitForHangup(1000));
    QFile file(options.flashOut);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().mid(67 * 256, 256), page(67));
}

TEST(SimSessionTest, CommandsAfterTheLostAnswerAreNotAnswered)
{
    SimOptions options;
    options.faults.loseAfterPage = 66;
    Rig rig(options);
    // Both commands arrive together: the second must not be answered once the link is lost.
    EXPECT_EQ(rig.exchange(pageCommand('0', 66, page(66)) + "ENQ1", 6), pageAck('0', 66));
    EXPECT_TRUE(waitFor([&] { return rig.exitCode == 0; }));
    EXPECT_EQ(rig.client->read(4, 0), "");
}
