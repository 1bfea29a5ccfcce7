// kt4-flash: upgrades a KT4 head from the command line.
//
//   kt4-flash IMAGE [-p DEVICE] [-y] [-v] [--connect-timeout S] [--answer-timeout-ms MS] [--trace FILE]
//   kt4-flash IMAGE -p A -p B ...              a shelf: every instrument at once
//   kt4-flash IMAGE --dock ADDRESS|usb [--dock-kind kelo6|express|mp-express]  through a docking station
//   kt4-flash [IMAGE] --identify [-p DEVICE|--dock ADDRESS] [--json]   who is there, nothing written
//   kt4-flash --list-ports | --history [--json|--csv] | --help | --version
//
// A usage error (an unknown option, a missing value, no image or two, a COM
// number outside the table), a refused image and a refused trace end with
// status 2 and one line on standard error, before anything is opened.
//
// Without --port the link chooses its way as the window does: the infrared
// driver's COM port from KT4_IRCOMM on this platform (or the simulated IrDA
// stack named by KT4_IRDA_SIM). With neither, nothing is opened: the command
// lists the ports it knows and stops, since --yes never chooses a device.

#include "app/FlashCommand.h"
#include "app/FlashReport.h"
#include "app/HistoryCommand.h"
#include "app/ImageCheck.h"
#include "app/PortListing.h"
#include "app/Shelf.h"
#include "app/Verbosity.h"
#include "upgrade/ImageChecksum.h"
#include "upgrade/UpgradeTexts.h"
#include "link/ComPorts.h"
#include "link/TraceLog.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <cstdio>

namespace {

constexpr int UsageError = 2;  // shared with "image refused": nothing was sent

// A usage error: one line saying what is wrong, and where to read more.
int UsageFault(const QString& What)
{
    std::fprintf(stderr, "kt4-flash: %s (see kt4-flash --help)\n", qPrintable(TerminalSafe(What)));
    return UsageError;
}

// A whole number in [Minimum, Maximum] from option Name, or a usage error.
bool ReadNumber(const QCommandLineParser& Parser, const QString& Name, int Minimum, int Maximum, int* Value)
{
    bool ok = false;
    const qlonglong n = Parser.value(Name).toLongLong(&ok);
    if (!ok || n < Minimum || n > Maximum) {
        UsageFault(QString("--%1 needs a whole number from %2 to %3, not \"%4\"")
                       .arg(Name)
                       .arg(Minimum)
                       .arg(Maximum)
                       .arg(Parser.value(Name)));
        return false;
    }
    *Value = static_cast<int>(n);
    return true;
}

// "COM6" (in any case) is the sixth COM port; anything else is a path, a
// relative one taken from the current directory (never a name under /dev). A
// COM number outside the table (and without its KT4_COM<n>) is a usage error.
bool PortDevice(const QString& Port, QString* Device)
{
    static const QRegularExpression comName("^COM(\\d+)$", QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch com = comName.match(Port);
    if (com.hasMatch()) {
        bool ok = false;
        const int number = com.captured(1).toInt(&ok);
        const QString path = ok ? ComDevicePath(number) : QString();
        if (path.isEmpty()) {
            UsageFault(QString("--port %1: COM numbers go from 1 to %2").arg(Port).arg(MaxComPort));
            return false;
        }
        *Device = path;
        return true;
    }
    *Device = QFileInfo(Port).absoluteFilePath();
    return true;
}

// The image is refused before anything is opened, with its name and the
// cause: not a flash image, or not the checksum it must have.
bool ImageAccepted(const QString& Image, const QString& ExpectSha256)
{
    const QString problem = FlashImageProblem(Image);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "kt4-flash: %s %s: %s\n", qPrintable(UpgradeText::NotAFlashFile),
                     qPrintable(OutsideText::OneLine(Image)), qPrintable(problem));
        return false;
    }
    QFile file(Image);
    const QString checksum = ExpectSha256.isEmpty() || !file.open(QIODevice::ReadOnly)
                                 ? QString()
                                 : ImageChecksum::Problem(Image, file.readAll(), ExpectSha256);
    if (checksum.isEmpty())
        return true;
    std::fprintf(stderr, "kt4-flash: %s\n", qPrintable(checksum));
    return false;
}

