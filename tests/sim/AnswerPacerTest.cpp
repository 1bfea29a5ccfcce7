#include "sim/AnswerPacer.h"

#include "tests/sim/SimTestSupport.h"

#include <gtest/gtest.h>

using namespace std::chrono;
using Clock = AnswerPacer::Clock;

namespace {

SimAnswer answer(const QByteArray& command, const QByteArray& text)
{
    return {command, text, false, false};
}

} // namespace

TEST(SimAnswerPacerTest, LineTimeIsTenBitsPerByte)
{
    EXPECT_EQ(AnswerPacer::lineTime(270, 115200), nanoseconds(23'437'500));
    EXPECT_EQ(AnswerPacer::lineTime(8, 9600), nanoseconds(8'333'333));
    EXPECT_EQ(AnswerPacer::lineTime(1000, 0), Clock::duration::zero());
}

TEST(SimAnswerPacerTest, DueAfterCommandAndAnswerLineTimePlusDelay)
{
    const Clock::time_point t0 = Clock::now();
    AnswerPacer paced(115200, 0);
    EXPECT_EQ(paced.dueTime(t0, 264, 6), t0 + nanoseconds(23'437'500));
    AnswerPacer delayed(0, 40);
    EXPECT_EQ(delayed.dueTime(t0, 264, 6), t0 + milliseconds(40));
    AnswerPacer both(10000, 40);
    EXPECT_EQ(both.dueTime(t0, 4, 6), t0 + milliseconds(10) + milliseconds(40));
}

TEST(SimAnswerPacerTest, BackToBackCommandsQueueBehindEachOther)
{
    AnswerPacer pacer(10000, 0);  // 1 ms per byte
    const Clock::time_point t0 = Clock::now();
    pacer.push(answer("ENQ0", "ACK0"), t0);
    EXPECT_EQ(pacer.dueTime(t0, 4, 4), t0 + milliseconds(16));
    pacer.clear();
}

TEST(SimAnswerPacerTest, UnpacedAnswerGoesOutAtOnceFromPush)
{
    AnswerPacer pacer(0, 0);
    QList<QByteArray> sent;
    QObject::connect(&pacer, &AnswerPacer::ready, [&](const SimAnswer& a) { sent.append(a.text); });
    pacer.push(answer("ENQ0", "ACK0"), Clock::now());
    EXPECT_EQ(sent, QList<QByteArray>{"ACK0"});
    EXPECT_EQ(pacer.queued(), 0);
}

TEST(SimAnswerPacerTest, PacedAnswersGoOutInOrderNotBeforeTheirTime)
{
    AnswerPacer pacer(2000, 0);  // 5 ms per byte: 40 ms per 4+4-byte exchange
    QList<QByteArray> sent;
    QList<Clock::time_point> when;
    QObject::connect(&pacer, &AnswerPacer::ready, [&](const SimAnswer& a) {
        sent.append(a.text);
        when.append(Clock::now());
    });
    const Clock::time_point t0 = Clock::now();
    pacer.push(answer("ENQ0", "ACK0"), t0);
    pacer.push(answer("ENQ1", "ACK1"), t0);
    EXPECT_TRUE(sent.isEmpty());
    ASSERT_TRUE(waitFor([&] { return sent.size() == 2; }));
    EXPECT_EQ(sent, (QList<QByteArray>{"ACK0", "ACK1"}));
    EXPECT_GE(when[0], t0 + milliseconds(40));
    EXPECT_GE(when[1], t0 + milliseconds(80));
}

TEST(SimAnswerPacerTest, ClearForgetsQueuedAnswers)
{
    AnswerPacer pacer(0, 20);
    int sent = 0;
    QObject::connect(&pacer, &AnswerPacer::ready, [&](const SimAnswer&) { ++sent; });
    pacer.push(answer("ENQ0", "ACK0"), Clock::now());
    pacer.clear();
    EXPECT_FALSE(waitFor([&] { return sent > 0; }, 60));
    EXPECT_EQ(pacer.queued(), 0);
}
