#include "sim/SimInstrument.h"

#include "sim/SampleImage.h"
#include "tests/sim/SimTestSupport.h"

#include <gtest/gtest.h>

namespace {

const QByteArray Erased(SampleImage::ImageSize, '\xFF');

QByteArray data(int seed)
{
    QByteArray bytes(256, '\0');
    for (int i = 0; i < 256; ++i) {
        bytes[i] = static_cast<char>(i * 7 + seed * 13);
    }
    return bytes;
}

QByteArray stored(const SimInstrument& instrument, int page)
{
    return instrument.flash().mid(page * 256, 256);
}

// The only answer to one command, or "<dropped>".
QByteArray answerTo(SimInstrument& instrument, const QByteArray& command)
{
    const QList<SimAnswer> answers = instrument.feed(command);
    EXPECT_EQ(answers.size(), 1);
    return answers.isEmpty() ? QByteArray() : answers[0].dropped ? "<dropped>" : answers[0].text;
}

QByteArray echo(const char* word, char index, int page)
{
    return QByteArray(word) + index + static_cast<char>(page >> 8) + static_cast<char>(page & 0xFF);
}

} // namespace

TEST(SimInstrumentTest, HandshakeAnswersEchoTheIndex)
{
    SimInstrument instrument({}, Erased, "1.10");
    EXPECT_EQ(answerTo(instrument, "ENQ7"), "ACK7");
    EXPECT_EQ(answerTo(instrument, "WHO3"), "ACK316");
    EXPECT_EQ(answerTo(instrument, "VFL2"), "ACK21.10");
    EXPECT_EQ(answerTo(instrument, "XYZ4"), "NAK4");
}

TEST(SimInstrumentTest, WrongTypeNeverShows16)
{
    SimFaults faults;
    faults.wrongType = true;
    SimInstrument instrument(faults, Erased, "1.10");
    for (char index = '0'; index <= '9'; ++index) {
        const QByteArray text = answerTo(instrument, QByteArray("WHO") + index);
        EXPECT_EQ(text, QByteArray("ACK") + index + "12");
        EXPECT_FALSE(text.contains("16")) << text.constData();
    }
}

TEST(SimInstrumentTest, PageIsStoredOnlyWithItsChecksum)
{
    SimInstrument instrument({}, Erased, "1.10");
    EXPECT_EQ(answerTo(instrument, pageCommand('4', 66, data(1))), echo("ACK", '4', 66));
    EXPECT_EQ(stored(instrument, 66), data(1));
    EXPECT_EQ(answerTo(instrument, pageCommand('5', 300, data(2), 1)), echo("NAK", '5', 300));
    EXPECT_EQ(answerTo(instrument, pageCommand('6', 512, data(2))), echo("NAK", '6', 512));
    const QByteArray allFF = pageCommand('7', 511, QByteArray(256, '\xFF'));
    EXPECT_EQ(allFF.right(2), QByteArray("\xFF\x00", 2));
    EXPECT_EQ(answerTo(instrument, allFF), echo("ACK", '7', 511));
    EXPECT_EQ(instrument.flash().left(66 * 256), Erased.left(66 * 256));
    EXPECT_EQ(stored(instrument, 300), QByteArray(256, '\xFF'));
}

TEST(SimInstrumentTest, SplitAndConcatenatedCommands)
{
    SimInstrument instrument({}, Erased, "1.10");
    const QByteArray command = pageCommand('6', 0, QByteArray("ENQ0PFM1").leftJustified(256, '\0'));
    for (int i = 0; i + 1 < command.size(); ++i) {
        ASSERT_TRUE(instrument.feed(command.mid(i, 1)).isEmpty()) << "answered at byte " << i;
    }
    EXPECT_EQ(answerTo(instrument, command.right(1)), echo("ACK", '6', 0));
    const QList<SimAnswer> answers = instrument.feed("ENQ0WHO1" + command + "VFL3EN");
    ASSERT_EQ(answers.size(), 4);
    EXPECT_EQ(answers[1].text, "ACK116");
    EXPECT_EQ(answers[2].text, echo("ACK", '6', 0));
    EXPECT_EQ(answers[3].text, "ACK31.10");
    EXPECT_EQ(answerTo(instrument, "Q4"), "ACK4");
    EXPECT_EQ(instrument.programCount(), 0);
}

