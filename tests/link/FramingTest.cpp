#include "link/KeskFraming.h"

#include <gtest/gtest.h>

namespace {
QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b += char(v);
    return b;
}
}  // namespace

TEST(Framing, WireFormatOfTheFramedTypes)
{
    EXPECT_EQ(FrameMessage(tpBrask, Bytes({0x41, 0xE6, 0x42})), Bytes({0xE6, 0x41, 0xE8, 0xC6, 0x42, 0xE7}));
    EXPECT_EQ(FrameMessage(tpSelvo, Bytes({0xE7, 0xE8})), Bytes({0xE6, 0xE8, 0xC7, 0xE8, 0xC8, 0xE7}));
    EXPECT_EQ(FrameMessage(tpDarrit, "abc"), Bytes({0xE6, 0x61, 0x62, 0x63, 0x01, 0x26, 0xE7}));
    // Unframed types go out as they are, zero bytes included.
    const QByteArray binary = Bytes({'W', 'E', 'P', '0', 0x00, 0xE6, 0xFF});
    for (TKeskType t : {tpKeskPico, tpKesk5, tpVolm3, tpOrvenLEL, tpKesk6, tpKT4Head})
        EXPECT_EQ(FrameMessage(t, binary), binary);
}

TEST(Framing, ChecksumWrapsAtSixteenBits)
{
    EXPECT_EQ(Checksum16("abc"), 0x0126);
    EXPECT_EQ(Checksum16(QByteArray(256, char(0xFF))), 0xFF00);
    EXPECT_EQ(Checksum16(QByteArray(300, char(0xFF))), (300 * 255) & 0xFFFF);
    EXPECT_EQ(Checksum16(QByteArray()), 0);
}

TEST(Framing, RoundTripOfEveryByteValue)
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    for (TKeskType t : {tpBrask, tpSelvo, tpDarrit}) {
        const QByteArray wire = FrameMessage(t, all);
        EXPECT_EQ(wire.count(FrameStart), 1);
        EXPECT_EQ(wire.count(FrameEnd), 1);
        EXPECT_EQ(UnframeMessage(t, wire), all);
    }
}

// A checksum whose bytes are themselves 0xE6..0xE8 arrives stuffed.
TEST(Framing, DarritChecksumBytesAreStuffedAndAccepted)
{
    // 0xE7E6 = 59366 = 232 * 255 + 206
    const QByteArray text = QByteArray(232, char(0xFF)) + char(206);
    ASSERT_EQ(Checksum16(text), 0xE7E6);
    const QByteArray wire = FrameMessage(tpDarrit, text);
    EXPECT_TRUE(wire.endsWith(Bytes({0xE8, 0xC7, 0xE8, 0xC6, 0xE7})));
    EXPECT_EQ(UnframeMessage(tpDarrit, wire), text);
}

TEST(Framing, WhatIsNotAFrameGivesNothing)
{
    EXPECT_FALSE(UnframeMessage(tpBrask, "no start").has_value());
    EXPECT_FALSE(UnframeMessage(tpBrask, Bytes({0xE6, 0x41})).has_value());  // no end byte
    EXPECT_FALSE(UnframeMessage(tpDarrit, Bytes({0xE6, 0x61, 0x62, 0x63, 0x01, 0x27, 0xE7})).has_value());
    EXPECT_FALSE(UnframeMessage(tpDarrit, Bytes({0xE6, 0x01, 0xE7})).has_value());  // too short for a sum
    EXPECT_FALSE(UnframeMessage(tpBrask, Bytes({0xE6, 0x41, 0xE8})).has_value());   // escape at the end
    // Bytes before the start byte are skipped; the first end byte closes the frame.
    EXPECT_EQ(UnframeMessage(tpBrask, Bytes({0x11, 0x22, 0xE6, 0x41, 0xE7, 0x42, 0xE7})), QByteArray("A"));
    EXPECT_EQ(UnframeMessage(tpDarrit, Bytes({0xE6, 0x00, 0x00, 0xE7})), QByteArray());
}
