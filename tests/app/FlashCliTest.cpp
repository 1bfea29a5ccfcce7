// The command-line upgrade and the simulated instrument as real processes over
// a pseudo-terminal.

#include "head/KT4Head.h"
#include "tests/app/SimProcess.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

// Pages 66 to 511 of the image, as they must stand in the instrument's flash.
QByteArray UploadedPart(const QByteArray& Image)
{
    return Image.mid(FirstFlashAddress);
}

QByteArray ReadFile(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QString Completed = "Flash Upload Completed";

QString UpgradeTextPlaceInDock()
{
    return "place it in the dock that says \"Insert Corvane ZRA/ZRN To FLASH\".";
}

}  // namespace

TEST(FlashCli, UpgradeIsByteExactAndTheInstrumentReportsTheNewVersion)
{
    TSimProcess sim;
    const QString image = sim.MakeImage("1.20");
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes"});
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
    EXPECT_EQ(run.Output.count(Completed), 1);
    EXPECT_TRUE(run.Output.contains("Flash Version: 1.10"));
    EXPECT_TRUE(run.Output.contains("Page 446/446  Address: 020000"));
    EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
    EXPECT_EQ(AskVersion(sim.PtyPath()), "ACK71.20");
}

TEST(FlashCli, WithoutAPortTheInfraredDriversComPortIsUsed)
{
    // This kernel has no IrDA sockets: the link falls back to KT4_IRCOMM.
    TSimProcess sim;
    const QString image = sim.MakeImage("1.20");
    const TFlashRun run = RunFlash({image, "--yes"}, {"KT4_IRCOMM=" + sim.PtyPath()});
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
    EXPECT_EQ(run.Output.count(Completed), 1);
    EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
}

TEST(FlashCli, OverTheSimulatedIrdaStackByteExact)
{
    TSimProcess sim({}, TSimProcess::OverIrda);
    const QString image = sim.MakeImage("1.20");
    const TFlashRun run = RunFlash({image, "--yes"}, {"KT4_IRDA_SIM=" + sim.IrdaSocket()});
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
    EXPECT_EQ(run.Output.count(Completed), 1);
    EXPECT_TRUE(run.Output.contains("Page 446/446  Address: 020000"));
    sim.Stop();
    EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
    EXPECT_TRUE(sim.Log().contains("<- PFM"));
}

TEST(FlashCli, AnInfraredDeviceLostInTheMiddleIsAFailure)
{
    TSimProcess sim({"--lose-after", "200"}, TSimProcess::OverIrda);
    const QString image = sim.MakeImage();
    const TFlashRun run =
        RunFlash({image, "--yes", AnswerTimeOut}, {"KT4_IRDA_SIM=" + sim.IrdaSocket()});
    EXPECT_EQ(run.ExitCode, 4) << run.Output.toStdString();
    EXPECT_FALSE(run.Output.contains(Completed));
}

TEST(FlashCli, EveryTenthPageRefusedStillByteExact)
{
    TSimProcess sim({"--nak-every", "10"});
    const QString image = sim.MakeImage();
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes"});
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
    EXPECT_TRUE(run.Output.contains(Completed));
    EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
    sim.Stop();
    EXPECT_GE(sim.Log().count("-> NAK"), 44);
}

TEST(FlashCli, DroppedAnswerIsResentAfterItsTimeOut)
{
    TSimProcess sim({"--drop-page", "100"});
    const QString image = sim.MakeImage();
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes", AnswerTimeOut});
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
    EXPECT_TRUE(run.Output.contains(Completed));
    EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
}

TEST(FlashCli, WrongEchoIsNeverSkipped)
{
    TSimProcess sim({"--wrong-echo", "70"});
    const QString image = sim.MakeImage();
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes"});
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
    EXPECT_TRUE(run.Output.contains("Page Error! 70=71"));
    EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
}

TEST(FlashCli, LinkLostInTheMiddleIsAFailure)
{
    TSimProcess sim({"--lose-after", "200"});
    const QString image = sim.MakeImage();
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes", AnswerTimeOut});
    EXPECT_NE(run.ExitCode, 0);
    EXPECT_FALSE(run.Output.contains(Completed)) << run.Output.toStdString();
    EXPECT_TRUE(run.Output.contains("Corvane ZRA/ZRN Disconnected"));
}

TEST(FlashCli, UnacknowledgedProgramCommandIsAFailure)
{
    TSimProcess sim({"--pfm-nak"});
    const QString image = sim.MakeImage();
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes"});
    EXPECT_NE(run.ExitCode, 0);
    EXPECT_TRUE(run.Output.contains("Program Command Failed!.  New firmware not uploaded!"));
    EXPECT_FALSE(run.Output.contains(Completed));
}

