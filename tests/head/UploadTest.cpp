#include "tests/head/HeadTestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <functional>
#include <QTemporaryDir>

namespace {

QByteArray MakeImage(const QByteArray& Version = "1.20", unsigned char Type = 0x10)
{
    QByteArray image(FlashImageSize, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 31 + (i >> 8) * 7) & 0xFF);
    image.replace(FlashDateOffset, 19, "2026-12-01 10:20:30");
    image.replace(FlashVersionOffset, 4, Version);
    image[FlashTypeOffset] = char(Type);
    return image;
}

struct Upload : HeadOnScriptedLink {
    QString Write(const QByteArray& Bytes, const QString& Name = "image.bin")
    {
        const QString path = dir.filePath(Name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(Bytes);
        return path;
    }
    // Answers every page command the way the instrument does and keeps the pages.
    void AnswerPagesUntil(int LastPageToAnswer)
    {
        while (Last().startsWith("WEP") && SentPage() <= LastPageToAnswer && head.Uploading()) {
            flash.replace(SentPage() * 256, 256, Last().mid(6, 256));
            AckPage(SentPage());
        }
    }
    QTemporaryDir dir;
    QByteArray image = MakeImage();
    QByteArray flash = QByteArray(FlashImageSize, char(0xFF));
};

// A second upload beside the test's own, for table rows that each need a fresh one.
struct UploadRun : Upload {
    void TestBody() override {}
};

}  // namespace

TEST_F(Upload, ImageFileChecks)
{
    EXPECT_TRUE(head.LoadFlashFile(Write(image)));
    EXPECT_EQ(head.FileVersion(), "1.20");
    EXPECT_EQ(head.FileDate(), "2026-12-01 10:20:30");

    EXPECT_FALSE(head.LoadFlashFile(Write(image.left(FlashImageSize - 1), "short.bin")));
    EXPECT_FALSE(head.LoadFlashFile(Write(image + 'x', "long.bin")));
    EXPECT_FALSE(head.LoadFlashFile(dir.filePath("missing.bin")));
    EXPECT_FALSE(head.LoadFlashFile(dir.path()));
    EXPECT_EQ(head.FileVersion(), "1.20") << "a file of the wrong length changes nothing";

    // Right length, wrong type byte: refused, but its texts are read.
    EXPECT_FALSE(head.LoadFlashFile(Write(MakeImage("9.99", 0x11), "wrongtype.bin")));
    EXPECT_EQ(head.FileVersion(), "9.99");
    EXPECT_EQ(head.FlashImage(), image) << "the accepted image stays the one to upload";

    QByteArray zeros(FlashImageSize, '\0');
    zeros[FlashTypeOffset] = 0x10;
    EXPECT_TRUE(head.LoadFlashFile(Write(zeros, "zeros.bin")));
    EXPECT_EQ(head.FileVersion(), QByteArray(4, '\0'));
    EXPECT_EQ(head.PagePayload(FirstFlashAddress).right(2), QByteArray(2, '\0'));
}

TEST(PageCommand, LayoutAndChecksum)
{
    const QByteArray ff(256, char(0xFF));
    QByteArray payload = ff;
    payload += char(0xFF);
    payload += char(0x00);
    const QByteArray command = TKT4Head::PageCommand(0x1FF, payload);
    ASSERT_EQ(command.size(), PageCommandSize);
    EXPECT_EQ(command.left(4), "WEP ");
    EXPECT_EQ(command[4], char(0x01));
    EXPECT_EQ(command[5], char(0xFF));
    EXPECT_EQ(Hex(command.right(2)), "FF 00");
}