// The bench options that need checking before anything is opened: the
// checksum's form and the report file. False after the usage fault is told.
bool ReadBenchOptions(const QCommandLineParser& Parser, const QString& Image, TFlashOptions* Options)
{
    Options->Identify = Parser.isSet("identify");
    Options->Json = Parser.isSet("json");
    Options->SkipCurrent = Parser.isSet("skip-current");
    Options->Watch = Parser.isSet("watch");
    if (Options->Watch && Parser.values("port").isEmpty() && Parser.values("dock").isEmpty()) {
        UsageFault("--watch needs the docks (--dock) or ports (--port) to watch");
        return false;
    }
    if (Options->Watch && Options->Json) {
        UsageFault("--watch tells the bench in rows, not --json");
        return false;
    }
    if (Parser.isSet("verify") || Parser.isSet("verify-timeout")) {
        Options->VerifyTimeOutSeconds = 60;
        if (Parser.isSet("verify-timeout") && !ReadNumber(Parser, "verify-timeout", 1, 3600, &Options->VerifyTimeOutSeconds))
            return false;
    }
    if (Parser.isSet("expect-sha256")) {
        Options->ExpectSha256 = ImageChecksum::Normalised(Parser.value("expect-sha256"));
        if (Options->ExpectSha256.isEmpty()) {
            UsageFault("--expect-sha256 needs 64 hexadecimal digits, not \"" + Parser.value("expect-sha256") + "\"");
            return false;
        }
    }
    if (Options->Json && !Options->Identify) {
        UsageFault("--json goes with --identify or --history");
        return false;
    }
    if (Parser.isSet("report")) {
        Options->ReportFile = QFileInfo(Parser.value("report")).absoluteFilePath();
        const QString problem = Parser.value("report").isEmpty() ? QString("no file named")
                                                                 : TraceFileProblem(Options->ReportFile, Image);
        if (!problem.isEmpty()) {
            UsageFault("cannot write the report " + Parser.value("report") + ": " + problem);
            return false;
        }
    }
    return true;
}

// A shelf's member traces are held to the trace's rules before any member
// starts, each under its own name, and refused as a member would refuse it.
bool MemberTracesAccepted(const TShelfOptions& Shelf)
{
    if (Shelf.TraceFile.isEmpty())
        return true;
    for (const TShelfEntry& entry : Shelf.Entries) {
        const QString trace = MemberTraceFile(Shelf.TraceFile, entry.Label);
        const QString problem = TraceFileProblem(trace, Shelf.Image);
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "kt4-flash: cannot write the trace %s: %s\n", qPrintable(OutsideText::OneLine(trace)),
                         qPrintable(problem));
            return false;
        }
    }
    return true;
}

// What --help adds below the options.
const char* const HelpEpilogue = R"(
Exit status:
  0  the instrument acknowledged the program command: it runs the new firmware
  1  cancelled (a question answered Cancel or No, or no answer on standard input)
  2  invalid arguments, or the image or the --trace file was refused;
     nothing was opened
  3  not connected: no port given, the port could not be opened, or the
     instrument (or the dock) did not answer
  4  failed: the upload or the program command did not go through; the
     instrument keeps its old firmware
  5  upgraded (as 0), but the --trace file could not be written whole (a full
     disk, say; told on standard error at once); a failure keeps its status
  129, 130, 143  stopped by SIGHUP (the terminal closed, the SSH session
     dropped; not under nohup), SIGINT (Ctrl-C) or SIGTERM, as Stop does: the
     upload given up, the instrument let go of, a dock handed back; a second
     signal ends at once
  A shelf (several --port or --dock) exits 0 only when every instrument was
  upgraded, otherwise with the gravest of their statuses (4, then 3, then 1,
  then 5); stopped by a signal, every instrument is stopped and the shelf
  ends with 129, 130 or 143 after its summary. An instrument whose shelf is
  gone (killed) is stopped as after SIGHUP.

