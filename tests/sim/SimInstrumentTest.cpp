#include "sim/SimInstrument.h"

#include "sim/SampleImage.h"
#include "tests/sim/SimTestSupport.h"

#include <gtest/gtest.h>

namespace {

QByteArray erased()
{
    return QByteArray(SampleImage::ImageSize, '\xFF');
}

QByteArray pattern(int seed)
{
    QByteArray data(SampleImage::PageSize, '\0');
    for (int i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 7 + seed * 13) & 0xFF);
    }
    return data;
}

QByteArray storedPage(const SimInstrument& instrument, int page)
{
    return instrument.flash().mid(page * SampleImage::PageSize, SampleImage::PageSize);
}

// Feeds one command and returns its only answer's text (or a marker when it was dropped).
QByteArray answerTo(SimInstrument& instrument, const QByteArray& command)
{
    const QList<SimAnswer> answers = instrument.feed(command);
    EXPECT_EQ(answers.size(), 1);
    if (answers.isEmpty()) {
        return {};
    }
    return answers.first().dropped ? QByteArray("<dropped>") : answers.first().text;
}

QByteArray pageEcho(const char* word, char index, int page)
{
    QByteArray text(word);
    text += index;
    text += static_cast<char>(page >> 8);
    text += static_cast<char>(page & 0xFF);
    return text;
}

} // namespace

TEST(SimInstrumentTest, EnquiryEchoesTheMessageIndex)
{
    SimInstrument instrument({}, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, "ENQ7"), "ACK7");
    EXPECT_EQ(answerTo(instrument, "ENQ0"), "ACK0");
}

TEST(SimInstrumentTest, IdentityReportsType16)
{
    SimInstrument instrument({}, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, "WHO3"), "ACK316");
}

TEST(SimInstrumentTest, WrongTypeReports12AndNo16AnywhereForEveryIndex)
{
    SimFaults faults;
    faults.wrongType = true;
    SimInstrument instrument(faults, erased(), "1.10");
    for (char index = '0'; index <= '9'; ++index) {
        const QByteArray text = answerTo(instrument, QByteArray("WHO") + index);
        EXPECT_EQ(text, QByteArray("ACK") + index + "12");
        EXPECT_FALSE(text.contains("16")) << text.constData();
    }
}

TEST(SimInstrumentTest, VersionReplyCarriesTheVersionFromTheFifthCharacter)
{
    SimInstrument instrument({}, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, "VFL2"), "ACK21.10");
}

TEST(SimInstrumentTest, StartsFromTheGivenFlash)
{
    const QByteArray image = SampleImage::make("3.01", "2023-02-03 04:05:06");
    SimInstrument instrument({}, image, "3.01");
    EXPECT_EQ(instrument.flash(), image);
}

TEST(SimInstrumentTest, GoodPageIsStoredAndItsNumberEchoed)
{
    SimInstrument instrument({}, erased(), "1.10");
    const QByteArray data = pattern(1);
    EXPECT_EQ(answerTo(instrument, pageCommand('4', 66, data)), pageEcho("ACK", '4', 66));
    EXPECT_EQ(storedPage(instrument, 66), data);
    EXPECT_EQ(storedPage(instrument, 65), QByteArray(256, '\xFF'));
    EXPECT_EQ(storedPage(instrument, 67), QByteArray(256, '\xFF'));
}

TEST(SimInstrumentTest, PageOfAllFFWithChecksumFF00IsTaken)
{
    SimInstrument instrument({}, erased(), "1.10");
    QByteArray command = pageCommand('0', 511, QByteArray(256, '\xFF'));
    EXPECT_EQ(command.right(2), QByteArray("\xFF\x00", 2));
    EXPECT_EQ(answerTo(instrument, command), pageEcho("ACK", '0', 511));
}

TEST(SimInstrumentTest, WrongChecksumGetsNakWithEchoAndPageIsNotStored)
{
    SimInstrument instrument({}, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, pageCommand('5', 300, pattern(2), 1)), pageEcho("NAK", '5', 300));
    EXPECT_EQ(storedPage(instrument, 300), QByteArray(256, '\xFF'));
}

TEST(SimInstrumentTest, PageOutsideTheFlashGetsNak)
{
    SimInstrument instrument({}, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, pageCommand('1', 512, pattern(3))), pageEcho("NAK", '1', 512));
    EXPECT_EQ(answerTo(instrument, pageCommand('2', 0xFFFF, pattern(3))), pageEcho("NAK", '2', 0xFFFF));
    EXPECT_EQ(instrument.flash(), erased());
}

TEST(SimInstrumentTest, UnknownWordGetsNakWithIndex)
{
    SimInstrument instrument({}, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, "XYZ4"), "NAK4");
    EXPECT_EQ(answerTo(instrument, "ENQ5"), "ACK5");
}