TEST_F(Upload, WholeUploadPagesProgressAndProgram)
{
    ASSERT_TRUE(head.LoadFlashFile(Write(image)));
    BringOnline();
    head.SendFlash();
    EXPECT_TRUE(progress.isEmpty()) << "no progress for the start";
    EXPECT_EQ(SentPage(), 66);
    EXPECT_EQ(Last().size(), PageCommandSize);
    EXPECT_EQ(link.ResponseTimer()->Interval(), 15000);
    EXPECT_EQ(Last().mid(6, 256), image.mid(0x4200, 256));
    AnswerPagesUntil(511);

    ASSERT_EQ(progress.size(), 446);
    EXPECT_EQ(progress.first(), std::make_pair(17152, 131072));
    EXPECT_EQ(progress.last(), std::make_pair(131072, 131072));
    EXPECT_TRUE(Last().startsWith("PFM"));
    EXPECT_EQ(link.ResponseTimer()->Interval(), 30000);
    EXPECT_EQ(flash.mid(0x4200), image.mid(0x4200));
    int pages = 0;
    for (const auto& c : dock.Sent)
        if (c.startsWith("WEP")) {
            ++pages;
            EXPECT_GE(static_cast<unsigned char>(c[4]) * 256 + static_cast<unsigned char>(c[5]), 66);
        }
    EXPECT_EQ(pages, 446);

    Ack();
    EXPECT_EQ(programmed, QList<int>({0}));
    ASSERT_TRUE(WaitFor([&] { return dock.Calls.contains("DSC"); })) << "an acknowledged program ends the session";
}

TEST_F(Upload, NegativeAnswerSendsTheSamePageAgain)
{
    ASSERT_TRUE(head.LoadFlashFile(Write(image)));
    BringOnline();
    head.SendFlash();
    AckPage(66);
    const QByteArray first = Last();
    Answer(QByteArray("NAK") + Index() + QByteArray("\x00\x43", 2));
    EXPECT_EQ(Last().mid(4), first.mid(4));
    EXPECT_NE(Last()[3], first[3]);
    EXPECT_EQ(progress.size(), 1) << "no progress for the repetition";
}

TEST_F(Upload, WrongEchoIsReportedAndThePageSentAgain)
{
    ASSERT_TRUE(head.LoadFlashFile(Write(image)));
    BringOnline();
    head.SendFlash();
    AckPage(67);
    EXPECT_EQ(dialogs->Texts(), QStringList({"Page Error! 66=67"}));
    EXPECT_EQ(SentPage(), 66) << "the page is never skipped";
    EXPECT_TRUE(progress.isEmpty());
    Ack("\x00");  // positive but too short to carry an echo
    EXPECT_EQ(dialogs->Texts().size(), 1) << "one box a page, not one an answer";
    EXPECT_EQ(SentPage(), 66);
    AckPage(66);
    EXPECT_EQ(SentPage(), 67);
}

TEST_F(Upload, LateAnswerToAResentPageIsNotTakenForTheCurrentOne)
{
    ASSERT_TRUE(head.LoadFlashFile(Write(image)));
    BringOnline();
    head.SendFlash();
    const char firstIndex = Index();
    link.ResponseTimer()->Fire();  // no answer within 15 s: page 66 again
    EXPECT_EQ(SentPage(), 66);
    const char resendIndex = Index();
    ASSERT_NE(firstIndex, resendIndex);
    Answer(QByteArray("ACK") + firstIndex + QByteArray("\x00\x42", 2));  // the late first answer
    EXPECT_EQ(SentPage(), 66) << "an answer to an earlier command does not acknowledge this one";
    EXPECT_TRUE(link.ResponseTimer()->Running()) << "the outstanding page keeps its time-out";
    AckPage(66);
    EXPECT_EQ(SentPage(), 67);
    const int sent = dock.Sent.size();
    Answer(QByteArray("ACK") + resendIndex + QByteArray("\x00\x42", 2));
    EXPECT_EQ(dock.Sent.size(), sent) << "no resend cascade";
    EXPECT_TRUE(dialogs->Texts().isEmpty());
    EXPECT_EQ(progress.size(), 2);  // the resend showed the position again, then page 66 counted
}

