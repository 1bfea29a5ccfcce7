// A shelf of simulated instruments upgraded at once, the trace for support,
// and what the command line says about ports, all as real processes.

#include "app/Shelf.h"
#include "head/KT4Head.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray UploadedPart(const QByteArray& Image)
{
    return Image.mid(FirstFlashAddress);
}

QByteArray ReadFile(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The summary table's row of an instrument.
QString Row(const QString& Output, const QString& Label)
{
    const qsizetype table = Output.lastIndexOf("\nInstrument ");
    for (const QString& line : Output.mid(table).split('\n'))
        if (line.startsWith(Label + ' '))
            return line.simplified();
    return QString();
}

// The bytes a trace line's quoted text stands for.
QByteArray Unescape(const QString& Quoted)
{
    QByteArray bytes;
    const QByteArray text = Quoted.toLatin1();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\')
            bytes += text[i];
        else if (text[++i] == 'x')
            bytes += char(text.mid(++i, 2).toInt(nullptr, 16)), ++i;
        else
            bytes += text[i];
    }
    return bytes;
}

}  // namespace

// Four instruments at once, one losing its link in the middle: the other three
// end byte-exact with status 0 in their rows, the fourth fails in its row, the
// shelf's status is not 0.
TEST(Shelf, FourAtOnceOneInADockOneLostTheOthersByteExact)
{
    // The fourth sits in a docking station on the network.
    std::vector<std::unique_ptr<TSimProcess>> sims;
    for (int i = 0; i < 3; ++i)
        sims.push_back(std::make_unique<TSimProcess>(i == 2 ? QStringList{"--lose-after", "150"} : QStringList{}));
    sims.push_back(std::make_unique<TSimProcess>(QStringList{"--address", "127.0.10.4"}, TSimProcess::InDock));
    const QString image = sims[0]->MakeImage("1.20");
    QStringList arguments = {image, "--yes", AnswerTimeOut};
    for (int i = 0; i < 3; ++i)
        arguments << "--port" << sims[i]->PtyPath();
    arguments << "--dock" << sims[3]->DockAddress();
    const TFlashRun run = RunFlash(arguments);

    EXPECT_EQ(run.ExitCode, 4) << run.Output.toStdString();
    for (int i = 0; i < 4; ++i) {
        const QString row = Row(run.Output, i < 3 ? sims[i]->PtyPath() : "dock " + sims[i]->DockAddress());
        if (i == 2) {
            EXPECT_TRUE(row.contains(" 1.10 - ")) << row.toStdString();
            EXPECT_TRUE(row.contains(" 4 failed: The serial port " + sims[i]->PtyPath() + " went away"))
                << row.toStdString();
            continue;
        }
        EXPECT_TRUE(row.contains(" 1.10 1.20 ")) << row.toStdString();
        EXPECT_TRUE(row.contains(" 0 done: program command acknowledged")) << row.toStdString();
        EXPECT_EQ(UploadedPart(sims[i]->Flash()), UploadedPart(ReadFile(image))) << i;
    }
    EXPECT_TRUE(run.Output.contains("3 of 4 upgraded in"));
}

