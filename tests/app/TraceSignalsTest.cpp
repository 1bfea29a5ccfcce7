// kt4-flash as a user and a support person meet it, as real processes against
// the simulator: which stream each line goes to, the trace's header and notes,
// a trace that cannot be written, and SIGINT and SIGTERM in the middle.

#include "app/FlashReport.h"
#include "head/KT4Head.h"
#include "tests/TestSupport.h"
#include "tests/app/SimProcess.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray ReadFile(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray UploadedPart(const QByteArray& Image)
{
    return Image.mid(FirstFlashAddress);
}

const QString Completed = "Flash Upload Completed";

QString SignalName(int Signal)
{
    return Signal == SIGINT ? "SIGINT" : Signal == SIGTERM ? "SIGTERM" : Signal == SIGHUP ? "SIGHUP" : "?";
}
const QString FailedEnd = "\n[Error] Corvane ZRA/ZRN Disconnected\n";

// kt4-flash running, its two streams apart; standard input stays open (an
// operator who has not typed yet) unless closed.
class TFlash {
public:
    // In a process group of its own, as a terminal's foreground job: a
    // signal to the group reaches it and every process it started.
    // Relayed: both its streams go through a pipe to a reader of their own,
    // as with "kt4-flash ... 2>&1 | tee log"; CloseOutput() ends the reader.
    explicit TFlash(const QStringList& Arguments, bool CloseInput = true, const QString& Program = KT4_FLASH_PATH,
                    bool Relayed = false)
    {
        FProcess.setChildProcessModifier([] { ::setpgid(0, 0); });
        if (Relayed) {
            FProcess.setProcessChannelMode(QProcess::MergedChannels);
            FProcess.setStandardOutputProcess(&FRelay);
        }
        FProcess.start(Program, Arguments);
        if (Relayed)
            FRelay.start("cat", {});
        if (CloseInput)
            FProcess.closeWriteChannel();
    }
    ~TFlash()
    {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished(-1);
        }
    }

    // Waits until standard output holds Text; false when the program ended without it.
    bool WaitForOut(const QString& Text)
    {
        QProcess& reader = FRelay.state() == QProcess::NotRunning ? FProcess : FRelay;
        for (;;) {
            FOut += reader.readAllStandardOutput();
            if (QString::fromLocal8Bit(FOut).contains(Text))
                return true;
            if (FProcess.state() == QProcess::NotRunning)
                return false;
            reader.waitForReadyRead(1000);
        }
    }
    void Signal(int Number) { ::kill(static_cast<pid_t>(FProcess.processId()), Number); }
    void CloseOutput()
    {
        FRelay.kill();
        FRelay.waitForFinished(-1);
    }
    // As a terminal's Ctrl-C: to the whole foreground group.
    void SignalGroup(int Number) { ::kill(-static_cast<pid_t>(FProcess.processId()), Number); }

    // Waits for the end: the exit status, -1 for an end by a signal.
    int Wait()
    {
        FProcess.waitForFinished(-1);
        if (FProcess.processChannelMode() == QProcess::SeparateChannels) {
            FOut += FProcess.readAllStandardOutput();
            FErr += FProcess.readAllStandardError();
        }
        return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
    }
    QString Out() const { return QString::fromLocal8Bit(FOut); }
    QString Err() const { return QString::fromLocal8Bit(FErr); }
    std::string Describe() const { return ("--- stdout\n" + Out() + "--- stderr\n" + Err()).toStdString(); }

private:
    QProcess FRelay;  // ends after the program
    QProcess FProcess;
    QByteArray FOut, FErr;
};

// A trace's lines: its header (the notes before the first text), all its notes, and its last line.
struct TTrace {
    QStringList Header, Notes, Lines;
    QString Last() const { return Lines.isEmpty() ? QString() : Lines.last(); }
    bool HasNote(const QString& Text) const
    {
        for (const QString& note : Notes)
            if (note.contains(Text))
                return true;
        return false;
    }
};

