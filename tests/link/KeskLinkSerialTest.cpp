// The link on a real pseudo-terminal: the test holds the master end and plays
// the instrument.

#include "link/KeskLink.h"
#include "tests/link/LinkTestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct LinkOnPty : ::testing::Test {
    void Open(TKeskType Type)
    {
        link = MakeComPortLink(pty.SlavePath(), Type);
        events = std::make_unique<TLinkRecorder>(*link);
        link->SetConnected(true);
        ASSERT_TRUE(link->Connected());
        ASSERT_TRUE(WaitFor([&] { return events->Status.contains("up 1"); }));
    }
    TScriptedDialogsScope dialogs;
    TPtyPair pty;
    std::unique_ptr<TKeskLink> link;
    std::unique_ptr<TLinkRecorder> events;
};

}  // namespace

TEST_F(LinkOnPty, CommandArrivesByteForByteWithItsIndex)
{
    Open(tpKT4Head);
    EXPECT_EQ(link->ComPort()->Baud(), 115200);
    QByteArray page("WEP ");
    page += char(0x00);
    page += char(0x42);
    for (int i = 0; i < 258; ++i)
        page += char(i & 0xFF);  // zero bytes and 0xE6..0xE8 pass unchanged
    link->SendMsg("ENQ ", 5);
    EXPECT_EQ(pty.Read(4), "ENQ0");
    link->SendMsg(page, 15);
    QByteArray expected = page;
    expected[3] = '1';
    EXPECT_EQ(Hex(pty.Read(264)), Hex(expected));
    EXPECT_EQ(events->DebugSent, QList<QByteArray>({"ENQ0", expected}));
}

TEST_F(LinkOnPty, ElevenCommandsOnTheWire)
{
    Open(tpKT4Head);
    for (int i = 0; i < 11; ++i)
        link->SendMsg("WHO ", 30);
    EXPECT_EQ(pty.Read(44), "WHO0WHO1WHO2WHO3WHO4WHO5WHO6WHO7WHO8WHO9WHO0");
}

TEST_F(LinkOnPty, ReplyReachesOnReceiveMsgAndDisarmsTheTimeOut)
{
    Open(tpKT4Head);
    link->SendMsg("ENQ ", 5);
    ASSERT_TRUE(link->ResponseTimer()->Running());
    pty.Write("ACK0");
    ASSERT_TRUE(WaitFor([&] { return !events->Received.isEmpty(); }));
    EXPECT_EQ(events->Received.join(), "ACK0");
    EXPECT_EQ(events->DebugReceived.join(), "ACK0");
    EXPECT_FALSE(link->ResponseTimer()->Enabled());
    EXPECT_TRUE(events->TimeOuts.isEmpty());
}

TEST_F(LinkOnPty, LargeBurstIsDeliveredWholeInChunksOfAtMost2048)
{
    Open(tpKeskPico);  // an unindexed type: every chunk is delivered as it comes
    QByteArray noise(65536, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) & 0xFF);
    pty.Write(noise);
    ASSERT_TRUE(WaitFor([&] { return events->Received.join().size() == noise.size(); }));
    for (const auto& chunk : events->Received)
        EXPECT_LE(chunk.size(), 2048);
    EXPECT_EQ(events->Received.join(), noise);
}

