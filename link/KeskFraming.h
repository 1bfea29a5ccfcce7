#pragma once
// Framing of the framed instrument types:
//   0xE6, the stuffed body, 0xE7
// where every body byte 0xE6, 0xE7 or 0xE8 goes out as 0xE8 followed by the byte
// XOR 0x20. For tpDarrit the body is the text followed by its 16-bit byte sum,
// high byte first.

#include "link/KeskTypes.h"

#include <QByteArray>
#include <optional>

constexpr char FrameStart = char(0xE6);
constexpr char FrameEnd = char(0xE7);
constexpr char FrameEscape = char(0xE8);

// The 16-bit sum of all bytes taken as unsigned values.
quint16 Checksum16(const QByteArray& Text);

QByteArray StuffBytes(const QByteArray& Body);

// The text as it goes on the wire for Type: framed for the framed types, the
// text itself for every other type.
QByteArray FrameMessage(TKeskType Type, const QByteArray& Text);

// The payload of the frame in Buffer: everything before the first start byte is
// skipped, the body is unstuffed up to the first end byte. Nothing when the
// buffer holds no start byte, no end byte after it, or (tpDarrit) a wrong
// checksum.
std::optional<QByteArray> UnframeMessage(TKeskType Type, const QByteArray& Buffer);
