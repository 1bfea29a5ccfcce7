// The answer assembler of the serial ways on what no instrument sends: an
// answer that grows past its bound is dropped and told once, and reading goes
// on at the next answer; many answers in one read come out one by one.

#include "link/ReplyAssembler.h"

#include <QList>
#include <gtest/gtest.h>

TEST(ReplyAssembler, AnAnswerPastItsBoundIsDroppedToldOnceAndReadingGoesOnAtTheNext)
{
    const QByteArray noise(TReplyAssembler::MaxAnswerSize + 1000, 'x');
    const QByteArray page("ACK0\x01\x42", 6);
    const struct {
        const char* Name;
        QByteArray Command;
        QList<QByteArray> Pieces;
        QList<QByteArray> Answers;
        int Told;
        qint64 Dropped;
    } rows[] = {
        {"noise after the start of an answer", "WHO ", {"ACK0" + noise, "ACK016"}, {"ACK016"}, 1, 4 + noise.size()},
        {"noise, then an answer cut in its word", "ENQ ", {noise + "AC", "K0"}, {"ACK0"}, 1, noise.size()},
        {"two answers too long in a row", "VFL ", {"NAK" + noise + "NAK" + noise, "ACK01.20"}, {"ACK01.20"}, 1,
         2 * (3 + noise.size())},
        {"noise alone, then the line goes quiet", "WHO ", {noise + "NA"}, {}, 1, noise.size() + 2},
        {"a read full of page answers", "WEP ", {page.repeated(20000)}, QList<QByteArray>(20000, page), 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TReplyAssembler answers;
        answers.Expect(row.Command);
        QList<QByteArray> delivered;
        int told = 0;
        for (const QByteArray& piece : row.Pieces) {
            answers.Add(piece);
            told += answers.TakeOverflow().has_value();
            while (auto answer = answers.TakeComplete())
                delivered << *answer;
        }
        for (QByteArray rest = answers.TakeAll(); !rest.isEmpty(); rest = answers.TakeAll())
            delivered << rest;  // the line went quiet
        EXPECT_EQ(delivered, row.Answers);
        EXPECT_EQ(told, row.Told);
        EXPECT_EQ(answers.Dropped(), row.Dropped);
    }
}
