#include "sim/AnswerPacer.h"
#include "sim/PtyTransport.h"
#include "sim/SampleImage.h"
#include "sim/SimOptions.h"
#include "tests/sim/SimTestSupport.h"

#include <QSet>

#include <gtest/gtest.h>

using namespace std::chrono;

TEST(SimPartsTest, SampleImageHasItsFieldsAndIsDeterministic)
{
    const QByteArray image = SampleImage::make("2.15", "2024-11-30 23:59:58");
    ASSERT_EQ(image.size(), 131072);
    EXPECT_EQ(image.mid(0x1FFC0, 19), "2024-11-30 23:59:58");
    EXPECT_EQ(image.mid(0x1FFD4, 4), "2.15");
    EXPECT_EQ(image.at(0x1FFD9), '\x10');
    EXPECT_EQ(image, SampleImage::make("2.15", "2024-11-30 23:59:58"));
    EXPECT_NE(image.mid(0x4200, 256), SampleImage::make("2.16", "2024-11-30 23:59:58").mid(0x4200, 256));
    EXPECT_GT(QSet<char>(image.begin(), image.end()).size(), 250);
    EXPECT_EQ(SampleImage::pageChecksum(QByteArray(256, '\xFF')), 0xFF00);
}

TEST(SimPartsTest, OptionsAreReadAndWrongValuesRefused)
{
    SimOptions o;
    QString error;
    ASSERT_TRUE(parseSimOptions({"kt4-sim", "--nak-every", "10", "--drop-page", "70", "--wrong-echo",
                                 "80", "--wrong-type", "--delay-ms", "25", "--baud", "115200",
                                 "--lose-after", "200", "--pfm-nak", "--version", "0.99"},
                                &o, &error));
    EXPECT_EQ(o.faults.nakEvery, 10);
    EXPECT_EQ(o.faults.dropPage, 70);
    EXPECT_EQ(o.faults.wrongEchoPage, 80);
    EXPECT_EQ(o.faults.loseAfterPage, 200);
    EXPECT_TRUE(o.faults.wrongType && o.faults.pfmNak);
    EXPECT_EQ(o.delayMs, 25);
    EXPECT_EQ(o.baud, 115200);
    EXPECT_EQ(o.version, "0.99");
    for (const QStringList& wrong : QList<QStringList>{{"--nak-every", "0"}, {"--baud", "x"},
                                                       {"--image-version", "1.2"}, {"--stray"},
                                                       {"--instruments", "2"}, {"--remove-after-ms", "5"},
                                                       {"--dock", "kelo6", "--instruments", "2", "--fail-instrument", "3"},
                                                       {"--dock", "kelo6", "--instruments", "2", "--instrument-version", "1"}}) {
        EXPECT_FALSE(parseSimOptions(QStringList{"kt4-sim"} + wrong, &o, &error)) << wrong.join(' ').toStdString();
    }
}

TEST(SimPartsTest, AnswerIsDueAfterTheLineTimeOfCommandAndAnswer)
{
    const auto t0 = AnswerPacer::Clock::now();
    EXPECT_EQ(AnswerPacer(115200, 0).dueTime(t0, 264, 6), t0 + nanoseconds(23'437'500));
    EXPECT_EQ(AnswerPacer(10000, 40).dueTime(t0, 4, 6), t0 + milliseconds(50));
    AnswerPacer pacer(10000, 0);
    QList<AnswerPacer::Clock::time_point> sent;
    QObject::connect(&pacer, &AnswerPacer::ready, [&](const SimAnswer&) { sent.append(AnswerPacer::Clock::now()); });
    pacer.push({"ENQ0", "ACK0"}, t0);
    pacer.push({"ENQ1", "ACK1"}, t0);  // back to back: behind the first
    EXPECT_TRUE(sent.isEmpty());
    ASSERT_TRUE(waitFor([&] { return sent.size() == 2; }));
    EXPECT_GE(sent[0], t0 + milliseconds(8));
    EXPECT_GE(sent[1], t0 + milliseconds(16));
}

TEST(SimPartsTest, PtyHoldsAnswersUntilTheUtilityReads)
{
    PtyTransport transport;
    QString error;
    ASSERT_TRUE(transport.open(&error)) << error.toStdString();
    PtyClient client(transport.slavePath());
    const QByteArray big(200000, 'x');  // far more than the terminal buffers hold
    transport.send(big);
    QByteArray got;
    EXPECT_TRUE(waitFor([&] { return (got += client.read(big.size() - got.size(), 1)).size() == big.size(); }, 10000));
    EXPECT_EQ(got, big);
}
