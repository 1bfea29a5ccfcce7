#include "tests/head/HeadTestSupport.h"

TEST_F(HeadOnScriptedLink, GoodSessionInOrder)
{
    QStringList order;
    link.OnDebugSend = [&](QObject*, const QByteArray& d) { order << "send " + QString::fromLatin1(d); };
    head.OnIsOnline = [&](QObject*, bool s) { order << QString("online %1").arg(s); };
    head.Connect(true);
    EXPECT_EQ(link.InstrumentType(), tpKT4Head);
    EXPECT_TRUE(dock.Sent.isEmpty()) << "the enquiry waits for the link";
    dock.InstrumentConnected();
    EXPECT_EQ(Last(), "ENQ0");
    EXPECT_EQ(link.ResponseTimer()->Interval(), 5000);
    Ack(" whatever");
    EXPECT_EQ(Last(), "WHO1");
    EXPECT_EQ(link.ResponseTimer()->Interval(), 30000);
    Ack("16");
    EXPECT_EQ(Last(), "VFL2");
    Ack("1.10");
    EXPECT_TRUE(head.OnLine());
    EXPECT_EQ(head.FlashVersion(), "1.10");
    EXPECT_EQ(order, QStringList({"send ENQ0", "send WHO1", "send VFL2", "online 1"}));

    // After the handshake the link's time-out does nothing.
    link.ResponseTimer()->Fire();
    EXPECT_EQ(dock.Sent.size(), 3);

    head.Connect(false);
    ASSERT_TRUE(WaitFor([&] { return dock.Calls.contains("DSC"); }));
    dock.InstrumentDisconnected();
    EXPECT_FALSE(head.OnLine());
    EXPECT_EQ(order.last(), "online 0");
}

TEST_F(HeadOnScriptedLink, EnquiryIsRepeatedEveryFiveSecondsWithoutLimit)
{
    head.Connect(true);
    dock.InstrumentConnected();
    for (int i = 0; i < 25; ++i) {
        ASSERT_EQ(link.ResponseTimer()->Interval(), 5000);
        link.ResponseTimer()->Fire();
    }
    EXPECT_EQ(dock.Sent.size(), 26);
    for (const auto& c : dock.Sent)
        EXPECT_TRUE(c.startsWith("ENQ"));
    EXPECT_EQ(head.HandshakeState(), hsEnquiry);
}

// An unanswered identity or version command is followed by an enquiry, whose
// acknowledgement is then judged as the awaited answer.
TEST_F(HeadOnScriptedLink, UnansweredIdentityFallsBackToTheEnquiry)
{
    head.Connect(true);
    dock.InstrumentConnected();
    Ack();
    ASSERT_EQ(Last(), "WHO1");
    link.ResponseTimer()->Fire();
    EXPECT_EQ(Last(), "ENQ2");
    EXPECT_EQ(head.HandshakeState(), hsIdentify);
    Ack("116");  // "16" inside a longer number still counts
    EXPECT_EQ(Last(), "VFL3");
}

TEST_F(HeadOnScriptedLink, SixteenMayStraddleTheIndex)
{
    head.Connect(true);
    dock.InstrumentConnected();
    for (int i = 0; i < 1; ++i)
        Ack();  // ENQ0 -> WHO1
    Answer("ACK16");  // index '1' followed by '6'
    EXPECT_TRUE(Last().startsWith("VFL"));
}

TEST_F(HeadOnScriptedLink, RepliesWithoutAckAreIgnored)
{
    head.Connect(true);
    dock.InstrumentConnected();
    Answer(QByteArray("NAK") + Index());
    Answer("garbage");
    EXPECT_EQ(dock.Sent.size(), 1);
    EXPECT_EQ(head.HandshakeState(), hsEnquiry);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST_F(HeadOnScriptedLink, WrongInstrumentTypeEndsTheSession)
{
    head.Connect(true);
    dock.InstrumentConnected();
    Ack();
    Ack("12");
    EXPECT_EQ(dialogs->Texts(), QStringList({"Wrong instrument type, disconnecting!"}));
    ASSERT_TRUE(WaitFor([&] { return dock.Calls.contains("DSC"); }));
    dock.InstrumentDisconnected();
    EXPECT_EQ(online, QList<bool>({false}));
    EXPECT_FALSE(head.OnLine());
}

TEST_F(HeadOnScriptedLink, FourCharacterVersionReplyGivesAnEmptyVersion)
{
    head.Connect(true);
    dock.InstrumentConnected();
    Ack();
    Ack("16");
    Ack();
    EXPECT_TRUE(head.OnLine());
    EXPECT_EQ(head.FlashVersion(), "");
    EXPECT_EQ(online, QList<bool>({true}));
}

TEST_F(HeadOnScriptedLink, ConnectOnAConnectedLinkSendsTheEnquiryAtOnce)
{
    BringOnline();
    link.OnLinkUp = nullptr;
    link.SetInstrumentType(tpKesk6);
    head.Connect(true);
    EXPECT_TRUE(Last().startsWith("ENQ"));
    EXPECT_EQ(link.InstrumentType(), tpKesk6) << "the type is left alone";
    EXPECT_FALSE(static_cast<bool>(link.OnLinkUp));
    EXPECT_TRUE(head.OnLine()) << "Connect(true) does not clear OnLine";
}

TEST(Head, WithoutALinkOnlyTheMessageIsShown)
{
    TScriptedDialogsScope dialogs;
    TKT4Head head;
    head.Connect(true);
    head.Connect(false);
    EXPECT_EQ(dialogs->Texts(), QStringList({"No KeskLink Object Assigned!", "No KeskLink Object Assigned!"}));
}

TEST_F(HeadOnScriptedLink, DisconnectOfAnIdleLinkDoesNothingAndUpReportedTrueIsUnexpected)
{
    head.Connect(false);
    WaitFor([] { return false; }, 20);
    EXPECT_FALSE(dock.Calls.contains("DSC"));
    head.Connect(true);
    link.OnLinkDown(&link, true);
    EXPECT_EQ(dialogs->Texts(), QStringList({"Unexpected Event!"}));
    EXPECT_TRUE(online.isEmpty());
}

// A second Start while the instrument is slow: the answer to the first
// handshake's "WHO " arrives after the new "ENQ " went out. It carries the old
// index and is passed over; the new handshake goes on with its own answers.
TEST_F(HeadOnScriptedLink, ALateAnswerOfAnEarlierHandshakeIsPassedOver)
{
    head.Connect(true);
    dock.InstrumentConnected();
    Ack();
    ASSERT_EQ(Last(), "WHO1");
    head.Connect(true);  // Start again
    ASSERT_EQ(Last(), "ENQ2");
    Answer("ACK116");  // the slow instrument's identity, for "WHO1"
    EXPECT_EQ(Last(), "ENQ2") << "not taken for the enquiry's answer";
    EXPECT_TRUE(link.ResponseTimer()->Enabled()) << "the enquiry keeps its deadline";
    Ack();
    ASSERT_EQ(Last(), "WHO3");
    Ack("16");
    Ack("1.10");
    EXPECT_TRUE(head.OnLine());
    EXPECT_EQ(head.FlashVersion(), "1.10");
    EXPECT_TRUE(dialogs->Texts().isEmpty()) << "no \"Wrong instrument type\"";
}
