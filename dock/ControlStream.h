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

#include <QByteArray>
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
    using TEventExtent = std::function<int(char Code, const QByteArray& After)>;

    explicit TControlStream(TEventExtent Extent) : FExtent(std::move(Extent)) {}

    void Add(const QByteArray& Bytes) { FBuffer += Bytes; }
    // The next whole item; ReplySize is what the waiting command's "ACK"
    // carries after it. Quiet: the line has gone quiet, nothing more is coming
    // for what waits.
    std::optional<TItem> Next(int ReplySize, bool Quiet);
    // Bytes wait that may still become an item.
    bool Waiting() const { return !FBuffer.isEmpty(); }
    // An "ACK" follows in what is left (a "NAK" and an "ACK" together count
    // as acknowledged).
    bool AcknowledgementFollows() const { return FBuffer.contains("ACK"); }
    void Clear() { FBuffer.clear(); }

private:
    std::optional<TItem> TakeEvent(bool Quiet);
    std::optional<TItem> TakeReply(int ReplySize, bool Quiet);
    void DropUpToMarker();

    TEventExtent FExtent;
    QByteArray FBuffer;
};