TEST(SimInstrumentTest, CommandSplitOverManyReadsIsAnsweredOnceWhenComplete)
{
    SimInstrument instrument({}, erased(), "1.10");
    const QByteArray command = pageCommand('6', 100, pattern(4));
    for (int i = 0; i + 1 < command.size(); ++i) {
        ASSERT_TRUE(instrument.feed(command.mid(i, 1)).isEmpty()) << "answered early at byte " << i;
    }
    EXPECT_EQ(answerTo(instrument, command.right(1)), pageEcho("ACK", '6', 100));
    EXPECT_EQ(storedPage(instrument, 100), pattern(4));
    EXPECT_FALSE(instrument.hasPartial());
}

TEST(SimInstrumentTest, CommandsInOneReadAreAnsweredInOrder)
{
    SimInstrument instrument({}, erased(), "1.10");
    const QByteArray stream = "ENQ0WHO1" + pageCommand('2', 66, pattern(5)) + "VFL3" + "EN";
    const QList<SimAnswer> answers = instrument.feed(stream);
    ASSERT_EQ(answers.size(), 4);
    EXPECT_EQ(answers[0].text, "ACK0");
    EXPECT_EQ(answers[1].text, "ACK116");
    EXPECT_EQ(answers[2].text, pageEcho("ACK", '2', 66));
    EXPECT_EQ(answers[2].command.size(), 264);
    EXPECT_EQ(answers[3].text, "ACK31.10");
    EXPECT_TRUE(instrument.hasPartial());
    EXPECT_EQ(answerTo(instrument, "Q4"), "ACK4");
}

TEST(SimInstrumentTest, CommandWordsInsidePageDataAreNotCommands)
{
    SimInstrument instrument({}, erased(), "1.10");
    QByteArray data = QByteArray("ENQ0WHO1PFM2").leftJustified(256, 'W');
    data[200] = '\0';
    // Page 0 puts NUL bytes where the page number stands.
    const QList<SimAnswer> answers = instrument.feed(pageCommand('7', 0x0000, data) + "ENQ8");
    ASSERT_EQ(answers.size(), 2);
    EXPECT_EQ(answers[0].text, pageEcho("ACK", '7', 0));
    EXPECT_EQ(answers[1].text, "ACK8");
    EXPECT_EQ(storedPage(instrument, 0), data);
    EXPECT_EQ(instrument.programCount(), 0);
}

TEST(SimInstrumentTest, DiscardPartialStartsAfresh)
{
    SimInstrument instrument({}, erased(), "1.10");
    EXPECT_TRUE(instrument.feed(pageCommand('1', 70, pattern(6)).left(100)).isEmpty());
    instrument.discardPartial();
    EXPECT_EQ(answerTo(instrument, "ENQ2"), "ACK2");
}

TEST(SimInstrumentTest, ProgramCommandMakesTheImageVersionCurrent)
{
    const QByteArray image = SampleImage::make("2.07", "2024-03-04 05:06:07");
    SimInstrument instrument({}, erased(), "1.10");
    ASSERT_EQ(answerTo(instrument, pageCommand('0', 511, image.right(256))), pageEcho("ACK", '0', 511));
    EXPECT_EQ(answerTo(instrument, "VFL1"), "ACK11.10");  // not yet programmed
    EXPECT_EQ(answerTo(instrument, "PFM2"), "ACK2");
    EXPECT_EQ(instrument.programCount(), 1);
    EXPECT_EQ(answerTo(instrument, "VFL3"), "ACK32.07");
}

TEST(SimInstrumentTest, PfmNakKeepsTheOldVersion)
{
    SimFaults faults;
    faults.pfmNak = true;
    const QByteArray image = SampleImage::make("2.07", "2024-03-04 05:06:07");
    SimInstrument instrument(faults, erased(), "1.10");
    answerTo(instrument, pageCommand('0', 511, image.right(256)));
    const QByteArray text = answerTo(instrument, "PFM1");
    EXPECT_EQ(text, "NAK1");
    EXPECT_FALSE(text.contains("ACK"));
    EXPECT_EQ(instrument.programCount(), 0);
    EXPECT_EQ(answerTo(instrument, "VFL2"), "ACK21.10");
}

