#pragma once
// Puts a dock's control channel back together.
//
// The channel is a byte stream (a TCP connection, a USB pipe): a reply or an
// event may arrive cut across two reads, and several may arrive in one. The
// stream keeps what it was given and hands out each reply and event once,
// whole: "EVT", the code and the payload its rule fixes; "ACK" and the payload
// the waiting command expects (it ends early where the next "EVT", "ACK" or
// "NAK" starts); "NAK". What waits for more bytes is given out as it is once
// the line has been quiet for a moment, or dropped when it cannot be read.
//
// Reading is linear: the stream walks its bytes with a read position and
// never copies or searches again what lies behind it, so a read of any size
// costs in proportion to its length. What is kept between reads is at most
// one message that waits for its end (a few hundred bytes).

#include <QByteArray>
#include <QByteArrayView>
#include <functional>
#include <optional>

class TControlStream {
public:
    // How long the line must be quiet before what waits counts as complete.
    static constexpr int QuietGapMs = 50;

    struct TItem {
        enum TKind { Event, Acknowledged, Refused };
        TKind Kind = Event;
        char Code = 0;       // an event's code
        QByteArray Payload;  // an event's payload (its length byte included), or what came after "ACK"
    };

    // The bytes an event's payload takes, given the bytes that follow its code:
    // -1 while more are needed; 0 for a code with no payload or none known.
    using TEventExtent = std::function<int(char Code, QByteArrayView After)>;

    explicit TControlStream(TEventExtent Extent) : FExtent(std::move(Extent)) {}

    void Add(const QByteArray& Bytes);
    // The next whole item; ReplySize is what the waiting command's "ACK"
    // carries after it. Quiet: the line has gone quiet, nothing more is coming
    // for what waits.
    std::optional<TItem> Next(int ReplySize, bool Quiet);
    // Bytes wait that may still become an item.
    bool Waiting() const { return FPos < FBuffer.size(); }
    // An "ACK" follows in what is left (a "NAK" and an "ACK" together count
    // as acknowledged).
    bool AcknowledgementFollows();
    void Clear();

private:
    qsizetype Left() const { return FBuffer.size() - FPos; }
    // The first marker that starts at or after From and before To; -1 for none.
    qsizetype FindMarker(qsizetype From, qsizetype To) const;
    std::optional<TItem> TakeEvent(bool Quiet);
    std::optional<TItem> TakeReply(int ReplySize, bool Quiet);
    void SkipToMarker();

    TEventExtent FExtent;
    QByteArray FBuffer;
    qsizetype FPos = 0;           // what is not read yet starts here
    qsizetype FAckAt = -1;        // an "ACK" found at or after FPos, -1 when none is known
    qsizetype FAckSearched = 0;   // no "ACK" starts between FPos and here (unless at FAckAt)
};