TEST(FlashCli, WrongInstrumentType)
{
    TSimProcess sim({"--wrong-type"});
    const QString image = sim.MakeImage();
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes"});
    EXPECT_NE(run.ExitCode, 0);
    EXPECT_TRUE(run.Output.contains("Wrong instrument type, disconnecting!")) << run.Output.toStdString();
    EXPECT_FALSE(run.Output.contains(Completed));
}

TEST(FlashCli, RefusedImagesSendNothing)
{
    TSimProcess sim;
    const QByteArray good = ReadFile(sim.MakeImage());
    QByteArray wrongType = good;
    wrongType[FlashTypeOffset] = 0x11;
    const QMap<QString, QByteArray> files = {
        {"short.bin", good.left(FlashImageSize - 1)},
        {"long.bin", good + 'x'},
        {"type.bin", wrongType},
    };
    QStringList paths = {sim.Dir() + "/missing.bin", sim.Dir()};
    for (auto it = files.begin(); it != files.end(); ++it) {
        QFile f(sim.Dir() + "/" + it.key());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(it.value());
        paths << f.fileName();
    }
    for (const QString& path : paths) {
        const TFlashRun run = RunFlash({path, "--port", sim.PtyPath(), "--yes"});
        EXPECT_EQ(run.ExitCode, 2) << path.toStdString();
        EXPECT_TRUE(run.Output.contains("This is not a valid Corvane ZRA/ZRN flash file!"));
        EXPECT_FALSE(run.Output.contains("Connecting"));
    }
    sim.Stop();
    EXPECT_FALSE(sim.Log().contains("ENQ")) << "nothing reached the instrument";
}

TEST(FlashCli, WithoutYesTheOperatorMustConfirm)
{
    TSimProcess sim;
    const QString image = sim.MakeImage();
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath()});  // end of input answers Cancel
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_TRUE(run.Output.contains("This operation will erase the Datalogger data."));
    sim.Stop();
    EXPECT_FALSE(sim.Log().contains("ENQ"));
}

// Answers cut in pieces as adapters cut them, and instruments that never take a
// page: the first must end byte-exact without a single "Page Error!", the
// others as failures with a clear message, within their bound, never completed.
struct THostileInstrument {
    const char* Name;
    QStringList SimOptions;
    int ExitCode;
    QString Shows;  // a line the operator must see
};

void PrintTo(const THostileInstrument& Instrument, std::ostream* Os)
{
    *Os << Instrument.Name;
}

class HostileInstrument : public ::testing::TestWithParam<THostileInstrument> {};

TEST_P(HostileInstrument, EndsByteExactOrAsAClearFailure)
{
    const THostileInstrument& instrument = GetParam();
    TSimProcess sim(instrument.SimOptions);
    const QString image = sim.MakeImage();
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes", AnswerTimeOut});
    EXPECT_EQ(run.ExitCode, instrument.ExitCode) << run.Output.toStdString();
    EXPECT_TRUE(run.Output.contains(instrument.Shows));
    EXPECT_LE(run.Output.count("Page Error!"), 1);
    if (instrument.ExitCode == 0) {
        EXPECT_FALSE(run.Output.contains("Page Error!"));
        EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
    } else {
        EXPECT_FALSE(run.Output.contains(Completed));
    }
}

INSTANTIATE_TEST_SUITE_P(
    FlashCli, HostileInstrument,
    ::testing::Values(THostileInstrument{"SplitAfterTheIndex", {"--split-at", "4"}, 0, Completed},
                      THostileInstrument{"SplitInTheWord", {"--split-at", "2"}, 0, Completed},
                      THostileInstrument{"OneByteAtATime", {"--byte-at-a-time"}, 0, Completed},
                      THostileInstrument{"GarbageBurst", {"--garbage", "100"}, 0, Completed},
                      THostileInstrument{"NegativeForEver", {"--nak-every", "1"}, 4,
                                         "Page 66 was not accepted after 6 attempts."},
                      THostileInstrument{"WrongEchoForEver", {"--wrong-echo-always"}, 4,
                                         "Page 66 was not accepted after 6 attempts."},
                      THostileInstrument{"NoEchoForEver", {"--short-answers"}, 4,
                                         "Page 66 was not accepted after 6 attempts."},
                      THostileInstrument{"SilentButChattering", {"--silent-after", "100", "--chatter-ms", "40"}, 4,
                                         "Page 101 was not accepted after 6 attempts."}),
    [](const ::testing::TestParamInfo<THostileInstrument>& Info) { return std::string(Info.param.Name); });

