// The programs' command-line conventions, as a user at a terminal meets them:
// what goes to standard output and what to standard error, the exit status of
// each mistake, --help and --version (the window's without a display), and
// the manual pages and the bash completion kept in step with --help.

#include "head/KT4Head.h"
#include "tests/app/SimProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct TRun {
    int ExitCode = -1;  // -1: ended by a signal
    QString Out, Err;
};

// Runs Program with standard input closed and the two output streams apart.
// Environment entries are "NAME=value"; "NAME" alone removes the variable.
TRun RunProgram(const QString& Program, const QStringList& Arguments, const QStringList& Environment = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : Environment) {
        if (entry.contains('='))
            env.insert(entry.section('=', 0, 0), entry.section('=', 1));
        else
            env.remove(entry);
    }
    process.setProcessEnvironment(env);
    process.start(Program, Arguments);
    process.closeWriteChannel();
    process.waitForFinished(-1);
    TRun run;
    run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.Out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.Err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

TRun Flash(const QStringList& Arguments, const QStringList& Environment = {})
{
    return RunProgram(KT4_FLASH_PATH, Arguments, Environment);
}

QString Describe(const TRun& Run)
{
    return QString("status %1\n--- stdout\n%2--- stderr\n%3").arg(Run.ExitCode).arg(Run.Out, Run.Err);
}

