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

std::optional<QByteArray> TReplyAssembler::TakeComplete()
{
    if (FExpected <= 0 || FBuffer.size() < FExpected)
        return std::nullopt;
    return TakeAll();
}

QByteArray TReplyAssembler::TakeAll()
{
    QByteArray answer;
    answer.swap(FBuffer);
    return answer;
}
