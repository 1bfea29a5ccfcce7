#include "link/ReplyAssembler.h"

#include <algorithm>

namespace {

constexpr int WordSize = 3;  // "ACK", "NAK"

bool IsAnswerStart(const char* Bytes)
{
    return (Bytes[0] == 'A' && Bytes[1] == 'C' && Bytes[2] == 'K') || (Bytes[0] == 'N' && Bytes[1] == 'A' && Bytes[2] == 'K');
}

}  // namespace

int TReplyAssembler::AnswerSize(const QByteArray& Command)
{
    if (Command.startsWith("WEP"))
        return 6;  // "ACK", the index, the page number echoed high byte first
    if (Command.startsWith("ENQ") || Command.startsWith("PFM"))
        return 4;
    return 0;
}

bool TReplyAssembler::StartsAnAnswer(const QByteArray& Chunk)
{
    return !Chunk.isEmpty() && (QByteArray("ACK").startsWith(Chunk.left(3)) || QByteArray("NAK").startsWith(Chunk.left(3)));
}

void TReplyAssembler::Expect(const QByteArray& Command)
{
    Clear();  // what was left of an earlier answer is no part of this one
    FExpected = AnswerSize(Command);
}

void TReplyAssembler::Clear()
{
    FBuffer.clear();
    FPos = 0;
    FSearched = 0;
    FResyncing = false;
    FOverflowing = false;
}

void TReplyAssembler::Add(const QByteArray& Chunk)
{
    if (!Waiting())
        FSinceFirstByte.start();
    if (FPos > 0) {
        FBuffer.remove(0, FPos);  // only what waits is kept
        FSearched = std::max<qsizetype>(0, FSearched - FPos);
        FPos = 0;
    }
    FBuffer += Chunk;
    if (FResyncing) {
        const qsizetype start = FindAnswer(FPos);
        if (start < 0) {
            KeepCutMarkerOnly();
            return;
        }
        Drop(start);
        FResyncing = false;
        FSinceFirstByte.start();
    }
    DropOverlong();
}

int TReplyAssembler::WaitMs() const
{
    const qint64 left = MaxWaitMs - FSinceFirstByte.elapsed();
    return left <= 0 ? 0 : static_cast<int>(qMin<qint64>(QuietGapMs, left));
}

qsizetype TReplyAssembler::FindAnswer(qsizetype From) const
{
    const char* bytes = FBuffer.constData();
    for (qsizetype at = From; at + WordSize <= FBuffer.size(); ++at)
        if (IsAnswerStart(bytes + at))
            return at;
    return -1;
}

// The search goes on from where the last one ended.
qsizetype TReplyAssembler::SecondAnswer()
{
    const qsizetype from = std::max(FPos + 1, FSearched);
    const qsizetype at = FindAnswer(from);
    FSearched = at >= 0 ? at : std::max(from, FBuffer.size() - (WordSize - 1));
    return at;
}

QByteArray TReplyAssembler::Take(qsizetype End)
{
    QByteArray answer = FBuffer.mid(FPos, End - FPos);
    FPos = End;
    if (FPos == FBuffer.size())
        Clear();
    if (!answer.isEmpty())
        FOverflowing = false;  // a good answer ends an overflow
    return answer;
}

std::optional<QByteArray> TReplyAssembler::TakeComplete()
{
    if (FResyncing)
        return std::nullopt;
    if (const qsizetype second = SecondAnswer(); second > FPos) {
        // Another answer has begun: the first one is all there is of it.
        FSinceFirstByte.start();
        return Take(second);
    }
    if (FExpected <= 0 || FBuffer.size() - FPos < FExpected)
        return std::nullopt;
    return TakeAll();
}

QByteArray TReplyAssembler::TakeAll()
{
    if (FResyncing) {
        Drop(FBuffer.size());  // the line went quiet: a cut "ACK" kept for its end is none
        Clear();
        return {};
    }
    const qsizetype second = SecondAnswer();
    return Take(second > FPos ? second : FBuffer.size());
}

std::optional<qint64> TReplyAssembler::TakeOverflow()
{
    if (!FOverflowing || FOverflowTold)
        return std::nullopt;
    FOverflowTold = true;
    return FOverflowBytes;
}

void TReplyAssembler::Drop(qsizetype To)
{
    FDropped += To - FPos;
    if (FOverflowing)
        FOverflowBytes += To - FPos;
    FPos = To;
    FSearched = std::max(FSearched, FPos);
}

// Only a start of "ACK" or "NAK" cut at the end is kept, for the bytes that
// complete it.
void TReplyAssembler::KeepCutMarkerOnly()
{
    qsizetype keep = std::min<qsizetype>(WordSize - 1, FBuffer.size() - FPos);
    while (keep > 0 && !StartsAnAnswer(FBuffer.right(keep)))
        --keep;
    Drop(FBuffer.size() - keep);
}

// An overflow is told once: answers that outgrow the bound one after the
// other, before any good one came, are dropped without a further word.
void TReplyAssembler::DropOverlong()
{
    for (;;) {
        const qsizetype second = SecondAnswer();
        const qsizetype end = second > FPos ? second : FBuffer.size();
        if (end - FPos <= MaxAnswerSize)
            return;
        if (!FOverflowing) {
            FOverflowing = true;
            FOverflowTold = false;
            FOverflowBytes = 0;
        }
        if (second > FPos) {
            Drop(second);
            continue;
        }
        KeepCutMarkerOnly();
        FResyncing = true;
        return;
    }
}