// What the command is told: it never guesses a device, refuses nonsense, takes
// a relative path as a path, and never lets the instrument's text drive the
// terminal.
TEST(FlashCli, ArgumentsAndTheInstrumentsText)
{
    TSimProcess sim({"--version", "\x1b[2J1.10"});
    const QString image = sim.MakeImage();
    const QStringList noWay = {"KT4_IRCOMM=", "KT4_IRDA_SIM="};

    for (const QStringList& args : {QStringList{image, "--yes"}, QStringList{image, "--yes", "--port", ""}}) {
        const TFlashRun run = RunFlash(args, noWay);
        EXPECT_EQ(run.ExitCode, 3) << run.Output.toStdString();
        EXPECT_TRUE(run.Output.contains("no port given"));
        EXPECT_FALSE(run.Output.contains("Connecting"));
    }
    for (const QString timeout : {"0", "3000000", "4294968", "x"}) {
        const TFlashRun run = RunFlash({image, "--yes", "--port", sim.PtyPath(), "--connect-timeout", timeout});
        EXPECT_EQ(run.ExitCode, 2) << timeout.toStdString();
        EXPECT_TRUE(run.Output.contains("--connect-timeout needs a whole number from 1 to 86400"));
    }

    const QString link = sim.Dir() + "/instrument";
    ASSERT_TRUE(QFile::link(sim.PtyPath(), link));
    const TFlashRun run = RunFlash({image, "--yes", "--port", QDir::current().relativeFilePath(link)});
    EXPECT_EQ(run.ExitCode, 0) << run.Output.toStdString();
    EXPECT_TRUE(run.Output.split('\n').contains("Flash Version: ")) << "cut at the escape";
    EXPECT_FALSE(run.Output.contains("\x1b"));
}

// Through a simulated Kelo6 dock, on the network and on the USB bus: the
// upgrade ends byte-exact with the dock's display showing it; a dock that
// loses the instrument's connection (the data connection dropped, the device
// pulled off the bus) in the middle is a failure.
TEST(FlashCli, ThroughADock)
{
    const struct {
        const char* Name;
        TSimProcess::TWay Way;
        QStringList Faults;
        int ExitCode;
        QString Kind = "kelo6";
    } cases[] = {
        {"network", TSimProcess::InDock, {}, 0},
        {"usb", TSimProcess::InUsbDock, {}, 0},
        {"network, data connection lost", TSimProcess::InDock, {"--lose-after", "200"}, 4},
        {"usb, device pulled", TSimProcess::InUsbDock, {"--lose-after", "200"}, 4},
        {"express dock", TSimProcess::InDock, {"--dock", "express"}, 0, "express"},
        {"multi-port express dock", TSimProcess::InDock, {"--dock", "mp-express"}, 0, "mp-express"},
    };
    int address = 60;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString at = QString("127.0.7.%1").arg(++address);
        TSimProcess sim(QStringList({"--address", at}) + c.Faults, c.Way);
        const QString image = sim.MakeImage();
        const TFlashRun run = RunFlash(
            {image, "--dock", sim.DockAddress(), "--dock-kind", c.Kind, "--yes", AnswerTimeOut},
            {"KT4_USB_SIM=" + sim.UsbDir()});
        EXPECT_EQ(run.ExitCode, c.ExitCode) << run.Output.toStdString();
        EXPECT_TRUE(run.Output.contains(UpgradeTextPlaceInDock()));
        sim.Stop();
        const QByteArray log = sim.Log();
        if (c.ExitCode == 0) {
            EXPECT_EQ(run.Output.count(Completed), 1);
            EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
            EXPECT_TRUE(log.contains("[KT4   446/446   ]")) << "the progress on the dock's display";
            EXPECT_EQ(log.contains("pump level 0"), c.Kind == "kelo6") << "only the Kelo6 dock has a pump";
            EXPECT_TRUE(log.contains("LCD [                ][                ][ Insert KT4     ][   To FLASH     ]"))
                << "handed back with its first two lines blank";
        } else {
            EXPECT_FALSE(run.Output.contains(Completed));
            EXPECT_NE(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
        }
    }
}

namespace {

// What the simulated dock heard on its control connection, command by
// command (its log line "<- ..." may hold several joined in one read).
int Heard(const QByteArray& Log, const QByteArray& Command)
{
    int count = 0;
    for (const QByteArray& line : Log.split('\n'))
        if (line.startsWith("kt4-sim: <- "))
            count += int(line.count(Command));
    return count;
}

}  // namespace

