#include "link/KeskFraming.h"

namespace {

bool NeedsEscape(char Byte)
{
    return Byte == FrameStart || Byte == FrameEnd || Byte == FrameEscape;
}

struct TUnstuffed {
    QByteArray Body;
    bool EndReached = false;
};

// Unstuffs from Begin up to the first end byte or the end of the buffer. An
// escape byte with nothing after it is dropped.
TUnstuffed Unstuff(const QByteArray& Buffer, qsizetype Begin)
{
    TUnstuffed result;
    for (qsizetype i = Begin; i < Buffer.size(); ++i) {
        const char byte = Buffer[i];
        if (byte == FrameEnd) {
            result.EndReached = true;
            break;
        }
        if (byte == FrameEscape) {
            if (++i >= Buffer.size())
                break;
            result.Body += char(Buffer[i] ^ 0x20);
        } else {
            result.Body += byte;
        }
    }
    return result;
}

}  // namespace

quint16 Checksum16(const QByteArray& Text)
{
    quint16 sum = 0;
    for (char c : Text)
        sum = static_cast<quint16>(sum + static_cast<unsigned char>(c));
    return sum;
}

QByteArray StuffBytes(const QByteArray& Body)
{
    QByteArray stuffed;
    stuffed.reserve(Body.size() + 8);
    for (char byte : Body) {
        if (NeedsEscape(byte)) {
            stuffed += FrameEscape;
            stuffed += char(byte ^ 0x20);
        } else {
            stuffed += byte;
        }
    }
    return stuffed;
}

QByteArray FrameMessage(TKeskType Type, const QByteArray& Text)
{
    if (!IsFramedType(Type))
        return Text;
    QByteArray body = Text;
    if (Type == tpDarrit) {
        const quint16 sum = Checksum16(Text);
        body += char(sum >> 8);
        body += char(sum & 0xFF);
    }
    return FrameStart + StuffBytes(body) + FrameEnd;
}

std::optional<QByteArray> UnframeMessage(TKeskType Type, const QByteArray& Buffer)
{
    const qsizetype start = Buffer.indexOf(FrameStart);
    if (start < 0)
        return std::nullopt;
    const TUnstuffed unstuffed = Unstuff(Buffer, start + 1);
    if (!unstuffed.EndReached)
        return std::nullopt;
    if (Type != tpDarrit)
        return unstuffed.Body;
    if (unstuffed.Body.size() < 2)
        return std::nullopt;  // no room for the checksum: not a valid frame
    const QByteArray payload = unstuffed.Body.left(unstuffed.Body.size() - 2);
    const quint16 received = static_cast<quint16>((static_cast<unsigned char>(unstuffed.Body.at(unstuffed.Body.size() - 2)) << 8) |
                                                  static_cast<unsigned char>(unstuffed.Body.back()));
    if (received != Checksum16(payload))
        return std::nullopt;
    return payload;
}
