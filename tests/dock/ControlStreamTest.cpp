// The dock's control channel as a byte stream: replies and events cut at any
// byte, or joined, come out each once, whole, in order.

#include "dock/ControlStream.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace {

// The Kelo6 dock's payload sizes for the events used here: "1" none, "7" one
// byte, "8" a length byte and that many.
int Extent(char Code, QByteArrayView After)
{
    if (Code == '7')
        return After.isEmpty() ? -1 : 1;
    if (Code == '8') {
        if (After.isEmpty())
            return -1;
        const int size = 1 + quint8(After.at(0));
        return After.size() >= size ? size : -1;
    }
    return 0;
}

QString Shown(const TControlStream::TItem& Item)
{
    const char* kind[] = {"event", "ack", "nak"};
    return QString("%1 %2 %3").arg(kind[Item.Kind]).arg(Item.Code ? QString(QChar(Item.Code)) : "-",
                                                        QString::fromLatin1(Item.Payload.toHex()));
}

// The items of Stream delivered in Pieces; ReplySizes are what each waiting
// command's "ACK" carries, in order.
QStringList Parse(const QList<QByteArray>& Pieces, const QList<int>& ReplySizes)
{
    TControlStream stream(Extent);
    QStringList items;
    int replies = 0;
    const auto take = [&](bool Quiet) {
        while (auto item = stream.Next(replies < ReplySizes.size() ? ReplySizes[replies] : 0, Quiet)) {
            items << Shown(*item);
            if (item->Kind != TControlStream::TItem::Event)
                ++replies;
        }
    };
    for (const QByteArray& piece : Pieces) {
        stream.Add(piece);
        take(false);
    }
    take(true);  // the line goes quiet
    return items;
}

}  // namespace

TEST(ControlStream, MessagesCutAtAnyByteOrJoinedComeOutOnceWhole)
{
    // A busy reply to "SLV", the instrument reported, the dock's state, a debug
    // text, the reply to "ADC", a refusal, the instrument gone.
    const QByteArray stream = QByteArray("ACKB") + "EVT1" + QByteArray("EVT7\x21", 5) + QByteArray("EVT8\x03" "abc", 8) +
                              QByteArray("ACK\x00\x01\x02\x03\x04\x05\x06\x07", 11) + "NAK" + "EVT2";
    const QList<int> replySizes = {1, 8, 0};
    const QStringList expected = {"ack - 42",    "event 1 ",   "event 7 21", "event 8 03616263",
                                  "ack - 0001020304050607",    "nak - ",     "event 2 "};
    EXPECT_EQ(Parse({stream}, replySizes), expected) << "all in one read";
    for (int cut = 1; cut < stream.size(); ++cut)
        EXPECT_EQ(Parse({stream.left(cut), stream.mid(cut)}, replySizes), expected) << "cut after byte " << cut;
    QList<QByteArray> bytes;
    for (char c : stream)
        bytes << QByteArray(1, c);
    EXPECT_EQ(Parse(bytes, replySizes), expected) << "one byte at a time";
}

TEST(ControlStream, WhatCanNeverBeReadIsDroppedNotReadPast)
{
    const struct {
        QList<QByteArray> Pieces;
        QList<int> ReplySizes;
        QStringList Expected;
    } rows[] = {
        {{"noise", "ACKI"}, {1}, {"ack - 49"}},                         // bytes before a message are no part of it
        {{QByteArray("EVT8\x05" "ab", 7)}, {}, {}},                      // a payload that never comes whole
        {{"AC", "K"}, {1}, {"ack - "}},                                 // a busy byte that never came: plain
        {{"ACK", "EVT1"}, {1}, {"ack - ", "event 1 "}},                  // the next message is no busy byte
        {{"ACKE"}, {1}, {"ack - 45"}},                                  // "E", and the line went quiet: the byte
        {{"EVTX", "ACK"}, {0}, {"event X ", "ack - "}},                  // an unknown event raises nothing itself
        {{QByteArray("NAK").repeated(3000) + "EVT1"}, {}, QStringList(3000, "nak - ") << "event 1 "},  // a flood
    };
    for (const auto& row : rows)
        EXPECT_EQ(Parse(row.Pieces, row.ReplySizes), row.Expected) << row.Pieces.join('|').toStdString();
}