// What would mix two upgrades on one instrument, or send a bad image, is
// refused before any instrument hears a byte.
TEST(Shelf, RefusalsBeforeAnythingStarts)
{
    TSimProcess sim;
    TSimProcess other;
    const QString image = sim.MakeImage();
    const QString alias = sim.Dir() + "/instrument";
    ASSERT_TRUE(QFile::link(sim.PtyPath(), alias));
    QFile shortImage(sim.Dir() + "/short.bin");
    ASSERT_TRUE(shortImage.open(QIODevice::WriteOnly));
    shortImage.write(ReadFile(image).left(1000));
    shortImage.close();

    const struct {
        QStringList Arguments;
        QString Says;
    } cases[] = {
        {{image, "--yes", "--port", sim.PtyPath(), "--port", alias}, "are the same instrument"},
        {{shortImage.fileName(), "--yes", "--port", sim.PtyPath(), "--port", other.PtyPath()},
         "This is not a valid Corvane ZRA/ZRN flash file!"},
        {{image, "--port", sim.PtyPath(), "--port", other.PtyPath()}, "erase the Datalogger data"},  // Cancel
    };
    for (const auto& c : cases) {
        const TFlashRun run = RunFlash(c.Arguments);
        EXPECT_NE(run.ExitCode, 0);
        EXPECT_TRUE(run.Output.contains(c.Says)) << run.Output.toStdString();
        EXPECT_FALSE(run.Output.contains("Upgrading")) << run.Output.toStdString();
    }
    sim.Stop();
    other.Stop();
    EXPECT_FALSE(sim.Log().contains("ENQ"));
    EXPECT_FALSE(other.Log().contains("ENQ"));
}

TEST(Shelf, EachMemberTracesIntoAFileNamedAfterItsPort)
{
    const struct {
        QString Base, Label, File;
    } cases[] = {
        {"trace.txt", "/dev/ttyUSB0", "trace-ttyUSB0.txt"},
        {"/tmp/a.b.log", "/dev/pts/3", "/tmp/a.b-pts_3.log"},
        {"t", "COM6", "t-COM6"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MemberTraceFile(c.Base, c.Label).toStdString(), c.File.toStdString());
}

// The trace holds every text both ways, each line time-stamped and exact to
// the byte, with the boxes the operator saw as notes.
TEST(Trace, EveryTextWithItsTimeExactToTheByte)
{
    TSimProcess sim({"--nak-every", "100"});
    const QString image = sim.MakeImage();
    const QString trace = sim.Dir() + "/trace.txt";
    const TFlashRun run = RunFlash({image, "--port", sim.PtyPath(), "--yes", "--trace", trace});
    ASSERT_EQ(run.ExitCode, 0) << run.Output.toStdString();

    const QRegularExpression text(R"re(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (SND|RCV) +(\d+) "(.*)"$)re");
    QStringList commands, notes;
    int replies = 0;
    for (const QString& line : QString::fromLatin1(ReadFile(trace)).split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("# ")) {
            notes << line;
            continue;
        }
        const QRegularExpressionMatch m = text.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        const QByteArray bytes = Unescape(m.captured(3));
        ASSERT_EQ(bytes.size(), m.captured(2).toInt()) << line.toStdString();
        if (m.captured(1) == "SND")
            commands << QString::fromLatin1(bytes.left(3));
        else
            ++replies;
    }
    EXPECT_EQ(commands.mid(0, 3), QStringList({"ENQ", "WHO", "VFL"}));
    EXPECT_EQ(commands.count("WEP"), 446 + 4) << "every page once, the four refused ones twice";
    EXPECT_EQ(commands.last(), "PFM");
    EXPECT_EQ(replies, commands.size());
    // The final message, then the exit status last.
    ASSERT_GE(notes.size(), 2);
    EXPECT_TRUE(notes.at(notes.size() - 2).endsWith("[Information] Flash Upload Completed"));
    EXPECT_TRUE(notes.last().endsWith("finished with exit status 0")) << notes.last().toStdString();
}

namespace {

// Runs kt4-flash --list-ports as an unprivileged user (nobody) with the
// groups given, the COM ports pointed at Devices.
QString ListPortsAs(const QStringList& Groups, const QStringList& Devices)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (int i = 0; i < Devices.size(); ++i)
        env.insert(QString("KT4_COM%1").arg(5 + i), Devices[i]);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QStringList arguments = {"--reuid=65534", "--regid=65534"};
    arguments << (Groups.isEmpty() ? QString("--clear-groups") : "--groups=" + Groups.join(','));
    process.start("setpriv", arguments + QStringList{KT4_FLASH_PATH, "--list-ports"});
    process.waitForFinished(30000);
    return QString::fromLocal8Bit(process.readAll());
}