TTrace ReadTrace(const QString& Path)
{
    TTrace trace;
    trace.Lines = QString::fromUtf8(ReadFile(Path)).split('\n', Qt::SkipEmptyParts);
    bool header = true;
    for (const QString& line : trace.Lines) {
        if (!line.startsWith("# ")) {
            header = false;
            continue;
        }
        const QString note = line.mid(26);  // after "# yyyy-MM-dd hh:mm:ss.zzz "
        trace.Notes << note;
        if (header)
            trace.Header << note;
    }
    return trace;
}

}  // namespace

// A success's result on standard output with nothing on standard error; a
// failure's errors and its final message on standard error, never on
// standard output; a cancel's question ends its line; a shelf member keeps
// standard output for its report lines.
TEST(TraceSignals, EachLineOnItsStream)
{
    const struct {
        const char* Name;
        QStringList SimOptions;
        QStringList Options;
        int ExitCode;
        QStringList OnOut, OnErr;  // an empty OnErr: standard error stays empty
        QString TraceNote;
    } cases[] = {
        {"success", {}, {"-y"}, 0, {"\n[Information] Flash Upload Completed\n"}, {}, "[Answer] Yes (--yes)"},
        {"program command refused", {"--pfm-nak"}, {"-y"}, 4, {"Uploading Flash"},
         {"kt4-flash: Program Command Failed!.  New firmware not uploaded!\n", FailedEnd}, "[Error] Corvane"},
        {"every page refused", {"--nak-every", "1"}, {"-y", "--answer-timeout-ms=300"}, 4, {"Uploading Flash"},
         {"kt4-flash: Page 66 was not accepted after 6 attempts.", FailedEnd}, "[Error 2"},
        {"wrong instrument", {"--wrong-type"}, {"-y"}, 3, {"Connecting"},
         {"kt4-flash: Wrong instrument type, disconnecting!\n", FailedEnd}, "[Error 2"},
        {"cancelled: standard input ended", {}, {}, 1,
         {"[Warning] This operation will erase the Datalogger data.",
          "  [o=OK, c=Cancel]? (standard input ended: Cancel)\n"},
         {}, "[Answer] Cancel (standard input ended)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TSimProcess sim(c.SimOptions);
        const QString image = sim.MakeImage();
        const QString trace = sim.Dir() + "/trace.txt";
        TFlash flash(QStringList{image, "-p", sim.PtyPath(), "--no-history", "--trace", trace} + c.Options);
        EXPECT_EQ(flash.Wait(), c.ExitCode) << flash.Describe();
        for (const QString& text : c.OnOut)
            EXPECT_TRUE(flash.Out().contains(text)) << text.toStdString() << "\n" << flash.Describe();
        for (const QString& text : c.OnErr)
            EXPECT_TRUE(flash.Err().contains(text)) << text.toStdString() << "\n" << flash.Describe();
        if (c.OnErr.isEmpty()) {
            EXPECT_EQ(flash.Err(), "");
        }
        EXPECT_TRUE(flash.Out().endsWith('\n')) << "the terminal never ends on an open line";
        EXPECT_FALSE(flash.Out().contains("[Error]")) << flash.Describe();
        EXPECT_FALSE(flash.Out().contains("kt4-flash: ")) << flash.Describe();
        EXPECT_FALSE(flash.Out().contains("Disconnected")) << flash.Describe();
        const TTrace t = ReadTrace(trace);
        EXPECT_TRUE(t.HasNote(c.TraceNote)) << t.Notes.join('\n').toStdString();
        EXPECT_TRUE(t.Last().endsWith(QString("# finished with exit status %1").arg(c.ExitCode).mid(1)))
            << t.Last().toStdString();
    }

    // A shelf member: every line of standard output is a report line, the failure among them.
    TSimProcess sim({"--pfm-nak"});
    TFlash member({sim.MakeImage(), "-p", sim.PtyPath(), "-y", "--no-history", "--shelf-member"});
    EXPECT_EQ(member.Wait(), 4) << member.Describe();
    QStringList keys;
    for (const QString& line : member.Out().split('\n', Qt::SkipEmptyParts)) {
        QString key, value;
        EXPECT_TRUE(FlashReport::Parse(line.toUtf8(), &key, &value)) << line.toStdString();
        keys << key;
    }
    EXPECT_TRUE(keys.contains("error") && keys.contains("page") && keys.contains("box")) << member.Describe();
    EXPECT_TRUE(member.Err().contains(FailedEnd)) << member.Describe();
}

// The header names the way actually used and every option given, before
// the first text; each time-out and page sent again has its note.
TEST(TraceSignals, HeaderAndNotes)
{
    const struct {
        const char* Name;
        TSimProcess::TWay Way;
        QStringList SimOptions;
        QStringList Options;
        QStringList Header;  // "{dock}", "{pty}" stand for the simulator's
        QStringList Notes;
        int NoteCount = 1;   // how often the first note stands in the trace
    } cases[] = {
        {"network dock",
         TSimProcess::InDock,
         {"--address", "127.0.19.1", "--dock", "express"},
         {"--dock", "{dock}", "--dock-kind", "express", "-y", "--answer-timeout-ms=500", "--connect-timeout", "30"},
         {"image {image}, dock {dock}, kind express",
          "command line: kt4-flash {image} --dock {dock} --dock-kind express -y --answer-timeout-ms=500 "
          "--connect-timeout 30",
          "connect time-out 30 s; answer time-out 500 ms (instead of the instrument's own 5 to 30 s); "
          "questions answered by --yes",
          "dock: {dock} (The dock at {dock}), kind express"},
         {"the dock is handed back"}},
        {"usb dock",
         TSimProcess::InUsbDock,
         {"--address", "127.0.19.2"},
         {"--dock", "usb", "--yes"},
         {"dock: usb:", "(The dock on the USB bus), kind kelo6", ", USB dock, kind kelo6",
          "answer time-out the instrument's own (5 to 30 s)"},
         {"the dock is handed back"}},
        {"port, a page without an answer",
         TSimProcess::OnPty,
         {"--drop-page", "100"},
         {"-p", "{pty}", "-y", "--answer-timeout-ms=400"},
         {", port {pty}", "-p {pty} -y --answer-timeout-ms=400", "connect time-out 60 s"},
         {"no answer to page 100 in 400 ms: sent again, attempt 2 of 6", "online through port {pty}"}},
        {"port, refused pages",
         TSimProcess::OnPty,
         {"--nak-every", "100"},
         {"-p", "{pty}", "-y"},
         {", port {pty}"},
         {"refused (a negative answer): sent again, attempt 2 of 6"},
         4},
        {"port, a wrong echo",
         TSimProcess::OnPty,
         {"--wrong-echo", "70"},
         {"-p", "{pty}", "-y"},
         {},
         {"page 70 refused (Page Error! 70=71): sent again, attempt 2 of 6"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TSimProcess sim(c.SimOptions, c.Way);
        const QString image = sim.MakeImage();
        const QString trace = sim.Dir() + "/trace.txt";
        const auto fill = [&](QString Text) {
            return Text.replace("{dock}", sim.DockAddress()).replace("{pty}", sim.PtyPath()).replace("{image}", image);
        };
        QStringList arguments = {image};
        for (const QString& option : c.Options)
            arguments << fill(option);
        QProcess flash;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KT4_USB_SIM", sim.UsbDir());
        flash.setProcessEnvironment(env);
        flash.setProcessChannelMode(QProcess::MergedChannels);
        flash.start(KT4_FLASH_PATH, arguments + QStringList{"--no-history", "--trace", trace});
        flash.closeWriteChannel();
        flash.waitForFinished(-1);
        EXPECT_EQ(flash.exitCode(), 0) << flash.readAll().toStdString();

        const TTrace t = ReadTrace(trace);
        const QString header = t.Header.join('\n');
        for (const QString& text : c.Header)
            EXPECT_TRUE(header.contains(fill(text))) << fill(text).toStdString() << "\n" << header.toStdString();
        for (const QString& text : c.Notes)
            EXPECT_TRUE(t.HasNote(fill(text))) << fill(text).toStdString() << "\n" << t.Notes.join('\n').toStdString();
        if (!c.Notes.isEmpty()) {
            EXPECT_EQ(t.Notes.filter(fill(c.Notes.first())).size(), c.NoteCount);
        }
        EXPECT_TRUE(t.Last().endsWith("finished with exit status 0")) << t.Last().toStdString();
    }
}

// A trace that cannot be written is told on standard error at once, once;
// the upgrade goes on, and its status says the trace is incomplete (5 in
// the place of 0; a failure keeps its own). A trace that stops in the middle
// holds whole lines up to where it stopped.
TEST(TraceSignals, ATraceThatCannotBeWritten)
{
    if (QStandardPaths::findExecutable("prlimit").isEmpty())
        GTEST_FAIL() << "prlimit (util-linux) is needed";
    const struct {
        const char* Name;
        QStringList SimOptions;
        qint64 SizeLimit;    // the file size limit (the port's lock file needs a few bytes)
        int ExitCode;
    } cases[] = {
        {"no room after the first line", {}, 200, 5},
        {"no room and a failure", {"--pfm-nak"}, 200, 4},
        {"the size limit in the middle", {}, 40000, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TSimProcess sim(c.SimOptions);
        const QString image = sim.MakeImage();
        const QString trace = sim.Dir() + "/trace.txt";
        const QStringList arguments = {QString("--fsize=%1").arg(c.SizeLimit), KT4_FLASH_PATH, image, "-p",
                                       sim.PtyPath(), "-y", "--no-history", "--trace", trace};
        TFlash flash(arguments, true, "prlimit");
        EXPECT_EQ(flash.Wait(), c.ExitCode) << flash.Describe();
        const QString told = "kt4-flash: the trace " + trace + " cannot be written (";
        EXPECT_EQ(flash.Err().count(told), 1) << flash.Describe();
        EXPECT_EQ(flash.Out().contains(Completed), c.ExitCode == 5) << flash.Describe();
        if (c.ExitCode == 5) {
            EXPECT_EQ(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
        }
        const QByteArray written = ReadFile(trace);
        EXPECT_LE(written.size(), c.SizeLimit);
        EXPECT_TRUE(written.startsWith("# ")) << "the header was written";
        if (c.SizeLimit > 1000) {
            EXPECT_TRUE(ReadTrace(trace).HasNote("command line: kt4-flash "));
        }
    }
}

// The trace destroys nothing it names: it goes only into a regular file or a
// new one, never into the image (under any name), a device or a symbolic
// link's target, and nothing is written before the options and the image
// were accepted. A shelf holds each member's trace to the same rules. A new
// trace is for its user alone.
TEST(TraceSignals, TheTraceDestroysNothing)
{
    TSimProcess sim, other;
    const QString image = sim.MakeImage(), dir = sim.Dir(), tag = other.PtyPath().mid(5).replace('/', '_');
    const QByteArray imageBytes = ReadFile(image);
    ASSERT_TRUE(QFile::link(image, dir + "/soft.txt") && QFile::link(dir + "/new.txt", dir + "/dangling.txt") &&
                QFile::link(image, dir + "/shelf-" + tag + ".txt"));
    ASSERT_EQ(::link(QFile::encodeName(image).constData(), QFile::encodeName(dir + "/hard.txt").constData()), 0);
    QFile old(dir + "/old.txt");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write("an earlier trace\n") > 0);
    old.close();
    const struct {
        const char* Name;
        QString Trace;  // "{dir}", "{image}", "{other}" stand for the simulators'
        QStringList Options;
        QString Says;   // standard error's line after "kt4-flash: "; empty: the upgrade runs
    } cases[] = {
        {"the image", "{image}", {}, "cannot write the trace {image}: it is the image file"},
        {"a hard link to it", "{dir}/hard.txt", {}, "cannot write the trace {dir}/hard.txt: it is the image file"},
        {"a symbolic link to it", "{dir}/soft.txt", {}, "cannot write the trace {dir}/soft.txt: it is a symbolic link"},
        {"a link to a new file", "{dir}/dangling.txt", {}, "cannot write the trace {dir}/dangling.txt: it is a symbolic link"},
        {"another instrument's line", "{other}", {}, "cannot write the trace {other}: it is not a regular file"},
        {"a device", "/dev/null", {}, "cannot write the trace /dev/null: it is not a regular file"},
        {"a usage error", "{dir}/old.txt", {"--connect-timeout", "0"}, "--connect-timeout needs a whole number"},
        {"a shelf member's", "{dir}/shelf.txt", {"-p", "{other}"},
         "cannot write the trace {dir}/shelf-" + tag + ".txt: it is a symbolic link"},
        {"a new file", "{dir}/trace.txt", {}, ""},
    };
    const auto fill = [&](QString Text) {
        return Text.replace("{dir}", dir).replace("{image}", image).replace("{other}", other.PtyPath());
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        QStringList arguments = {image, "-p", sim.PtyPath(), "-y", "--no-history", "--trace", fill(c.Trace)};
        for (const QString& option : c.Options)
            arguments << fill(option);
        TFlash flash(arguments);
        EXPECT_EQ(flash.Wait(), c.Says.isEmpty() ? 0 : 2) << flash.Describe();
        EXPECT_EQ(ReadFile(image), imageBytes);
        const QString said = c.Says.isEmpty() ? QString() : "kt4-flash: " + fill(c.Says);
        EXPECT_TRUE(flash.Err().startsWith(said) && flash.Err().count('\n') == int(!said.isEmpty())) << flash.Describe();
    }
    EXPECT_EQ(ReadFile(dir + "/old.txt"), "an earlier trace\n");
    EXPECT_FALSE(QFileInfo::exists(dir + "/new.txt"));
    struct stat made {};
    ASSERT_EQ(::stat(QFile::encodeName(dir + "/trace.txt").constData(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0600u);
}

// SIGINT, SIGTERM and SIGHUP (a terminal closed) end the upgrade as Stop
// does: never "Completed", the dock handed back ("MST" and the pump at 0
// reach the simulated dock), a note in the trace and a status of their own;
// at a question the question is given up and its line ended.
TEST(TraceSignals, SignalsStopTheUpgrade)
{
    const struct {
        const char* Name;
        TSimProcess::TWay Way;
        int Signal;
        QString WaitFor;      // the line on standard output after which the signal is sent
        int ExitCode;
        bool Yes = true;
        bool OutGone = false;  // the output's reader gone before the signal
    } cases[] = {
        {"SIGINT during the upload", TSimProcess::OnPty, SIGINT, "Page 32/446", 130},
        {"SIGTERM during the upload", TSimProcess::OnPty, SIGTERM, "Page 32/446", 143},
        {"SIGINT during the upload through a dock", TSimProcess::InDock, SIGINT, "Page 32/446", 130},
        {"SIGTERM during the upload through a USB dock", TSimProcess::InUsbDock, SIGTERM, "Page 32/446", 143},
        {"SIGHUP during the upload through a dock", TSimProcess::InDock, SIGHUP, "Page 32/446", 129},
        {"SIGHUP, the output's reader gone", TSimProcess::InDock, SIGHUP, "Page 32/446", 129, true, true},
        {"SIGINT at the erase question", TSimProcess::OnPty, SIGINT, "[o=OK, c=Cancel]? ", 130, false},
    };
    int address = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        // The instrument stops answering after page 100: the upload is under way when the signal comes.
        QStringList simOptions = {"--silent-after", "100"};
        if (c.Way != TSimProcess::OnPty)
            simOptions << "--address" << QString("127.0.19.%1").arg(++address);
        TSimProcess sim(simOptions, c.Way);
        const QString image = sim.MakeImage();
        const QString trace = sim.Dir() + "/trace.txt";
        QStringList arguments = {image, "--no-history", "--trace", trace};
        arguments << (c.Way == TSimProcess::OnPty ? QStringList{"-p", sim.PtyPath()}
                                                  : QStringList{"--dock", sim.DockAddress()});
        if (c.Yes)
            arguments << "-y";
        qputenv("KT4_USB_SIM", sim.UsbDir().toLocal8Bit());
        TFlash flash(arguments, c.Yes, KT4_FLASH_PATH, c.OutGone);
        qunsetenv("KT4_USB_SIM");
        ASSERT_TRUE(flash.WaitForOut(c.WaitFor)) << flash.Describe();
        if (c.OutGone)
            flash.CloseOutput();
        flash.Signal(c.Signal);
        EXPECT_EQ(flash.Wait(), c.ExitCode) << flash.Describe();

        const QString name = SignalName(c.Signal);
        // What it said, unless nobody was there to read it.
        const auto told = [&](const QString& Text) { return c.OutGone || flash.Err().contains(Text); };
        EXPECT_FALSE(flash.Out().contains(Completed)) << flash.Describe();
        EXPECT_TRUE(c.OutGone || flash.Out().endsWith('\n')) << flash.Describe();
        EXPECT_TRUE(told("kt4-flash: " + name + ": the upgrade is stopped")) << flash.Describe();
        const TTrace t = ReadTrace(trace);
        EXPECT_TRUE(t.HasNote("[Signal] " + name + ": the upgrade is stopped")) << t.Notes.join('\n').toStdString();
        EXPECT_TRUE(t.Last().endsWith(QString("finished with exit status %1").arg(c.ExitCode))) << t.Last().toStdString();
        sim.Stop();
        const QByteArray log = sim.Log();
        if (!c.Yes) {
            EXPECT_TRUE(flash.Out().endsWith("[o=OK, c=Cancel]? (interrupted: Cancel)\n")) << flash.Describe();
            EXPECT_TRUE(t.HasNote("[Answer] Cancel (interrupted)"));
            EXPECT_FALSE(log.contains("ENQ")) << "nothing reached the instrument";
            continue;
        }
        EXPECT_TRUE(t.HasNote("stopped during the upload")) << t.Notes.join('\n').toStdString();
        EXPECT_TRUE(told(FailedEnd)) << flash.Describe();
        EXPECT_NE(UploadedPart(sim.Flash()), UploadedPart(ReadFile(image)));
        if (c.Way != TSimProcess::OnPty) {
            EXPECT_TRUE(told("; the dock is handed back")) << flash.Describe();
            EXPECT_TRUE(t.HasNote("the dock is handed back"));
            EXPECT_TRUE(log.contains("MST")) << "the dock was handed back:\n" << log.toStdString();
            EXPECT_TRUE(log.contains("pump level 0")) << "its pump switched off:\n" << log.toStdString();
        }
    }
}

// Under nohup a closed terminal is no reason to stop: SIGHUP, ignored when
// kt4-flash starts, stays ignored, and the upgrade goes to its end.
TEST(TraceSignals, UnderNohupSighupIsIgnored)
{
    TSimProcess sim;
    TFlash flash({KT4_FLASH_PATH, sim.MakeImage(), "-p", sim.PtyPath(), "-y", "--no-history"}, true, "nohup");
    ASSERT_TRUE(flash.WaitForOut("Page 32/446")) << flash.Describe();
    flash.Signal(SIGHUP);
    EXPECT_EQ(flash.Wait(), 0) << flash.Describe();
    EXPECT_TRUE(flash.Out().contains(Completed)) << flash.Describe();
}

// A shelf passes a signal to every member once (a member is in a process
// group of its own, so a terminal's Ctrl-C reaches it only through the
// shelf), a member still starting too: each stops as Stop does, writes its
// trace to the end, and the summary is printed before the shelf ends with
// the signal's status. A member whose shelf is killed stops as after SIGHUP.
TEST(TraceSignals, AShelfPassesTheSignalToEveryMember)
{
    const struct {
        const char* Name;
        int Signal;          // to the shelf
        bool Group;          // to the shelf's whole group, as a terminal's Ctrl-C
        QString WaitFor;     // the line after which it is sent
        QStringList SimOptions;
        bool Nohup = false;  // the shelf started under nohup
    } cases[] = {
        {"Ctrl-C while uploading", SIGINT, true, "upgrading to 1.20", {"--silent-after", "100"}},
        {"SIGTERM to the shelf alone", SIGTERM, false, "upgrading to 1.20", {"--silent-after", "100"}},
        {"Ctrl-C while the members start", SIGINT, true, "instruments at once", {}},
        {"SIGHUP while the members start", SIGHUP, false, "instruments at once", {}},
        {"the shelf killed", SIGKILL, false, "upgrading to 1.20", {"--silent-after", "100"}},
        {"the shelf killed under nohup", SIGKILL, false, "upgrading to 1.20", {"--silent-after", "100"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TSimProcess first(c.SimOptions);
        TSimProcess second(c.SimOptions);
        const QString trace = first.Dir() + "/trace.txt";
        const QStringList arguments = {first.MakeImage(), "-p", first.PtyPath(), "-p", second.PtyPath(), "-y",
                                       "--no-history", "--answer-timeout-ms=2000", "--trace", trace};
        TFlash shelf(c.Nohup ? QStringList{KT4_FLASH_PATH} + arguments : arguments, true,
                     c.Nohup ? "nohup" : KT4_FLASH_PATH);
        ASSERT_TRUE(shelf.WaitForOut(c.WaitFor)) << shelf.Describe();
        if (c.Group)
            shelf.SignalGroup(c.Signal);
        else
            shelf.Signal(c.Signal);
        const bool killed = c.Signal == SIGKILL;
        const int status = 128 + (killed ? SIGHUP : c.Signal);
        const QString name = SignalName(killed ? SIGHUP : c.Signal);
        EXPECT_EQ(shelf.Wait(), killed ? -1 : status) << shelf.Describe();
        EXPECT_EQ(shelf.Out().contains("0 of 2 upgraded"), !killed) << shelf.Describe();
        for (TSimProcess* sim : {&first, &second}) {
            const QString label = sim->PtyPath();
            const QString row = QString(" .* %1 +stopped by %2: ").arg(status).arg(name);
            EXPECT_EQ(shelf.Out().contains(QRegularExpression(QRegularExpression::escape(label) + row)), !killed)
                << shelf.Describe();
            const QString memberTrace = first.Dir() + "/trace-" + QString(label).mid(5).replace('/', '_') + ".txt";
            EXPECT_TRUE(WaitFor([&] { return ReadTrace(memberTrace).Last().contains("finished with exit"); }, 90000));
            const TTrace t = ReadTrace(memberTrace);
            EXPECT_EQ(t.Notes.filter("[Signal] " + name).size(), 1) << "one signal each";
            EXPECT_TRUE(t.Last().endsWith(QString("finished with exit status %1").arg(status))) << t.Last().toStdString();
            sim->Stop();
            EXPECT_FALSE(sim->Log().contains("PFM")) << "never programmed";
        }
    }
}