void WriteFile(const QString& Path, const QByteArray& Data)
{
    QFile f(Path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(Data);
}

QByteArray ReadFile(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The long options a program's --help lists ("--port", "--dock-kind", ...).
QStringList LongOptions(const QString& Help)
{
    QStringList names;
    static const QRegularExpression option("^  (?:-\\S, )*(--[a-z][a-z0-9-]*)", QRegularExpression::MultilineOption);
    for (auto it = option.globalMatch(Help); it.hasNext();)
        names << it.next().captured(1);
    return names;
}

QString SourceFile(const QString& Relative)
{
    return QString(KT4_SOURCE_DIR) + "/" + Relative;
}

}  // namespace

// Every mistake on the command line ends with status 2 and one line on
// standard error (never the whole help), before a port is opened: the
// instrument on the port named hears nothing.
TEST(CliConventions, MistakesEndWithStatusTwoAndOneLineOnStandardError)
{
    TSimProcess sim;
    const QString image = sim.MakeImage();
    const QByteArray good = ReadFile(image);
    QByteArray wrongType = good;
    wrongType[FlashTypeOffset] = 0x11;
    WriteFile(sim.Dir() + "/short.bin", good.left(FlashImageSize - 1));
    WriteFile(sim.Dir() + "/long.bin", good + good);
    WriteFile(sim.Dir() + "/empty.bin", QByteArray());
    WriteFile(sim.Dir() + "/type.bin", wrongType);

    const struct {
        const char* Name;
        QStringList Arguments;
        QString Says;
        bool Usage;  // a usage error points to --help; an image refusal names the file
    } cases[] = {
        {"unknown option", {"--prot", "{pty}", "{image}"}, "unknown option --prot", true},
        {"unknown short option", {"{image}", "-x", "-p", "{pty}"}, "unknown option -x", true},
        {"missing value", {"{image}", "--port"}, "missing value after '--port'", true},
        {"no image", {"-p", "{pty}", "-y"}, "no image given", true},
        {"two images", {"{image}", "{dir}/short.bin", "-p", "{pty}"}, "one image at a time", true},
        {"COM99", {"{image}", "--port", "COM99", "-y"}, "--port COM99: COM numbers go from 1 to 50", true},
        {"COM0 in a shelf", {"{image}", "-p", "COM0", "-p", "{pty}", "-y"}, "COM numbers go from 1 to 50", true},
        {"not a number", {"{image}", "-p", "{pty}", "--connect-timeout", "soon"},
         "--connect-timeout needs a whole number from 1 to 86400", true},
        {"unknown dock kind", {"{image}", "--dock", "127.0.0.1", "--dock-kind", "kelo7"}, "--dock-kind is", true},
        {"missing image", {"{dir}/missing.bin", "-p", "{pty}", "-y"}, "{dir}/missing.bin: no such file", false},
        {"a directory", {"{dir}", "-p", "{pty}", "-y"}, "{dir}: a directory, not a file", false},
        {"one byte short", {"{dir}/short.bin", "-p", "{pty}", "-y"},
         "short.bin: 131071 bytes; a flash file has exactly 131072", false},
        {"twice as long", {"{dir}/long.bin", "-p", "{pty}", "-y"}, "long.bin: 262144 bytes", false},
        {"empty", {"{dir}/empty.bin", "-p", "{pty}", "-y"}, "empty.bin: the file is empty", false},
        {"wrong type byte", {"{dir}/type.bin", "-p", "{pty}", "-y"}, "type.bin: type byte 0x11 at offset 0x1FFD9", false},
        {"a shelf's image", {"{dir}/short.bin", "-p", "{pty}", "--dock", "127.0.0.1", "-y"}, "short.bin: 131071 bytes",
         false},
    };
    const auto fill = [&](QString Text) {
        return Text.replace("{pty}", sim.PtyPath()).replace("{image}", image).replace("{dir}", sim.Dir());
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        QStringList arguments;
        for (const QString& argument : c.Arguments)
            arguments << fill(argument);
        const TRun run = Flash(arguments);
        EXPECT_EQ(run.ExitCode, 2) << Describe(run).toStdString();
        EXPECT_EQ(run.Out, "") << "nothing on standard output";
        EXPECT_EQ(run.Err.count('\n'), 1) << "one line: " << run.Err.toStdString();
        EXPECT_TRUE(run.Err.endsWith('\n'));
        EXPECT_TRUE(run.Err.startsWith("kt4-flash: ")) << run.Err.toStdString();
        EXPECT_TRUE(run.Err.contains(fill(c.Says))) << run.Err.toStdString();
        if (c.Usage) {
            EXPECT_TRUE(run.Err.contains("see kt4-flash --help")) << run.Err.toStdString();
        } else {
            EXPECT_TRUE(run.Err.contains("This is not a valid Corvane ZRA/ZRN flash file! ")) << run.Err.toStdString();
        }
    }
    sim.Stop();
    EXPECT_FALSE(sim.Log().contains("ENQ")) << "nothing reached the instrument";
}

// An image the user may not read is refused as such, with its name; checked
// as an unprivileged user when the test runs as root (root reads anything).
TEST(CliConventions, AnUnreadableImageIsRefusedWithItsName)
{
    TSimProcess sim;
    const QString image = sim.MakeImage("1.20", "locked.bin");
    ASSERT_EQ(::chmod(QFile::encodeName(image).constData(), 0), 0);
    QString program = KT4_FLASH_PATH;
    QStringList arguments = {image, "-p", sim.PtyPath(), "-y"};
    if (::geteuid() == 0) {
        if (QStandardPaths::findExecutable("setpriv").isEmpty())
            GTEST_SKIP() << "as root, needs setpriv to run as another user";
        // The folder lets the other user look for the file, the file lets no one read it.
        ASSERT_EQ(::chmod(QFile::encodeName(sim.Dir()).constData(), 0755), 0);
        const QStringList asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups", program};
        if (RunProgram("setpriv", asNobody + QStringList{"--version"}).Out != "kt4-flash 1.1.0.4\n")
            GTEST_SKIP() << "the unprivileged user may not run " << KT4_FLASH_PATH << " from where it was built";
        arguments = asNobody + arguments;
        program = "setpriv";
    }
    const TRun run = RunProgram(program, arguments);
    EXPECT_EQ(run.ExitCode, 2) << Describe(run).toStdString();
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(run.Err, "kt4-flash: This is not a valid Corvane ZRA/ZRN flash file! " + image +
                           ": cannot be read: permission denied\n");
    sim.Stop();
    EXPECT_FALSE(sim.Log().contains("ENQ"));
}

// --help, --version and the short options answer as the well-known flashers
// do: on standard output with status 0; -v asks for more output and is no
// longer the version.
TEST(CliConventions, HelpVersionAndShortOptions)
{
    for (const char* option : {"-V", "--version"}) {
        const TRun run = Flash({option});
        EXPECT_EQ(run.ExitCode, 0) << option;
        EXPECT_EQ(run.Out, "kt4-flash 1.1.0.4\n");
        EXPECT_EQ(run.Err, "");
    }
    for (const char* option : {"-h", "--help"}) {
        const TRun run = Flash({option});
        EXPECT_EQ(run.ExitCode, 0) << option;
        EXPECT_EQ(run.Err, "");
        const QString& help = run.Out;
        EXPECT_TRUE(help.startsWith("Usage: kt4-flash [options] IMAGE\n")) << help.toStdString();
        for (const char* shown : {"-p, --port <device>", "-y, --yes", "-v, --verbose", "-V, --version", "-h, --help",
                                  "--list-ports", "--trace <file>", "--dock <address|usb>"})
            EXPECT_TRUE(help.contains(shown)) << shown;
        for (const char* status : {"  0  ", "  1  cancelled", "  2  invalid arguments", "  3  not connected",
                                   "  4  failed"})
            EXPECT_TRUE(help.contains(status)) << status;
        for (const char* variable : {"KT4_IRCOMM=", "KT4_COM<n>=", "KT4_IRDA_SIM=", "KT4_USB_KELO6",
                                     "KT4_USB_MIRTAL", "KT4_DOCK_BROADCAST="})
            EXPECT_TRUE(help.contains(variable)) << variable;
        const QString examples = help.mid(help.indexOf("\nExamples:\n"));
        EXPECT_GE(examples.count(QRegularExpression("\n  kt4-flash \\S")), 2) << examples.toStdString();
    }

    // -v is taken: with no way to the instrument the command gets as far as
    // saying so (status 3), not to a version or a usage error.
    TSimProcess sim;
    const QString image = sim.MakeImage();
    const TRun verbose = Flash({"-v", image, "-y"}, {"KT4_IRCOMM", "KT4_IRDA_SIM"});
    EXPECT_EQ(verbose.ExitCode, 3) << Describe(verbose).toStdString();
    EXPECT_TRUE(verbose.Err.contains("no port given"));

    // -p and -y are --port and --yes: an upgrade, its progress and result on
    // standard output, nothing on standard error.
    const TRun run = Flash({image, "-p", sim.PtyPath(), "-y"});
    EXPECT_EQ(run.ExitCode, 0) << Describe(run).toStdString();
    EXPECT_TRUE(run.Out.contains("Flash Upload Completed"));
    EXPECT_EQ(run.Err, "");
    EXPECT_EQ(AskVersion(sim.PtyPath()), "ACK71.20");
}

// The window answers --help and --version on the terminal, without a display
// and without opening a window.
TEST(CliConventions, TheWindowAnswersHelpAndVersionWithoutADisplay)
{
    const QStringList noDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    for (const char* option : {"-h", "--help"}) {
        const TRun run = RunProgram(KT4_UPGRADE_PATH, {option}, noDisplay);
        EXPECT_EQ(run.ExitCode, 0) << Describe(run).toStdString();
        EXPECT_TRUE(run.Out.startsWith("Usage: kt4-upgrade")) << run.Out.toStdString();
        EXPECT_TRUE(run.Out.contains("--show-dock"));
        EXPECT_TRUE(run.Out.contains("KT4_IRCOMM"));
        EXPECT_EQ(run.Err, "");
    }
    for (const char* option : {"-V", "--version"}) {
        const TRun run = RunProgram(KT4_UPGRADE_PATH, {option}, noDisplay);
        EXPECT_EQ(run.ExitCode, 0) << Describe(run).toStdString();
        EXPECT_EQ(run.Out, "kt4-upgrade 1.1.0.4\n");
        EXPECT_EQ(run.Err, "");
    }
}

// Each program's manual page describes every option its --help lists, so a
// new option is not left out of the page.
TEST(CliConventions, ManualPagesDescribeEveryOption)
{
    const struct {
        const char* Program;
        QString Path;
    } programs[] = {
        {"kt4-flash", KT4_FLASH_PATH},
        {"kt4-upgrade", KT4_UPGRADE_PATH},
        {"kt4-sim", KT4_SIM_PATH},
    };
    for (const auto& p : programs) {
        SCOPED_TRACE(p.Program);
        const TRun help = RunProgram(p.Path, {"--help"}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
        ASSERT_EQ(help.ExitCode, 0) << Describe(help).toStdString();
        const QStringList options = LongOptions(help.Out);
        EXPECT_GE(options.size(), 3) << help.Out.toStdString();
        QString page = QString::fromUtf8(ReadFile(SourceFile(QString("packaging/man/%1.1").arg(p.Program))));
        ASSERT_FALSE(page.isEmpty());
        page.replace("\\-", "-").remove("\\fB").remove("\\fR").remove("\\fI");
        for (const QString& option : options)
            EXPECT_TRUE(page.contains(QRegularExpression(QRegularExpression::escape(option) + "(?![a-z-])")))
                << option.toStdString() << " is not in the manual page";
    }
}

// The bash completion offers every option --help lists, the dock kinds, and
// for --port the serial devices present with their COM names (and the COM
// ports named by KT4_COM<n>), nothing else from /dev.
TEST(CliConventions, BashCompletion)
{
    const QString script = SourceFile("packaging/completion/kt4-flash");
    const auto complete = [&](const QStringList& Words, const QStringList& Environment = {}) {
        QString line;
        for (const QString& word : Words)
            line += " '" + QString(word).replace("'", "'\\''") + "'";
        const QString program = QString("source '%1'; COMP_WORDS=(%2); COMP_CWORD=%3; _kt4_flash; "
                                        "printf '%s\\n' \"${COMPREPLY[@]}\"")
                                    .arg(script, line)
                                    .arg(Words.size() - 1);
        const TRun run = RunProgram("bash", {"--norc", "--noprofile", "-c", program}, Environment);
        EXPECT_EQ(run.ExitCode, 0) << Describe(run).toStdString();
        QStringList replies = run.Out.split('\n', Qt::SkipEmptyParts);
        replies.sort();
        return replies;
    };

    const QStringList options = complete({"kt4-flash", "-"});
    const TRun help = Flash({"--help"});
    for (const QString& option : LongOptions(help.Out))
        EXPECT_TRUE(options.contains(option)) << option.toStdString() << " is not completed";
    for (const char* shortOption : {"-p", "-y", "-v", "-V", "-h"})
        EXPECT_TRUE(options.contains(shortOption)) << shortOption;
    EXPECT_EQ(complete({"kt4-flash", "--po"}), QStringList{"--port"});
    EXPECT_EQ(complete({"kt4-flash", "x.bin", "--dock-kind", ""}),
              QStringList({"express", "kelo6", "mp-express"}));

    // The serial devices that exist here, with their COM names by the table.
    QStringList expected;
    const struct {
        const char* Prefix;
        int FirstCom, Count;
    } table[] = {{"ttyS", 1, 16}, {"ttyUSB", 17, 16}, {"ttyACM", 33, 16}, {"rfcomm", 49, 2}};
    for (const auto& range : table) {
        for (const QString& name : QDir("/dev").entryList({QString(range.Prefix) + "[0-9]*"}, QDir::System)) {
            expected << "/dev/" + name;
            const int n = name.mid(qstrlen(range.Prefix)).toInt();
            if (n < range.Count)
                expected << QString("COM%1").arg(range.FirstCom + n);
        }
    }
    expected << "COM7";  // named by KT4_COM7
    expected.sort();
    const QStringList environment = {"KT4_COM7=/dev/pts/0"};
    EXPECT_EQ(complete({"kt4-flash", "x.bin", "--port", ""}, environment), expected);
    EXPECT_EQ(complete({"kt4-flash", "x.bin", "-p", ""}, environment), expected);
    EXPECT_EQ(complete({"kt4-flash", "x.bin", "--port", "=", ""}, environment), expected) << "--port=";
    for (const QString& reply : complete({"kt4-flash", "-p", "/dev/"}))
        EXPECT_TRUE(reply.contains(QRegularExpression("^/dev/(ttyS|ttyUSB|ttyACM|rfcomm)\\d+$")))
            << reply.toStdString();
}