TEST_F(Upload, UnansweredPageIsSentThreeTimesMoreThenTheSessionEnds)
{
    ASSERT_TRUE(head.LoadFlashFile(Write(image)));
    BringOnline();
    head.SendFlash();
    AckPage(66);
    for (int i = 0; i < MaxPageResends; ++i) {
        link.ResponseTimer()->Fire();
        EXPECT_EQ(SentPage(), 67);
    }
    const int sent = dock.Sent.size();
    link.ResponseTimer()->Fire();
    EXPECT_EQ(dock.Sent.size(), sent);
    ASSERT_TRUE(WaitFor([&] { return dock.Calls.contains("DSC"); }));
    dock.InstrumentDisconnected();
    EXPECT_EQ(online.last(), false);
    EXPECT_TRUE(programmed.isEmpty()) << "a failed upload is never reported as programmed";
}

TEST_F(Upload, UnansweredProgramCommandCountsAsNotAcknowledged)
{
    ASSERT_TRUE(head.LoadFlashFile(Write(image)));
    BringOnline();
    head.SendFlash();
    AnswerPagesUntil(511);
    ASSERT_TRUE(Last().startsWith("PFM"));
    const int sent = dock.Sent.size();
    link.ResponseTimer()->Fire();
    EXPECT_EQ(programmed, QList<int>({1}));
    EXPECT_EQ(dock.Sent.size(), sent) << "the program command is not sent again";
    Ack();  // an answer after that changes nothing
    EXPECT_EQ(programmed, QList<int>({1}));
}

TEST_F(Upload, NegativeProgramAnswerAndLostLink)
{
    ASSERT_TRUE(head.LoadFlashFile(Write(image)));
    BringOnline();
    head.SendFlash();
    AnswerPagesUntil(511);
    Answer(QByteArray("NAK") + Index());
    EXPECT_EQ(programmed, QList<int>({1}));
    EXPECT_FALSE(dock.Calls.contains("DSC")) << "the link stays up; the main window ends the session";

    // The link lost in the middle of another upload: nothing more is sent.
    head.SendFlash();
    AnswerPagesUntil(100);
    dock.InstrumentDisconnected();
    EXPECT_EQ(online.last(), false);
    const int sent = dock.Sent.size();
    link.ResponseTimer()->Fire();
    EXPECT_EQ(dock.Sent.size(), sent);
    EXPECT_EQ(programmed, QList<int>({1}));
    EXPECT_TRUE(dialogs->Texts().isEmpty()) << "no 'Not Connected' box after the link is gone";
}

// Instruments that never take the page: each ends as a failure after a bounded
// number of sends, with one box about the page and one about the failure, and
// never reaches the program command.
TEST_F(Upload, APageRefusedForEverEndsTheUploadAsFailed)
{
    const struct {
        const char* Name;
        std::function<void(Upload&)> Refuse;
    } instruments[] = {
        {"negative", [](Upload& u) { u.Answer(QByteArray("NAK") + u.Index() + QByteArray("\x00\x42", 2)); }},
        {"wrong echo", [](Upload& u) { u.AckPage(67); }},
        {"no echo", [](Upload& u) { u.Ack(); }},
        {"ACK inside a negative", [](Upload& u) { u.Answer(QByteArray("NAK") + u.Index() + " BAD PACKET"); }},
        {"silent", [](Upload& u) { u.link.ResponseTimer()->Fire(); }},
    };
    for (const auto& instrument : instruments) {
        SCOPED_TRACE(instrument.Name);
        UploadRun u;
        ASSERT_TRUE(u.head.LoadFlashFile(u.Write(u.image)));
        u.BringOnline();
        u.head.SendFlash();
        int sends = 1;
        for (int i = 0; i < 20 && u.head.Uploading(); ++i) {
            instrument.Refuse(u);
            sends += u.head.Uploading() ? 1 : 0;
        }
        EXPECT_FALSE(u.head.Uploading());
        EXPECT_EQ(sends, MaxPageResends + 1);
        EXPECT_LE(u.dialogs->Texts().size(), 2);
        EXPECT_TRUE(u.dialogs->Texts().last().startsWith("Page 66 was not accepted after 6 attempts."));
        ASSERT_TRUE(WaitFor([&] { return u.dock.Calls.contains("DSC"); })) << "the session is ended";
        EXPECT_TRUE(u.programmed.isEmpty());
        EXPECT_TRUE(u.progress.size() <= MaxPageResends) << "only resends after a time-out show the position";
    }
}

