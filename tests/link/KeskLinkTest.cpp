// The link's message exchange without a serial line: the infrared socket's and
// the dock's receive paths fed directly, and commands sent through a dock.

#include "link/IrdaPlatform.h"
#include "link/KeskLink.h"
#include "tests/link/LinkTestSupport.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <gtest/gtest.h>

namespace {

struct LinkThroughDock : ::testing::Test {
    void SetUp() override
    {
        link.SetInstrumentType(tpKT4Head);
        link.SetDock(&dock);
        link.SetConnected(true);
        dock.InstrumentConnected();
    }
    TScriptedDialogsScope dialogs;
    TFakeDock dock;
    TKeskLink link;
    TLinkRecorder events{link};
};

}  // namespace

TEST(KeskLink, CreationState)
{
    TKeskLink link;
    EXPECT_EQ(link.MsgIndex(), '9');
    EXPECT_FALSE(link.Connected());
    EXPECT_TRUE(link.UseIrSocket());
    EXPECT_EQ(link.RS232Port(), 1);
    EXPECT_EQ(link.DefaultTimeOut(), 10);
    EXPECT_EQ(link.Logging(), tlOff);
    EXPECT_EQ(link.ComPort()->LogName(), "KeskLink.Log");
    // The start-up step is armed for 100 ms after creation.
    EXPECT_TRUE(link.ResponseTimer()->Enabled());
    EXPECT_EQ(link.ResponseTimer()->Interval(), 100);
}

TEST(KeskLink, RefusedSendStillConsumesAnIndexAndArmsNothing)
{
    TScriptedDialogsScope dialogs;
    TKeskLink link;
    link.SetInstrumentType(tpKT4Head);
    ASSERT_TRUE(WaitFor([&] { return !link.ResponseTimer()->Enabled(); }));
    TLinkRecorder events(link);
    link.SendMsg("ENQ ", 5);
    EXPECT_EQ(dialogs->Texts(), QStringList({"SendMsg Error - Not Connected!"}));
    EXPECT_EQ(dialogs->Records()[0].Type, mtCustom);
    EXPECT_EQ(link.MsgIndex(), '0');
    EXPECT_FALSE(link.ResponseTimer()->Enabled());
    EXPECT_TRUE(events.DebugSent.isEmpty());
}

TEST(KeskLink, StartUpWithoutInfraredSocketsUsesTheDriversComPort)
{
    TKeskLink plain;
    ASSERT_TRUE(WaitFor([&] { return !plain.ResponseTimer()->Enabled(); }));
    EXPECT_FALSE(plain.UseIrSocket());
    EXPECT_EQ(plain.IrComPort(), 0);  // nothing configured: the port prompt will ask

    qputenv("KT4_IRCOMM", "COM6");
    TKeskLink named;
    ASSERT_TRUE(WaitFor([&] { return !named.ResponseTimer()->Enabled(); }));
    EXPECT_EQ(named.IrComPort(), 6);
    qputenv("KT4_IRCOMM", "/dev/ttyUSB3");
    named.LookUpIrComPort();
    EXPECT_EQ(named.IrComDevice(), "/dev/ttyUSB3");
    qunsetenv("KT4_IRCOMM");
}

TEST(KeskLink, InfraredComPortValueIsMatchedAsTheRegistryValueIs)
{
    EXPECT_EQ(IrComPortFromValue("COM6"), 6);
    EXPECT_EQ(IrComPortFromValue("COM4"), 4);
    EXPECT_EQ(IrComPortFromValue("8"), 8);
    EXPECT_EQ(IrComPortFromValue("COM"), 4);  // contained in "COM4" first
    EXPECT_EQ(IrComPortFromValue("COM3"), 0);
    EXPECT_EQ(IrComPortFromValue("COM12"), 0);
    EXPECT_EQ(IrComPortFromValue(""), 0);
}

// ---- the infrared socket's receive paths of an indexed type ----