TEST(SimInstrumentTest, ProgramCommandMakesTheImageVersionCurrent)
{
    const QByteArray image = SampleImage::make("2.07", "2024-03-04 05:06:07");
    SimInstrument instrument({}, Erased, "1.10");
    char index = '0';
    for (int page = 66; page < 512; ++page, index = index == '9' ? '0' : char(index + 1)) {
        ASSERT_EQ(answerTo(instrument, pageCommand(index, page, image.mid(page * 256, 256))),
                  echo("ACK", index, page));
    }
    EXPECT_EQ(answerTo(instrument, "VFL1"), "ACK11.10");
    EXPECT_EQ(answerTo(instrument, "PFM2"), "ACK2");
    EXPECT_EQ(answerTo(instrument, "VFL3"), "ACK32.07");
    EXPECT_EQ(instrument.flash().mid(66 * 256), image.mid(66 * 256));
}

TEST(SimInstrumentTest, PfmNakKeepsTheOldVersion)
{
    SimFaults faults;
    faults.pfmNak = true;
    SimInstrument instrument(faults, SampleImage::make("2.07", "2024-03-04 05:06:07"), "1.10");
    EXPECT_EQ(answerTo(instrument, "PFM1"), "NAK1");
    EXPECT_EQ(answerTo(instrument, "VFL2"), "ACK21.10");
}

TEST(SimInstrumentTest, NakEveryNthPageCommandCountsResends)
{
    SimFaults faults;
    faults.nakEvery = 2;
    SimInstrument instrument(faults, Erased, "1.10");
    EXPECT_EQ(answerTo(instrument, pageCommand('0', 66, data(1))), echo("ACK", '0', 66));
    EXPECT_EQ(answerTo(instrument, "ENQ1"), "ACK1");  // not a page command
    EXPECT_EQ(answerTo(instrument, pageCommand('2', 67, data(2))), echo("NAK", '2', 67));
    EXPECT_EQ(stored(instrument, 67), QByteArray(256, '\xFF'));
    EXPECT_EQ(answerTo(instrument, pageCommand('3', 67, data(2))), echo("ACK", '3', 67));
    EXPECT_EQ(stored(instrument, 67), data(2));
    EXPECT_EQ(answerTo(instrument, pageCommand('4', 68, data(3))), echo("NAK", '4', 68));
}

TEST(SimInstrumentTest, DropAndWrongEchoHitOnlyTheFirstAnswerAndStoreThePage)
{
    SimFaults faults;
    faults.dropPage = 70;
    faults.wrongEchoPage = 255;
    SimInstrument instrument(faults, Erased, "1.10");
    EXPECT_EQ(answerTo(instrument, pageCommand('1', 70, data(2))), "<dropped>");
    EXPECT_EQ(stored(instrument, 70), data(2));
    EXPECT_EQ(answerTo(instrument, pageCommand('2', 70, data(2))), echo("ACK", '2', 70));
    EXPECT_EQ(answerTo(instrument, pageCommand('3', 255, data(3), 1)), echo("NAK", '3', 255));
    EXPECT_EQ(answerTo(instrument, pageCommand('4', 255, data(3))), echo("ACK", '4', 256));
    EXPECT_EQ(stored(instrument, 255), data(3));
    EXPECT_EQ(stored(instrument, 256), QByteArray(256, '\xFF'));
    EXPECT_EQ(answerTo(instrument, pageCommand('5', 255, data(3))), echo("ACK", '5', 255));
}

TEST(SimInstrumentTest, LoseAfterMarksTheFirstPositiveAnswerForThatPage)
{
    SimFaults faults;
    faults.loseAfterPage = 90;
    SimInstrument instrument(faults, Erased, "1.10");
    EXPECT_FALSE(instrument.feed(pageCommand('0', 89, data(1)))[0].loseLink);
    EXPECT_FALSE(instrument.feed(pageCommand('1', 90, data(2), 1))[0].loseLink);
    EXPECT_TRUE(instrument.feed(pageCommand('2', 90, data(2)))[0].loseLink);
    EXPECT_FALSE(instrument.feed(pageCommand('3', 90, data(2)))[0].loseLink);
}
