#include "dock/ControlStream.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<QByteArrayView, 3> Markers = {"EVT", "ACK", "NAK"};
constexpr int MarkerSize = 3;

// Whether the three bytes at Bytes are a marker.
bool IsMarker(const char* Bytes)
{
    switch (Bytes[0]) {
    case 'E':
        return Bytes[1] == 'V' && Bytes[2] == 'T';
    case 'A':
        return Bytes[1] == 'C' && Bytes[2] == 'K';
    case 'N':
        return Bytes[1] == 'A' && Bytes[2] == 'K';
    default:
        return false;
    }
}

// Bytes that may be the start of a marker still to come ("A", "AC", "EV").
bool StartsAMarker(QByteArrayView Tail)
{
    if (Tail.isEmpty() || Tail.size() > MarkerSize)
        return false;
    return std::any_of(Markers.begin(), Markers.end(), [&](QByteArrayView Marker) { return Marker.startsWith(Tail); });
}

}  // namespace

// What was read goes before the new bytes are kept, so what is kept is only
// what waits.
void TControlStream::Add(const QByteArray& Bytes)
{
    if (FPos > 0) {
        FBuffer.remove(0, FPos);
        FAckAt = FAckAt >= FPos ? FAckAt - FPos : -1;
        FAckSearched = std::max<qsizetype>(0, FAckSearched - FPos);
        FPos = 0;
    }
    FBuffer += Bytes;
}

void TControlStream::Clear()
{
    FBuffer.clear();
    FPos = 0;
    FAckAt = -1;
    FAckSearched = 0;
}

qsizetype TControlStream::FindMarker(qsizetype From, qsizetype To) const
{
    const char* bytes = FBuffer.constData();
    const qsizetype end = std::min(To, FBuffer.size() - MarkerSize + 1);
    for (qsizetype at = From; at < end; ++at)
        if (IsMarker(bytes + at))
            return at;
    return -1;
}

// The search goes on from where the last one ended: every byte is looked at
// once, however many refusals ask.
bool TControlStream::AcknowledgementFollows()
{
    if (FAckAt >= FPos)
        return true;
    const qsizetype from = std::max(FPos, FAckSearched);
    FAckAt = FBuffer.indexOf("ACK", from);
    FAckSearched = FAckAt >= 0 ? FAckAt : std::max(from, FBuffer.size() - (MarkerSize - 1));
    return FAckAt >= 0;
}

// Everything before the first marker is no part of a message; a marker cut at
// the end is kept for the bytes that complete it.
void TControlStream::SkipToMarker()
{
    const qsizetype at = FindMarker(FPos, FBuffer.size());
    if (at >= 0) {
        FPos = at;
        return;
    }
    qsizetype keep = std::min<qsizetype>(MarkerSize - 1, Left());
    while (keep > 0 && !StartsAMarker(QByteArrayView(FBuffer).last(keep)))
        --keep;
    FPos = FBuffer.size() - keep;
}

std::optional<TControlStream::TItem> TControlStream::Next(int ReplySize, bool Quiet)
{
    for (;;) {
        SkipToMarker();
        if (Left() < MarkerSize) {
            if (Quiet)
                FPos = FBuffer.size();  // a marker that never came whole
            return std::nullopt;
        }
        const qsizetype before = FPos;
        std::optional<TItem> item;
        switch (FBuffer.at(FPos)) {
        case 'E':
            item = TakeEvent(Quiet);
            break;
        case 'A':
            item = TakeReply(ReplySize, Quiet);
            break;
        default:
            FPos += MarkerSize;
            item = TItem{TItem::Refused, 0, {}};
        }
        if (item || FPos == before)
            return item;  // an item, or bytes that wait for more
        // what was there could not be read and was dropped: look again
    }
}

std::optional<TControlStream::TItem> TControlStream::TakeEvent(bool Quiet)
{
    if (Left() <= MarkerSize) {
        if (Quiet)
            FPos += MarkerSize;
        return std::nullopt;
    }
    const char code = FBuffer.at(FPos + MarkerSize);
    const qsizetype start = FPos + MarkerSize + 1;
    const QByteArrayView after(FBuffer.constData() + start, FBuffer.size() - start);
    const int extent = FExtent ? FExtent(code, after) : 0;
    if (extent < 0 || extent > after.size()) {
        if (Quiet)
            FPos = start;  // a payload that never came whole: the event is lost
        return std::nullopt;
    }
    TItem item{TItem::Event, code, FBuffer.mid(start, extent)};
    FPos = start + extent;
    return item;
}

std::optional<TControlStream::TItem> TControlStream::TakeReply(int ReplySize, bool Quiet)
{
    const qsizetype start = FPos + MarkerSize;
    const qsizetype left = FBuffer.size() - start;
    qsizetype size = qMax(ReplySize, 0);
    const qsizetype next = FindMarker(start, start + size);
    if (next >= 0) {
        size = next - start;  // the next message starts inside: the payload ends there
    } else if (left < size) {
        if (!Quiet)
            return std::nullopt;
        size = left;
    } else if (!Quiet && size > 0 && StartsAMarker(QByteArrayView(FBuffer).sliced(start))) {
        return std::nullopt;  // "ACK" + "E": a busy byte, or the start of "EVT"? The next bytes tell.
    }
    TItem item{TItem::Acknowledged, 0, FBuffer.mid(start, size)};
    FPos = start + size;
    return item;
}
