#pragma once
// Puts an indexed instrument's answer back together on a serial way.
//
// A USB-serial adapter or an infrared driver hands bytes to the host whenever
// its latency timer runs out, so a short answer may arrive in pieces. The
// answer to a page command is complete at 6 bytes ("ACK", index, page echo),
// the answer to "ENQ " and "PFM " at 4; the identity and version answers have
// no fixed length and are complete when the line has been quiet for a moment.
// An answer that arrives whole is complete at once, with no added wait.
// Answers that arrive joined (a late answer and the awaited one in one read)
// are handed out one by one: each begins with "ACK" or "NAK".
//
// Reading is linear: the assembler keeps a read position and remembers how
// far it has looked for the next answer, so no byte is copied or searched
// again for each answer. No answer is longer than MaxAnswerSize: what grows
// past it is no answer of an instrument's and is dropped, told once (the
// overflow) until the next "ACK" or "NAK" starts a new answer.

#include <QByteArray>
#include <QElapsedTimer>
#include <optional>

class TReplyAssembler {
public:
    // How long the line must be quiet before a waiting answer counts as
    // complete: longer than a USB-serial adapter's usual latency timer (16 ms).
    static constexpr int QuietGapMs = 50;
    // A line that never goes quiet (an instrument chattering) does not hold an
    // answer back longer than this, counted from its first byte.
    static constexpr int MaxWaitMs = 150;
    // The longest answer kept; an instrument's answers are a few dozen bytes.
    static constexpr int MaxAnswerSize = 4096;

    // A command was sent: its answer starts afresh.
    void Expect(const QByteArray& Command);
    // Bytes as they came from the port.
    void Add(const QByteArray& Chunk);
    // The answer, when it has all the bytes it needs (everything received so
    // far, so nothing is delivered twice and nothing is held back).
    std::optional<QByteArray> TakeComplete();
    // Whatever waits, once the line has been quiet (empty when nothing waits).
    QByteArray TakeAll();
    // How long to wait for more before what waits counts as complete: the
    // quiet gap, within the longest wait for an answer; 0 when it is due now.
    int WaitMs() const;

    bool Waiting() const { return !FResyncing && FPos < FBuffer.size(); }
    void Clear();
    int ExpectedSize() const { return FExpected; }

    // An answer outgrew MaxAnswerSize: the bytes dropped by then, once (what
    // is dropped after it, until a good answer or a new command, is not told
    // again).
    std::optional<qint64> TakeOverflow();
    // Every byte dropped so far.
    qint64 Dropped() const { return FDropped; }

    // The size of the answer to Command; 0 when only a quiet line tells.
    static int AnswerSize(const QByteArray& Command);
    // Whether a chunk of one or two bytes may be the start of an answer.
    static bool StartsAnAnswer(const QByteArray& Chunk);

private:
    // Where the next answer after the one that waits starts; -1 for none.
    qsizetype SecondAnswer();
    // The first answer start at or after From; -1 for none.
    qsizetype FindAnswer(qsizetype From) const;
    QByteArray Take(qsizetype End);
    // Drops an answer that grew too long, and what follows it up to the next
    // answer's start.
    void DropOverlong();
    void Drop(qsizetype To);
    void KeepCutMarkerOnly();

    QByteArray FBuffer;
    qsizetype FPos = 0;           // what waits starts here
    qsizetype FSearched = 0;      // no answer starts between FPos + 1 and here
    int FExpected = 0;
    bool FResyncing = false;      // bytes are dropped until an answer starts
    qint64 FDropped = 0;
    bool FOverflowing = false;    // answers are dropped for their length, since the last good one
    bool FOverflowTold = false;
    qint64 FOverflowBytes = 0;
    QElapsedTimer FSinceFirstByte;
};