Environment:
  KT4_IRCOMM=COM6|DEVICE   the infrared adapter's port, used without --port
  KT4_COM<n>=DEVICE        the device of COM port n (otherwise COM1-16 are
                           /dev/ttyS0-15, COM17-32 /dev/ttyUSB0-15, COM33-48
                           /dev/ttyACM0-15, COM49-50 /dev/rfcomm0-1)
  KT4_IRDA_SIM=PATH        a simulated IrDA stack served by kt4-sim --irda PATH
  KT4_USB_KELO6, KT4_USB_KELOEXPRESS, KT4_USB_MPKELOEXPRESS, KT4_USB_MIRTAL
                           the USB IDs of a dock family, vvvv:pppp[,vvvv:pppp]
                           (for --dock usb); KT4_USB_SIM=DIR a simulated USB bus
  KT4_DOCK_BROADCAST=ADDR  where the dock search sends its enquiry (default
                           255.255.255.255)

Examples:
  kt4-flash --list-ports
      which serial ports there are, and whether you may open them
  kt4-flash zra-2.00.bin -p /dev/ttyUSB0
      upgrade the instrument on the USB adapter, asking before it starts
  kt4-flash zra-2.00.bin -p COM17 -p COM18 -y --trace trace.txt
      two instruments at once, without questions, a trace for each
)";

void ListKnownPorts()
{
    std::fprintf(stderr, "kt4-flash: no port given. Name the instrument's port with --port DEVICE (or set KT4_IRCOMM).\n"
                         "Serial ports on this computer:\n");
    ListPorts(stderr);
}

// Options a member of a shelf runs with, as they were given.
QStringList MemberOptions(const QCommandLineParser& Parser)
{
    QStringList options;
    for (const char* name : {"connect-timeout", "answer-timeout-ms", "dock-kind", "expect-sha256", "verify-timeout"})
        if (Parser.isSet(name))
            options << QString("--%1=%2").arg(name, Parser.value(name));
    for (const char* name : {"identify", "skip-current", "verify", "watch"})
        if (Parser.isSet(name))
            options << QString("--%1").arg(name);
    for (int i = 0; i < Verbosity::Get(); ++i)
        options << "-v";
    return options;
}

int RunMembers(const TShelfOptions& Shelf, TSignalWatch& Signals);

// Every instrument at once, each in its own process. The image and the
// entries are checked, and the operator asked once, before any starts.
int RunShelf(const QCommandLineParser& Parser, const TFlashOptions& Options, TSignalWatch& Signals)
{
    const QString& Image = Options.Image;
    TShelfOptions shelf;
    shelf.Program = QCoreApplication::applicationFilePath();
    shelf.Image = Image.isEmpty() ? QString() : QFileInfo(Image).absoluteFilePath();
    shelf.Identify = Options.Identify;
    shelf.Watch = Options.Watch;
    shelf.Json = Options.Json;
    shelf.ReportFile = Options.ReportFile;
    shelf.MemberOptions = MemberOptions(Parser);
    if (Parser.isSet("trace"))
        shelf.TraceFile = QFileInfo(Parser.value("trace")).absoluteFilePath();
    for (const QString& port : Parser.values("port")) {
        if (port.isEmpty())
            return UsageFault("--port needs a device");
        QString device;
        if (!PortDevice(port, &device))
            return UsageError;
        shelf.Entries << PortEntry(port, device);
    }
    for (const QString& dock : Parser.values("dock")) {
        if (dock.trimmed().isEmpty())
            return UsageFault("--dock needs a network address or \"usb\"");
        shelf.Entries << DockEntry(dock.trimmed());
    }
    const QString shared = SharedResource(shelf.Entries);
    if (!shared.isEmpty())
        return UsageFault(shared + ": two upgrades at once would mix on it");
    if (!MemberTracesAccepted(shelf))
        return UsageError;
    if (Options.Identify && Image.isEmpty())
        return RunMembers(shelf, Signals);
    if (!ImageAccepted(Image, Options.ExpectSha256))
        return fsImageRefused;
    TKT4Head image;
    if (!image.LoadFlashFile(Image)) {
        Dialogs().MessageDlg(UpgradeText::NotAFlashFile, mtError, mbOK);
        return fsImageRefused;
    }
    if (Options.Identify)
        return RunMembers(shelf, Signals);
    std::fprintf(stdout, "Image: version %s. Every instrument%s is upgraded to it without further questions, "
                         "an older version included%s.\n",
                 qPrintable(OutsideText::OneLine(QString::fromLatin1(image.FileVersion()))),
                 Options.Watch ? " placed until Ctrl-C" : "",
                 Options.SkipCurrent ? "; one already at it is left alone" : "");
    if (Dialogs().MessageDlg(UpgradeText::EraseWarning, mtWarning, mbOKCancel) != mrOk)
        return TSignalWatch::Caught() ? fsSignalled + TSignalWatch::Caught() : int(fsCancelled);
    return RunMembers(shelf, Signals);
}