// The listing's block of one device.
QString Block(const QString& Listing, const QString& Com)
{
    const qsizetype at = Listing.indexOf(QRegularExpression("^" + Com + " ", QRegularExpression::MultilineOption));
    if (at < 0)
        return QString();
    const qsizetype next = Listing.indexOf(QRegularExpression("^\\S", QRegularExpression::MultilineOption), at + 1);
    return Listing.mid(at, next < 0 ? -1 : next - at);
}

}  // namespace

// Pseudo-terminals a user may and may not open, checked as that user: the
// listing says which, why and what to do.
TEST(ListPorts, TellsAnUnprivilegedUserWhyAndWhatToDo)
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        GTEST_SKIP() << "needs root and setpriv to give devices away and run as another user";
    TPtyPair forGroup, forNobody, forAll;
    const auto set = [](const TPtyPair& Pty, gid_t Group, mode_t Mode) {
        const QByteArray path = Pty.SlavePath().toLocal8Bit();
        return ::chown(path.constData(), 0, Group) == 0 && ::chmod(path.constData(), Mode) == 0;
    };
    const gid_t dialout = 20;
    ASSERT_TRUE(set(forGroup, dialout, 0660) && set(forNobody, dialout, 0) && set(forAll, 0, 0666));
    const QStringList devices = {forGroup.SlavePath(), forNobody.SlavePath(), forAll.SlavePath()};

    const QString outsider = ListPortsAs({}, devices);
    EXPECT_TRUE(Block(outsider, "COM5").contains("may open: no - permission denied: the device belongs to group "
                                                 "dialout, and you are not in it"))
        << outsider.toStdString();
    EXPECT_TRUE(Block(outsider, "COM5").contains("what to do: sudo usermod -aG dialout $USER"));
    EXPECT_TRUE(Block(outsider, "COM6").contains("the device's mode lets none of your groups open it"))
        << outsider.toStdString();
    EXPECT_TRUE(Block(outsider, "COM7").contains("may open: yes")) << outsider.toStdString();
    EXPECT_TRUE(Block(outsider, "COM7").contains("adapter: pseudo-terminal"));

    const QString member = ListPortsAs({"20"}, devices);
    EXPECT_TRUE(Block(member, "COM5").contains("may open: yes")) << member.toStdString();
    EXPECT_TRUE(Block(member, "COM6").contains("may open: no")) << member.toStdString();
}

// A port that another upgrade holds: the listing and the refused open both
// name the holder, and the refused open names the device as it was given.
TEST(ListPorts, APortHeldByAnotherUpgradeNamesItsHolder)
{
    TPtyPair silent;  // nobody answers: the first upgrade keeps the port while it waits
    QProcess holder;
    holder.setProgram(KT4_FLASH_PATH);
    TSimProcess images;
    holder.setArguments({images.MakeImage(), "--port", silent.SlavePath(), "--yes", "--connect-timeout", "60"});
    holder.start();
    ASSERT_TRUE(holder.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return !silent.Read(1, 50).isEmpty(); }, 10000)) << "the holder never sent a byte";
    const QString holderName = QString("kt4-flash (process %1)").arg(holder.processId());

    const TFlashRun list = RunFlash({"--list-ports"}, {"KT4_COM5=" + silent.SlavePath()});
    EXPECT_TRUE(Block(list.Output, "COM5").contains("may open: no - in use by " + holderName))
        << list.Output.toStdString();
    const TFlashRun second = RunFlash({images.MakeImage(), "--port", silent.SlavePath(), "--yes"});
    EXPECT_EQ(second.ExitCode, 3) << second.Output.toStdString();
    EXPECT_TRUE(second.Output.contains("Cannot open serial port " + silent.SlavePath() + ": in use by " + holderName))
        << second.Output.toStdString();
    holder.kill();
    holder.waitForFinished();
}
