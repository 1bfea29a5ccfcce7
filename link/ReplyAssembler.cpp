#include "link/ReplyAssembler.h"

int TReplyAssembler::AnswerSize(const QByteArray& Command)
{
    if (Command.startsWith("WEP"))
        return 6;  // "ACK", the index, the page number echoed high byte first
    if (Command.startsWith("ENQ") || Command.startsWith("PFM"))
        return 4;
    return 0;
}

void TReplyAssembler::Expect(const QByteArray& Command)
{
    FBuffer.clear();  // what was left of an earlier answer is no part of this one
    FExpected = AnswerSize(Command);
}

void TReplyAssembler::Add(const QByteArray& Chunk)
{
    if (FBuffer.isEmpty())
        FSinceFirstByte.start();
    FBuffer += Chunk;
}

int TReplyAssembler::WaitMs() const
{
    const qint64 left = MaxWaitMs - FSinceFirstByte.elapsed();
    return left <= 0 ? 0 : static_cast<int>(qMin<qint64>(QuietGapMs, left));
}

bool TReplyAssembler::StartsAnAnswer(const QByteArray& Chunk)
{
    return !Chunk.isEmpty() && (QByteArray("ACK").startsWith(Chunk.left(3)) || QByteArray("NAK").startsWith(Chunk.left(3)));
}

qsizetype TReplyAssembler::SecondAnswer() const
{
    qsizetype second = -1;
    for (const char* word : {"ACK", "NAK"}) {
        const qsizetype at = FBuffer.indexOf(word, 1);
        if (at > 0 && (second < 0 || at < second))
            second = at;
    }
    return second;
}

std::optional<QByteArray> TReplyAssembler::TakeComplete()
{
    const qsizetype second = SecondAnswer();
    if (second > 0) {
        // Another answer has begun: the first one is all there is of it.
        const QByteArray answer = FBuffer.left(second);
        FBuffer.remove(0, second);
        FSinceFirstByte.start();
        return answer;
    }
    if (FExpected <= 0 || FBuffer.size() < FExpected)
        return std::nullopt;
    return TakeAll();
}

QByteArray TReplyAssembler::TakeAll()
{
    if (const qsizetype second = SecondAnswer(); second > 0) {
        const QByteArray answer = FBuffer.left(second);
        FBuffer.remove(0, second);
        return answer;
    }
    QByteArray answer;
    answer.swap(FBuffer);
    return answer;
}