// An adapter's latency timer cuts short answers anywhere: each answer is put
// back together and delivered once, whole.
TEST_F(LinkOnPty, IndexedAnswersInPiecesAreDeliveredOnceWhole)
{
    const struct {
        QByteArray Command;
        QList<QByteArray> Pieces;
    } cases[] = {
        {QByteArray("WEP ") + QByteArray(260, '\x42'), {"ACK0", QByteArray("\x00\x42", 2)}},
        {QByteArray("WEP ") + QByteArray(260, '\x42'), {"A", "C", "K", "0", QByteArray(1, '\0'), "\x42"}},
        {"ENQ ", {"AC", "K0"}},
        {"PFM ", {"ACK", "0"}},
        {"WHO ", {"ACK0", "16"}},
        {"VFL ", {"ACK0", "1.", "20"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Command.left(4).constData());
        TPtyPair pair;
        auto link = MakeComPortLink(pair.SlavePath(), tpKT4Head);
        TLinkRecorder events(*link);
        link->SetConnected(true);
        ASSERT_TRUE(WaitFor([&] { return events.Status.contains("up 1"); }));
        link->SendMsg(c.Command, 5);
        pair.Read(c.Command.size());
        QByteArray whole;
        for (const QByteArray& piece : c.Pieces) {
            pair.Write(piece);
            whole += piece;
            WaitFor([] { return false; }, 10);  // as a 16 ms latency timer would
        }
        ASSERT_TRUE(WaitFor([&] { return !events.Received.isEmpty(); }));
        WaitFor([] { return false; }, 2 * TReplyAssembler::QuietGapMs);
        EXPECT_EQ(events.Received, QList<QByteArray>({whole}));
        EXPECT_EQ(events.DebugReceived, QList<QByteArray>({whole}));
    }
}

// A write that would block (the instrument is not reading) is no lost port:
// the bytes wait and go out whole when the line drains.
TEST_F(LinkOnPty, AFullOutputBufferWaitsForTheLineToDrain)
{
    Open(tpKT4Head);
    const QByteArray page = QByteArray("WEP ") + QByteArray(260, 'x');
    const int commands = 400;  // more than the terminal's buffers hold
    for (int i = 0; i < commands; ++i)
        link->SendMsg(page, 15);
    WaitFor([] { return false; }, 100);
    EXPECT_TRUE(link->ComPort()->Open());
    const QByteArray received = pty.Read(commands * page.size(), 10000);
    EXPECT_EQ(received.size(), commands * page.size());
    EXPECT_TRUE(link->Connected());
    EXPECT_TRUE(dialogs->Texts().isEmpty());
}

TEST_F(LinkOnPty, FramedReplySplitAcrossChunksIsReassembled)
{
    Open(tpBrask);
    link->SendMsg(QByteArray("A\xE6" "B", 3), 5);
    EXPECT_EQ(Hex(pty.Read(6)), "E6 41 E8 C6 42 E7");
    pty.Write("\xE6" "AB");
    ASSERT_TRUE(WaitFor([&] { return link->RxBuffer().size() == 3; }));
    EXPECT_TRUE(events->Received.isEmpty());
    pty.Write("C\xE8\xC7\xE7");
    ASSERT_TRUE(WaitFor([&] { return !events->Received.isEmpty(); }));
    EXPECT_EQ(events->Received, QList<QByteArray>({"ABC\xE7"}));
    EXPECT_EQ(events->ReceiveSenders.first(), link.get());
    EXPECT_FALSE(link->ResponseTimer()->Enabled());
}

TEST_F(LinkOnPty, ChunkWithANewStartByteDiscardsTheOldBuffer)
{
    Open(tpSelvo);
    pty.Write("\xE6" "stale");
    ASSERT_TRUE(WaitFor([&] { return link->RxBuffer() == "\xE6" "stale"; }));
    pty.Write("\xE6" "fresh\xE7");
    ASSERT_TRUE(WaitFor([&] { return !events->Received.isEmpty(); }));
    EXPECT_EQ(events->Received, QList<QByteArray>({"fresh"}));
}

TEST_F(LinkOnPty, FramedBufferPastTheLimitIsDroppedWithoutTimeOut)
{
    Open(tpDarrit);
    link->SendMsg("abc", 5);
    pty.Read(7);
    pty.Write("\xE6" + QByteArray(1024, 'x'));
    ASSERT_TRUE(WaitFor([&] { return !link->ResponseTimer()->Enabled(); }));
    EXPECT_TRUE(link->RxBuffer().isEmpty());
    pty.Write("\xE7");
    WaitFor([] { return false; }, 50);
    EXPECT_TRUE(events->Received.isEmpty());
    EXPECT_TRUE(events->TimeOuts.isEmpty());
}

TEST_F(LinkOnPty, DisconnectReportsTheLinkDownAndAReconnectTheLinkUp)
{
    Open(tpKT4Head);
    link->SetConnected(false);
    EXPECT_FALSE(link->Connected());
    ASSERT_TRUE(WaitFor([&] { return events->Status.contains("down 0"); }));
    link->SetConnected(true);
    ASSERT_TRUE(WaitFor([&] { return events->Status.size() == 3; }));
    EXPECT_EQ(events->Status, QStringList({"up 1", "down 0", "up 1"}));
}

// The poll follows notifications only: an idle link runs none.
TEST_F(LinkOnPty, IdleLinkDoesNotPoll)
{
    Open(tpKT4Head);
    WaitFor([] { return false; }, 50);
    const quint64 before = link->PollTurns();
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(link->PollTurns(), before);
    pty.Write("ACK9");
    ASSERT_TRUE(WaitFor([&] { return link->PollTurns() > before; }));
}

TEST(KeskLinkSerial, Kesk5UsesItsOwnSerialPortAndBaud)
{
    TPtyPair pty;
    qputenv("KT4_COM3", pty.SlavePath().toLocal8Bit());
    TKeskLink link;
    link.SetInstrumentType(tpKesk5);
    link.SetRS232Port(3);
    link.SetRS232BaudRate(9600);
    link.SetConnected(true);  // even before the start-up step: tpKesk5 never uses infrared
    qunsetenv("KT4_COM3");
    EXPECT_TRUE(link.Connected());
    EXPECT_EQ(link.ComPort()->ComNumber(), 3);
    EXPECT_EQ(link.ComPort()->Baud(), 9600);
    link.SendMsg("GET", 2);
    EXPECT_EQ(pty.Read(3), "GET") << "no index for tpKesk5";
}

TEST(KeskLinkSerial, PortThatCannotBeOpenedRaisesAndStaysDisconnected)
{
    TKeskLink link;
    link.SetInstrumentType(tpKesk5);
    qputenv("KT4_COM2", "/dev/kt4-no-such-device");
    link.SetRS232Port(2);
    EXPECT_THROW(link.SetConnected(true), EAPDException);
    qunsetenv("KT4_COM2");
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.Polling());
}

// Wakes that come before the poll has run, from this thread or another, make
// one turn; a link that goes with a turn still posted is never polled.
TEST_F(LinkOnPty, WakesBeforeThePollRunsMakeOneTurn)
{
    const auto drain = [] {  // every event posted so far has been handled
        bool reached = false;
        QMetaObject::invokeMethod(qApp, [&] { reached = true; }, Qt::QueuedConnection);
        return WaitFor([&] { return reached; });
    };
    Open(tpKT4Head);
    ASSERT_TRUE(drain());
    const quint64 before = link->PollTurns();
    link->WakePoll();
    std::thread([&] { link->WakePoll(); }).join();
    link->WakePoll();
    ASSERT_TRUE(drain());
    EXPECT_EQ(link->PollTurns(), before + 1);

    link->WakePoll();
    link.reset();
    EXPECT_TRUE(drain());
}