// A dock as a real network and a busy machine present it: replies and events
// cut at any byte or joined, the instrument's answers cut or doubled, a slow
// dock, commands left unanswered or refused, a dock frozen mid-upload, silent,
// busy for ever, the instrument reported twice or again after its upgrade.
// Every run ends; "Completed" only with the program command acknowledged and
// the flash byte-exact; one upload at most; the dock handed back (pump off,
// "MST", the two blank lines) wherever its control connection still answers.
struct THostileDock {
    const char* Name;
    QStringList Faults;
    int ExitCode;
    bool HandedBack;  // "MST" and the blank lines reach the dock
    QByteArray After = {};  // this line in its log, and after "DSC" the pump is switched off, then "MST" sent
};

const THostileDock HostileDocks[] = {
        {"control cut after 1 byte", {"--control-split-at", "1"}, 0, true},
        {"control cut after 3 bytes", {"--control-split-at", "3"}, 0, true},
        {"reply and event joined, the instrument twice", {"--join-control", "--evt1-twice"}, 0, true},
        {"instrument reported twice", {"--evt1-twice"}, 0, true},
        {"instrument reported again after its upgrade", {"--evt1-after-program"}, 0, true},
        {"answers cut after 3 bytes", {"--split-at", "3"}, 0, true},
        {"answers one byte at a time", {"--byte-at-a-time"}, 0, true},
        {"answers doubled in one read", {"--double-answers"}, 0, true},
        {"a dock that answers after 100 ms", {"--reply-delay-ms", "100"}, 0, true},
        {"DSC unanswered", {"--no-answer", "DSC"}, 0, true},
        {"DSC refused", {"--nak", "DSC"}, 0, true},
        {"MST unanswered", {"--no-answer", "MST"}, 0, true},
        {"MST refused", {"--nak", "MST"}, 0, true},
        {"PSS unanswered", {"--no-answer", "PSS"}, 0, true},
        {"the command after DSC unanswered", {"--no-answer-after", "DSC"}, 0, true, "unanswered"},
        {"the command after DSC refused", {"--nak-after", "DSC"}, 0, true, "refusing"},
        {"frozen in the middle of the upload", {"--freeze-after", "50000"}, 4, false},
        {"silent", {"--no-answer", "all"}, 3, false},
        {"busy for ever", {"--busy", "1000000"}, 3, true},
        {"SLV refused for ever", {"--nak", "SLV"}, 3, true},
};

class HostileDock : public ::testing::TestWithParam<int> {};

TEST_P(HostileDock, EndsHandsBackAndNeverCompletesFalsely)
{
    {
        const THostileDock& row = HostileDocks[GetParam()];
        SCOPED_TRACE(row.Name);
        TSimProcess sim(QStringList({"--address", QString("127.0.45.%1").arg(GetParam() + 1)}) + row.Faults,
                        TSimProcess::InDock);
        const QString image = sim.MakeImage();
        const TFlashRun run = RunFlash({image, "--dock", sim.DockAddress(), "--yes", "--connect-timeout", "3",
                                        AnswerTimeOut});
        sim.Stop();
        const QByteArray log = sim.Log();
        EXPECT_EQ(run.ExitCode, row.ExitCode) << run.Output.toStdString();
        EXPECT_LE(run.Output.count("Uploading Flash"), 1) << "one upload at most";
        EXPECT_LE(Heard(log, "PFM"), 1) << "one program command at most";
        const bool exact = UploadedPart(sim.Flash()) == UploadedPart(ReadFile(image));
        if (row.ExitCode == 0) {
            EXPECT_EQ(run.Output.count(Completed), 1);
            EXPECT_TRUE(exact);
        } else {
            EXPECT_FALSE(run.Output.contains(Completed));
        }
        if (row.HandedBack) {
            EXPECT_GE(Heard(log, "MST"), 1) << "handed back";
            EXPECT_TRUE(log.contains("LCD [                ][                ]")) << "its first two lines blanked";
        }
        if (!row.After.isEmpty()) {  // after "DSC" and the command left alone: the pump off, then "MST"
            const QByteArray afterDsc = log.mid(log.indexOf("<- DSC"));
            EXPECT_TRUE(log.contains(row.After)) << log.toStdString();
            const qsizetype pumpOff = afterDsc.indexOf("<- PSS\\x00\\x00");  // level 0, as the log writes it
            EXPECT_GE(pumpOff, 0) << log.toStdString();
            EXPECT_GE(Heard(afterDsc.mid(pumpOff), "MST"), 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FlashCli, HostileDock, ::testing::Range(0, int(std::size(HostileDocks))));