// A page outside the flash, or a payload that is not one page and its sum, is
// told and never sent; it ends the upload and the session.
TEST_F(Upload, APageThatCannotBeRightIsNeverSent)
{
    const struct {
        int Page, Length;
        const char* Told;
    } cases[] = {
        {-1, 258, "Page out of bounds!"}, {1025, 258, "Page out of bounds!"},
        {67, 257, "Wrong data length"},   {67, 259, "Wrong data length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Told);
        UploadRun u;
        ASSERT_TRUE(u.head.LoadFlashFile(u.Write(u.image)));
        u.BringOnline();
        u.head.SendFlash();
        const int sent = u.dock.Sent.size();
        u.head.SendPage(c.Page, QByteArray(c.Length, '\x5A'));
        EXPECT_EQ(u.dock.Sent.size(), sent) << "nothing more reached the instrument";
        EXPECT_EQ(u.dialogs->Texts(), QStringList({c.Told}));
        EXPECT_FALSE(u.head.Uploading());
        ASSERT_TRUE(WaitFor([&] { return u.dock.Calls.contains("DSC"); })) << "the session is ended";
        EXPECT_TRUE(u.programmed.isEmpty());
    }
}

// The program command is acknowledged by "ACK" and its index alone.
TEST_F(Upload, OnlyAPlainAcknowledgementProgramsTheInstrument)
{
    const struct {
        QByteArray Answer;  // with # for the outstanding index
        QList<int> Programmed;
    } cases[] = {
        {"NAK# NOT PROGRAMMED: BAD PACKET", {1}},
        {"ACK#\x01\xFF", {}},  // an old page's answer whose digit happens to match: still waiting
        {"NAK#", {1}},
        {"ACK#", {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Answer.constData());
        UploadRun u;
        ASSERT_TRUE(u.head.LoadFlashFile(u.Write(u.image)));
        u.BringOnline();
        u.head.SendFlash();
        u.AnswerPagesUntil(511);
        ASSERT_TRUE(u.Last().startsWith("PFM"));
        QByteArray answer = c.Answer;
        answer.replace('#', QByteArray(1, u.Index()));
        u.Answer(answer);
        EXPECT_EQ(u.programmed, c.Programmed);
        if (c.Programmed.isEmpty()) {
            EXPECT_TRUE(u.link.ResponseTimer()->Running()) << "the program command still waits for its answer";
        }
    }
}

TEST_F(Upload, OneHandshakeBringsTheInstrumentOnlineOnce)
{
    BringOnline();
    Ack("1.10");  // the version answer again
    Answer("ACK9 1.10 ACK");
    EXPECT_EQ(online, QList<bool>({true}));
    // And an upload under way is never interrupted by a new handshake.
    ASSERT_TRUE(head.LoadFlashFile(Write(image)));
    head.SendFlash();
    AckPage(66);
    head.Connect(true);
    EXPECT_EQ(SentPage(), 67);
    EXPECT_TRUE(Last().startsWith("WEP"));
}

// Stray lines while a page waits are ignored and do not hold off its deadline.
TEST_F(Upload, ChatterDoesNotPostponeTheTimeOut)
{
    ASSERT_TRUE(head.LoadFlashFile(Write(image)));
    head.SetAnswerTimeOutMs(300);
    BringOnline();
    head.SendFlash();
    const int sent = dock.Sent.size();
    QElapsedTimer clock;
    clock.start();
    while (dock.Sent.size() == sent && clock.elapsed() < 3000) {
        Answer("INF-CHARGING\r\n");
        WaitFor([] { return false; }, 50);
    }
    EXPECT_EQ(dock.Sent.size(), sent + 1) << "the page was sent again after its own time-out";
    EXPECT_EQ(SentPage(), 66);
    EXPECT_TRUE(dialogs->Texts().isEmpty());
}