int RunMembers(const TShelfOptions& Shelf, TSignalWatch& Signals)
{
    TShelf run(Shelf, stdout);
    if (!run.ReportOk())
        return UsageError;
    Signals.OnSignal = [&run](int Signal) {
        std::fprintf(stderr, "kt4-flash: %s: every upgrade is stopped\n", TSignalWatch::Name(Signal));
        run.Forward(Signal);
    };
    const int status = run.Run();
    return TSignalWatch::Caught() ? fsSignalled + TSignalWatch::Caught() : status;
}

}  // namespace

int main(int argc, char** argv)
{
    // Output whose reader is gone (a pipe into tee in a dropped SSH session, a
    // shelf's report unread) never ends the program before it has let go of
    // its instrument and its dock: the write fails, and the upgrade goes on,
    // or stops as a signal asks.
    std::signal(SIGPIPE, SIG_IGN);
    TCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt4-flash");
    QCoreApplication::setApplicationVersion(KT4_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription("Uploads a flash image into a KT4 head, or into several at once.");
    const QCommandLineOption help({"h", "help"}, "Show this help and the exit statuses, then end.");
    const QCommandLineOption version({"V", "version"}, "Show the program's version, then end.");
    parser.addOption(help);
    parser.addOption(version);
    parser.addPositionalArgument("IMAGE", "The flash image file (131072 bytes).");
    parser.addOption({{"p", "port"},
                      "Serial device of the instrument (for example /dev/ttyUSB0, or COM6). Given more than once, "
                      "every instrument is upgraded at once, each in its own process.",
                      "device"});
    parser.addOption({"dock",
                      "Upgrade through the Kelo6 docking station at this network address, or through the first "
                      "one on the USB bus with \"usb\". Given more than once (or with --port), every instrument "
                      "is upgraded at once.",
                      "address|usb"});
    parser.addOption({"dock-kind", "The kind of dock: kelo6 (the default), express or mp-express.", "kind", "kelo6"});
    parser.addOption({{"y", "yes"}, "Answer every question about the upgrade with OK or Yes (never chooses a port)."});
    parser.addOption({{"v", "verbose"}, "Tell more on standard error; give it twice for still more."});
    parser.addOption({"connect-timeout", "Seconds to wait for the instrument, 1 to 86400 (default 60).", "seconds", "60"});
    parser.addOption({"answer-timeout-ms",
                      "Wait this many milliseconds for each answer instead of the instrument's own time-outs "
                      "(5 to 30 s), 1 to 600000.",
                      "ms"});
    parser.addOption({"trace",
                      "Write every text sent and received, with its time, into this file (for support): a new "
                      "file or a regular one, never the image, a device or a symbolic link. With several ports, "
                      "one file per instrument named after its port.",
                      "file"});
    parser.addOption({"list-ports",
                      "List the serial ports with their adapters, and whether you may open them (and if not, "
                      "why and what to do)."});
    QCommandLineOption member("shelf-member",
                              "One instrument of a shelf: its report on standard output, one JSON event a line.");
    member.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(member);
    parser.addOption({"identify",
                      "Only connect, tell the instrument's type, flash version and way, and let it go: nothing is "
                      "written. With IMAGE, also whether it would be an upgrade. Status 3 when nothing answered."});
    parser.addOption({"skip-current",
                      "Leave an instrument that already runs the image's version alone: nothing is sent, status 0."});
    parser.addOption({"watch",
                      "Watch the docks (--dock) and ports (--port) until Ctrl-C: every instrument placed is "
                      "upgraded (or left alone with --skip-current), the dock's display tells the outcome, and "
                      "a dock that fails three in a row is parked. One live row per dock, a summary at the end."});
    parser.addOption({"verify",
                      "Count the upgrade only once the restarted instrument answers again with the image's "
                      "version; status 4 when it reports its old one or does not come back."});
    parser.addOption({"verify-timeout", "With --verify: seconds to wait for the restart, 1 to 3600 (default 60).",
                      "seconds"});
    parser.addOption({"expect-sha256", "Refuse the image, before any port is opened, unless its SHA-256 is HEX.", "hex"});
    parser.addOption({"report",
                      "Write one row per instrument as it ends (UTC time, host, way, versions, image and its "
                      "SHA-256, outcome, resends, duration, failure): CSV when FILE ends in .csv, else JSON lines.",
                      "file"});
    parser.addOption({"history", "Print the upgrade history, newest first (KT4_HISTORY=FILE names another file)."});
    parser.addOption({"last", "With --history: only the last N attempts.", "N", "0"});
    parser.addOption({"json", "With --history or --identify: one JSON object per line, with every field."});
    parser.addOption({"csv", "With --history: CSV with a header line, for a spreadsheet."});
    parser.addOption({"no-history", "Record nothing in the upgrade history."});

    if (!parser.parse(QCoreApplication::arguments())) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString& name = unknown.first();
            return UsageFault(QString("unknown option %1%2").arg(name.size() == 1 ? "-" : "--", name));
        }
        QString error = parser.errorText();
        if (error.endsWith('.'))
            error.chop(1);
        return UsageFault(error.isEmpty() ? QString("invalid arguments") : error[0].toLower() + error.mid(1));
    }
    if (parser.isSet(help)) {
        // Named as the program is called, not by the path it was started from.
        QString text = parser.helpText();
        text.replace(QRegularExpression("^Usage: \\S+"), "Usage: kt4-flash");
        std::fputs(qPrintable(text), stdout);
        std::fputs(HelpEpilogue, stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("kt4-flash %s\n", KT4_VERSION);
        return 0;
    }
    Verbosity::Set(int(parser.optionNames().count("v") + parser.optionNames().count("verbose")));
    if (parser.isSet("no-history"))
        qputenv("KT4_HISTORY", "");  // none for this upgrade and for every member of a shelf
    if (parser.isSet("history")) {
        int last = 0;
        if (!ReadNumber(parser, "last", 0, 1000000, &last))
            return UsageError;
        if (parser.isSet("json") && parser.isSet("csv"))
            return UsageFault("--json or --csv, not both");
        const THistoryFormat format = parser.isSet("json")  ? THistoryFormat::Json
                                      : parser.isSet("csv") ? THistoryFormat::Csv
                                                            : THistoryFormat::Table;
        return RunHistoryCommand(TUpgradeHistory::DefaultPath(), last, format, stdout);
    }
    if (parser.isSet("list-ports")) {
        ListPorts(stdout);
        return 0;
    }
    const QStringList images = parser.positionalArguments();
    if (images.isEmpty() && !parser.isSet("identify"))
        return UsageFault("no image given: name the flash image file");
    if (images.size() > 1)
        return UsageFault(QString("one image at a time, not %1 (%2); each instrument needs its own --port")
                              .arg(images.size())
                              .arg(images.join(", ")));

    TFlashOptions options;
    options.Image = images.value(0);
    if (!ReadBenchOptions(parser, options.Image, &options))
        return UsageError;
    options.NoHistory = parser.isSet("no-history");
    if (!ReadNumber(parser, "connect-timeout", 1, 86400, &options.ConnectTimeOutSeconds))
        return UsageError;
    if (parser.isSet("answer-timeout-ms") && !ReadNumber(parser, "answer-timeout-ms", 1, 600000, &options.AnswerTimeOutMs))
        return UsageError;
    options.DockKind = parser.value("dock-kind").trimmed().toLower();
    if (!QStringList({"kelo6", "express", "mp-express"}).contains(options.DockKind))
        return UsageFault("--dock-kind is kelo6, express or mp-express, not \"" + options.DockKind + "\"");
    if (parser.values("port").size() + parser.values("dock").size() > 1 || (options.Watch && !parser.isSet("shelf-member"))) {
        auto console = std::make_unique<TConsoleDialogs>(parser.isSet("yes"), stdin, stdout, stderr);
        TSignalWatch watch;  // a signal at the erase question gives it up
        console->SetInterruptFd(TSignalWatch::InterruptFd());
        SetDialogService(std::move(console));
        return RunShelf(parser, options, watch);
    }
    if (parser.isSet("dock") && parser.value("dock").trimmed().isEmpty())
        return UsageFault("--dock needs a network address or \"usb\"");
    options.Dock = parser.value("dock").trimmed();
    if (parser.isSet("port") && !parser.value("port").isEmpty() && !PortDevice(parser.value("port"), &options.Port))
        return UsageError;
    if (!options.Image.isEmpty() && !ImageAccepted(options.Image, options.ExpectSha256))
        return fsImageRefused;

    const bool noWay = parser.isSet("dock")   ? false
                       : parser.isSet("port") ? parser.value("port").isEmpty()
                                            : qEnvironmentVariableIsEmpty("KT4_IRCOMM") &&
                                                  qEnvironmentVariableIsEmpty("KT4_IRDA_SIM");
    if (noWay) {
        ListKnownPorts();
        return fsNotConnected;
    }
    options.TraceFile = parser.value("trace");
    options.AssumeYes = parser.isSet("yes");
    options.Arguments = QCoreApplication::arguments().mid(1);
    // A trace grown past the file size limit is a trace that cannot be
    // written (told, and the upgrade goes on), not the end of the program.
    std::signal(SIGXFSZ, SIG_IGN);

    // A member of a shelf keeps its standard output for the shelf's report
    // (app/FlashReport.h): a pipe the shelf reads, which nothing else writes
    // to, since the person's lines go to standard error.
    // Identifying with --json keeps standard output for the instrument's object.
    const bool isMember = parser.isSet("shelf-member");
    FILE* out = isMember || options.Json ? stderr : stdout;
    if (isMember)
        options.Report = stdout;
    TFlashCommand command(options, out);
    auto console = std::make_unique<TConsoleDialogs>(options.AssumeYes, stdin, out, stderr);
    console->SetPresetFile(options.Image);
    console->SetInterruptFd(TSignalWatch::InterruptFd());  // a signal gives up the question it interrupts
    console->OnAnswer = [&command](const QString& Button, const QString& How) { command.AnswerGiven(Button, How); };
    SetDialogService(std::make_unique<TObservedDialogs>(
        std::move(console), [&command](TMsgDlgType Type, const QString& Text) { command.BoxShown(Type, Text); }));
    const int status = command.Run();
    SetDialogService(nullptr);  // the observer goes with the command
    return status;
}