TEST(KeskLink, InfraredReplyWithTheIndexIsDelivered)
{
    TScriptedDialogsScope dialogs;
    TKeskLink link;
    link.SetInstrumentType(tpKT4Head);
    TLinkRecorder events(link);
    link.IrDataAvailable("ACK9 1.10");  // the index is '9' before the first command
    EXPECT_EQ(events.Received, QList<QByteArray>({"ACK9 1.10"}));
    EXPECT_EQ(events.DebugReceived, QList<QByteArray>({"ACK9 1.10"}));
    EXPECT_EQ(events.ReceiveSenders, QList<QObject*>({&link}));
    EXPECT_TRUE(dialogs->Records().isEmpty());
    link.IrDataAvailable("NAK9");  // the index is tested first
    EXPECT_EQ(events.Received.size(), 2);
}

// A refused answer is shown (once per command) and delivers nothing; a late
// answer to an earlier command (another index digit) is ignored quietly. Either
// way the outstanding command keeps its deadline, so a lost answer is still
// noticed.
TEST(KeskLink, InfraredRejectionsShowTheirMessageAndDeliverNothing)
{
    const struct {
        QByteArray Reply;
        QString Message;
    } cases[] = {
        {"NAK", "NAK - Instrument did not understand command!"},
        {"NAKED", "NAK - Instrument did not understand command!"},
        {"", "Message Response Too Short!"},
        {"NA", "Message Response Too Short!"},
        {"AC", "Message Response Too Short!"},
        {"XNAKx", "Incorrect Response Message Index!"},
        {"ACK3", ""},
        {"NAK5", ""},
    };
    for (const auto& c : cases) {
        TScriptedDialogsScope dialogs;
        TKeskLink link;
        link.SetInstrumentType(tpKT4Head);
        TLinkRecorder events(link);
        link.ResponseTimer()->OnTimer = nullptr;
        link.ResponseTimer()->SetInterval(15000);
        link.ResponseTimer()->Restart();
        link.IrDataAvailable(c.Reply);
        link.IrDataAvailable(c.Reply);
        EXPECT_EQ(dialogs->Texts(), c.Message.isEmpty() ? QStringList() : QStringList({c.Message})) << c.Reply.constData();
        EXPECT_TRUE(events.Received.isEmpty());
        EXPECT_EQ(events.DebugReceived, QList<QByteArray>({c.Reply, c.Reply}));
        EXPECT_TRUE(link.ResponseTimer()->Running()) << "the command keeps its deadline";
    }
}

TEST(KeskLink, InfraredFramedBlocksLoseTheirControlByte)
{
    TKeskLink link;
    link.SetInstrumentType(tpBrask);
    TLinkRecorder events(link);
    link.IrDataAvailable(QByteArray("\x00\xE6", 2) + "AB");
    link.IrDataAvailable(QByteArray("\x00", 1) + "C\xE7");
    ASSERT_TRUE(link.FrameComplete());
    link.PollLink(&link);
    EXPECT_EQ(events.Received, QList<QByteArray>({"ABC"}));
    EXPECT_EQ(events.DebugReceived, QList<QByteArray>({"\xE6" "ABC\xE7"}));
    EXPECT_FALSE(link.FrameComplete());
    link.PollLink(&link);  // nothing new: nothing delivered
    EXPECT_EQ(events.Received.size(), 1);
}

