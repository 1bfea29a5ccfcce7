#include "dock/ControlStream.h"

#include <array>

namespace {

constexpr std::array<const char*, 3> Markers = {"EVT", "ACK", "NAK"};
constexpr int MarkerSize = 3;

// Where the first marker at or after From starts; -1 for none.
qsizetype FirstMarker(const QByteArray& Bytes, qsizetype From)
{
    qsizetype first = -1;
    for (const char* marker : Markers) {
        const qsizetype at = Bytes.indexOf(marker, From);
        if (at >= 0 && (first < 0 || at < first))
            first = at;
    }
    return first;
}

// Bytes that may be the start of a marker still to come ("A", "AC", "EV").
bool StartsAMarker(const QByteArray& Tail)
{
    for (const char* marker : Markers)
        if (!Tail.isEmpty() && QByteArray(marker).startsWith(Tail))
            return true;
    return false;
}

}  // namespace

// Everything before the first marker is no part of a message; a marker cut at
// the end is kept for the bytes that complete it.
void TControlStream::DropUpToMarker()
{
    const qsizetype at = FirstMarker(FBuffer, 0);
    if (at >= 0) {
        FBuffer.remove(0, at);
        return;
    }
    for (qsizetype keep = MarkerSize - 1; keep > 0; --keep) {
        if (FBuffer.size() >= keep && StartsAMarker(FBuffer.right(keep))) {
            FBuffer = FBuffer.right(keep);
            return;
        }
    }
    FBuffer.clear();
}

std::optional<TControlStream::TItem> TControlStream::Next(int ReplySize, bool Quiet)
{
    for (;;) {
        DropUpToMarker();
        if (FBuffer.size() < MarkerSize) {
            if (Quiet)
                FBuffer.clear();  // a marker that never came whole
            return std::nullopt;
        }
        const qsizetype before = FBuffer.size();
        std::optional<TItem> item;
        if (FBuffer.startsWith("EVT")) {
            item = TakeEvent(Quiet);
        } else if (FBuffer.startsWith("ACK")) {
            item = TakeReply(ReplySize, Quiet);
        } else {
            FBuffer.remove(0, MarkerSize);
            item = TItem{TItem::Refused, 0, {}};
        }
        if (item || FBuffer.size() == before)
            return item;  // an item, or bytes that wait for more
        // what was there could not be read and was dropped: look again
    }
}

std::optional<TControlStream::TItem> TControlStream::TakeEvent(bool Quiet)
{
    if (FBuffer.size() <= MarkerSize) {
        if (Quiet)
            FBuffer.remove(0, MarkerSize);
        return std::nullopt;
    }
    const char code = FBuffer.at(MarkerSize);
    const QByteArray after = FBuffer.mid(MarkerSize + 1);
    const int extent = FExtent ? FExtent(code, after) : 0;
    if (extent < 0) {
        if (Quiet)
            FBuffer.remove(0, MarkerSize + 1);  // a payload that never came whole: the event is lost
        return std::nullopt;
    }
    TItem item{TItem::Event, code, after.left(extent)};
    FBuffer.remove(0, MarkerSize + 1 + extent);
    return item;
}

std::optional<TControlStream::TItem> TControlStream::TakeReply(int ReplySize, bool Quiet)
{
    const qsizetype next = FirstMarker(FBuffer, MarkerSize);
    qsizetype size = qMax(ReplySize, 0);
    if (next >= 0 && next < MarkerSize + size) {
        size = next - MarkerSize;  // the next message starts inside: the payload ends there
    } else if (FBuffer.size() < MarkerSize + size) {
        if (!Quiet)
            return std::nullopt;
        size = FBuffer.size() - MarkerSize;
    } else if (!Quiet && size > 0 && next < 0 && StartsAMarker(FBuffer.mid(MarkerSize))) {
        return std::nullopt;  // "ACK" + "E": a busy byte, or the start of "EVT"? The next bytes tell.
    }
    TItem item{TItem::Acknowledged, 0, FBuffer.mid(MarkerSize, size)};
    FBuffer.remove(0, MarkerSize + size);
    return item;
}