TEST(SimInstrumentTest, WholeUploadLeavesTheImageInFlash)
{
    const QByteArray image = SampleImage::make("2.00", "2024-06-01 12:00:00");
    SimInstrument instrument({}, erased(), "1.10");
    char index = '0';
    for (int page = 66; page < 512; ++page) {
        const QByteArray data = image.mid(page * 256, 256);
        ASSERT_EQ(answerTo(instrument, pageCommand(index, page, data)), pageEcho("ACK", index, page));
        index = index == '9' ? '0' : static_cast<char>(index + 1);
    }
    EXPECT_EQ(answerTo(instrument, QByteArray("PFM") + index), QByteArray("ACK") + index);
    EXPECT_EQ(instrument.flash().mid(66 * 256), image.mid(66 * 256));
    EXPECT_EQ(instrument.flash().left(66 * 256), erased().left(66 * 256));
    EXPECT_EQ(instrument.version(), "2.00");
}

TEST(SimInstrumentTest, NakEveryNthPageCommandCountsResendsAndStoresNothing)
{
    SimFaults faults;
    faults.nakEvery = 3;
    SimInstrument instrument(faults, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, pageCommand('0', 66, pattern(1))), pageEcho("ACK", '0', 66));
    EXPECT_EQ(answerTo(instrument, pageCommand('1', 67, pattern(2))), pageEcho("ACK", '1', 67));
    EXPECT_EQ(answerTo(instrument, pageCommand('2', 68, pattern(3))), pageEcho("NAK", '2', 68));
    EXPECT_EQ(storedPage(instrument, 68), QByteArray(256, '\xFF'));
    EXPECT_EQ(answerTo(instrument, pageCommand('3', 68, pattern(3))), pageEcho("ACK", '3', 68));
    EXPECT_EQ(storedPage(instrument, 68), pattern(3));
    EXPECT_EQ(answerTo(instrument, "ENQ4"), "ACK4");  // not a page command: not counted
    EXPECT_EQ(answerTo(instrument, pageCommand('5', 69, pattern(4))), pageEcho("ACK", '5', 69));
    EXPECT_EQ(answerTo(instrument, pageCommand('6', 70, pattern(5))), pageEcho("NAK", '6', 70));
    EXPECT_EQ(instrument.pageCommandCount(), 6);
}

TEST(SimInstrumentTest, DropPageDropsOnlyTheFirstAnswerAndStoresThePage)
{
    SimFaults faults;
    faults.dropPage = 70;
    SimInstrument instrument(faults, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, pageCommand('0', 69, pattern(1))), pageEcho("ACK", '0', 69));
    EXPECT_EQ(answerTo(instrument, pageCommand('1', 70, pattern(2))), "<dropped>");
    EXPECT_EQ(storedPage(instrument, 70), pattern(2));
    EXPECT_EQ(answerTo(instrument, pageCommand('2', 70, pattern(2))), pageEcho("ACK", '2', 70));
}

TEST(SimInstrumentTest, WrongEchoOnlyOnFirstPositiveAnswerWhilePageIsStored)
{
    SimFaults faults;
    faults.wrongEchoPage = 80;
    SimInstrument instrument(faults, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, pageCommand('0', 80, pattern(1), 5)), pageEcho("NAK", '0', 80));
    EXPECT_EQ(answerTo(instrument, pageCommand('1', 80, pattern(1))), pageEcho("ACK", '1', 81));
    EXPECT_EQ(storedPage(instrument, 80), pattern(1));
    EXPECT_EQ(storedPage(instrument, 81), QByteArray(256, '\xFF'));
    EXPECT_EQ(answerTo(instrument, pageCommand('2', 80, pattern(1))), pageEcho("ACK", '2', 80));
}

TEST(SimInstrumentTest, WrongEchoOnPage255CarriesIntoTheHighByte)
{
    SimFaults faults;
    faults.wrongEchoPage = 255;
    SimInstrument instrument(faults, erased(), "1.10");
    EXPECT_EQ(answerTo(instrument, pageCommand('3', 255, pattern(1))), pageEcho("ACK", '3', 256));
}

TEST(SimInstrumentTest, LoseAfterMarksOnlyTheFirstPositiveAnswerForThatPage)
{
    SimFaults faults;
    faults.loseAfterPage = 90;
    SimInstrument instrument(faults, erased(), "1.10");
    QList<SimAnswer> answers = instrument.feed(pageCommand('0', 89, pattern(1)));
    EXPECT_FALSE(answers.first().loseLink);
    answers = instrument.feed(pageCommand('1', 90, pattern(2), 1));
    EXPECT_FALSE(answers.first().loseLink);  // a negative answer acknowledges nothing
    answers = instrument.feed(pageCommand('2', 90, pattern(2)));
    EXPECT_TRUE(answers.first().loseLink);
    EXPECT_EQ(answers.first().text, pageEcho("ACK", '2', 90));
    answers = instrument.feed(pageCommand('3', 90, pattern(2)));
    EXPECT_FALSE(answers.first().loseLink);
}
