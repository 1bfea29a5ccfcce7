// The command-line upgrade and the simulated instrument as real processes over
// a pseudo-terminal.

#include "head/KT4Head.h"
#include "tests/app/SimProcess.h"

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
        RunFlash({image, "--yes", "--answer-timeout-ms=400"}, {"KT4_IRDA_SIM=" + sim.IrdaSocket()});
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
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes", "--answer-timeout-ms=400"});
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
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes", "--answer-timeout-ms=400"});
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