TEST(KeskLink, DarritFrameWithAWrongChecksumIsDroppedSilently)
{
    TScriptedDialogsScope dialogs;
    TKeskLink link;
    link.SetInstrumentType(tpDarrit);
    TLinkRecorder events(link);
    link.IrDataAvailable(QByteArray("\x00\xE6" "abc\x01\x27\xE7", 8));
    link.PollLink(&link);
    EXPECT_TRUE(events.Received.isEmpty());
    EXPECT_EQ(events.DebugReceived.size(), 1);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST(KeskLink, NoiseOfAnyLengthNeverBreaksTheReceivePaths)
{
    TScriptedDialogsScope dialogs;
    for (TKeskType type : {tpKeskPico, tpBrask, tpDarrit, tpKT4Head}) {
        TKeskLink link;
        link.SetInstrumentType(type);
        TLinkRecorder events(link);
        QRandomGenerator random(1234 + type);
        for (int size : {0, 1, 3, 4, 5, 1023, 1024, 1025, 65536}) {
            QByteArray noise(size, Qt::Uninitialized);
            for (auto& c : noise)
                c = char(random.bounded(256));
            link.IrDataAvailable(noise);
            link.PollLink(&link);
        }
        if (!IsIndexedType(type) && !IsFramedType(type)) {
            EXPECT_EQ(events.Received.size(), 9);
        }
    }
}

// ---- a dock passing the instrument through ----

TEST_F(LinkThroughDock, ConnectAsksForSlaveModeAndReportsTheInstrument)
{
    EXPECT_EQ(dock.Calls.first(), "Enabled=1");
    EXPECT_TRUE(dock.Calls.contains("SLV"));
    EXPECT_TRUE(link.Connected());
    EXPECT_EQ(events.Status, QStringList({"up 1"}));
    EXPECT_FALSE(link.Polling()) << "no poll through a dock";
}

TEST_F(LinkThroughDock, ElevenCommandsCarryTheIndexDigitsInOrder)
{
    for (int i = 0; i < 11; ++i)
        link.SendMsg("ENQ ", 5);
    QByteArray digits;
    for (const auto& t : dock.Sent) {
        ASSERT_EQ(t.size(), 4);
        EXPECT_TRUE(t.startsWith("ENQ"));
        digits += t[3];
    }
    EXPECT_EQ(digits, "01234567890");
    EXPECT_EQ(events.DebugSent, dock.Sent);
}

TEST_F(LinkThroughDock, TimeOutRuleOfSendMsg)
{
    link.SendMsg("ENQ ", 10);
    EXPECT_EQ(link.ResponseTimer()->Interval(), 10000);
    EXPECT_TRUE(link.ResponseTimer()->Running());
    link.SendMsg("WHO ", -250);
    EXPECT_EQ(link.ResponseTimer()->Interval(), 250);
    link.SendMsg("VFL ", 0);
    EXPECT_EQ(link.ResponseTimer()->Interval(), 0);
    EXPECT_TRUE(link.ResponseTimer()->Enabled());
    EXPECT_FALSE(link.ResponseTimer()->Running()) << "time-out 0 never fires";

    link.SendMsg("ENQ ", 5);
    link.ResponseTimer()->Fire();
    EXPECT_EQ(events.TimeOuts, QList<int>({0}));
    EXPECT_FALSE(link.ResponseTimer()->Enabled());
    // A reply that comes after the time-out is still delivered.
    dock.Receive("ACK3");
    EXPECT_EQ(events.Received, QList<QByteArray>({"ACK3"}));
}

TEST_F(LinkThroughDock, ShortIndexedCommandIsRefusedWithoutWriting)
{
    link.SendMsg("EN", 5);
    link.SendMsg("", 5);
    EXPECT_TRUE(dock.Sent.isEmpty());
    EXPECT_EQ(dialogs->Texts(), QStringList({"SendMsg Error - Command Too Short!", "SendMsg Error - Command Too Short!"}));
    EXPECT_EQ(link.MsgIndex(), '1');
}

TEST_F(LinkThroughDock, RepliesAreDeliveredOnlyWhileConnected)
{
    link.SendMsg("ENQ ", 5);
    dock.Receive("ACK9 no index check through a dock");
    EXPECT_EQ(events.Received.size(), 1);
    EXPECT_FALSE(link.ResponseTimer()->Enabled());
    dock.InstrumentDisconnected();
    EXPECT_FALSE(link.Connected());
    EXPECT_EQ(events.Status, QStringList({"up 1", "down 0"}));
    dock.Receive("ACK0");
    EXPECT_EQ(events.Received.size(), 1);
}

// The dock is asked to take the instrument back; once it has answered the
// link is down, whatever the dock reports afterwards.
TEST_F(LinkThroughDock, DisconnectAsksTheDockAndTakesTheLinkDown)
{
    link.SetConnected(false);
    EXPECT_TRUE(dock.Calls.contains("DSC"));
    EXPECT_FALSE(link.Connected());
    dock.InstrumentDisconnected();
    dock.InstrumentConnected();  // the instrument restarting in the dock: nobody asked for it
    EXPECT_EQ(events.Status, QStringList({"up 1", "down 0"}));
}

TEST(KeskLinkDocks, TheDockSetIsAskedAndBusyIsAskedAgain)
{
    TFakeDock express, multi;
    TKeskLink link;
    link.SetDock(&multi);
    link.SetDock(&express);
    EXPECT_EQ(link.Dock(), &express) << "one dock: the last one set";

    express.BusyAnswers = 3;
    express.WithUSB = true;
    link.SetDockRetryMs(10);
    link.SetConnected(true);
    ASSERT_TRUE(WaitFor([&] { return express.Calls.count("SLV") == 4; })) << "asked again while busy";
    EXPECT_EQ(express.Calls, QStringList({"Enabled=1", "Halted=0", "SLV", "SLV", "SLV", "SLV"}));
    EXPECT_TRUE(multi.Calls.isEmpty());
    link.SetConnected(false);

    link.SetDock(&multi);
    multi.Busy = false;
    multi.BusyAnswers = 3;  // ignored: asked once
    link.SetConnected(true);
    EXPECT_EQ(multi.Calls.count("SLV"), 1);
}

TEST(KeskLinkDocks, ADockThatStaysBusyDoesNotHoldTheConnectForEver)
{
    TFakeDock dock;
    dock.BusyAnswers = 1000000;
    TKeskLink link;
    link.SetDock(&dock);
    link.SetConnected(true);
    EXPECT_LT(dock.Calls.count("SLV"), 1000);
}

// ---- the start-up step's discovery, which probes the infrared stack ----

TEST(KeskLinkStartUp, TheNativeStackOfThisKernelHasNoInfraredSockets)
{
    int error = 0;
    EXPECT_LT(TNativeIrda().CreateSocket(error), 0);
    EXPECT_EQ(error, 10047);
}

TEST(KeskLinkStartUp, ReactionsToTheProbesErrorCode)
{
    const struct {
        int Code;
        bool UseIrSocket;
        QStringList Messages;
    } cases[] = {
        {10022, false, {}},
        {10045, false, {}},
        {10047, false, {}},
        {10050, true, {"Error 10050 \"Network is down\" IrDA Transceiver disabled or not connected!"}},
        {10013, true, {"IrSock Error 10013 \"Permission denied\""}},
        {0, true, {}},
    };
    for (const auto& c : cases) {
        TSimIrdaScope irda;
        irda->CreateError = c.Code;
        TScriptedDialogsScope dialogs;
        TKeskLink link;
        ASSERT_TRUE(WaitFor([&] { return !link.ResponseTimer()->Enabled(); }));
        EXPECT_EQ(link.UseIrSocket(), c.UseIrSocket) << c.Code;
        EXPECT_EQ(dialogs->Texts(), c.Messages) << c.Code;
    }
}

TEST(KeskLinkStartUp, WithADockTheInfraredStackIsNotProbed)
{
    TSimIrdaScope irda;
    irda->CreateError = 10013;
    TScriptedDialogsScope dialogs;
    TFakeDock dock;
    TKeskLink link;
    link.SetDock(&dock);
    ASSERT_TRUE(WaitFor([&] { return !link.ResponseTimer()->Enabled(); }));
    EXPECT_TRUE(dialogs->Records().isEmpty());
    EXPECT_TRUE(link.UseIrSocket());
    EXPECT_EQ(irda->SocketsCreated, 0);
}

TEST(KeskLinkStartUp, InfraredConnectWithNoDeviceTimesOutAndStartsNoThread)
{
    TSimIrdaScope irda;
    TKeskLink link;
    link.SetInstrumentType(tpKT4Head);
    link.SetDefaultTimeOut(1);
    ASSERT_TRUE(WaitFor([&] { return !link.ResponseTimer()->Enabled(); }));
    TLinkRecorder events(link);
    QElapsedTimer clock;
    clock.start();
    link.SetConnected(true);  // discovers, on a timer, until the time-out has fired
    ASSERT_TRUE(WaitFor([&] { return !events.TimeOuts.isEmpty(); }));
    EXPECT_GE(clock.elapsed(), 950);
    EXPECT_EQ(events.TimeOuts, QList<int>({0}));
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.Polling());
    // Discovery was repeated, paced rather than spun.
    const int discoveries = irda->SocketsCreated - 1;  // less the start-up one
    EXPECT_GE(discoveries, 2);
    EXPECT_LE(discoveries, 10);
    EXPECT_TRUE(irda->ConnectAddresses.empty());
}
