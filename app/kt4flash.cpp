// kt4-flash: upgrades a KT4 head from the command line.
//
//   kt4-flash IMAGE [--port DEVICE] [--yes] [--connect-timeout S] [--answer-timeout-ms MS] [--trace FILE]
//   kt4-flash IMAGE --port A --port B ...      a shelf: every instrument at once
//   kt4-flash IMAGE --dock ADDRESS|usb [--dock-kind kelo6|express|mp-express]  through a docking station
//   kt4-flash --list-ports
//
// Without --port the link chooses its way as the window does: the infrared
// driver's COM port from KT4_IRCOMM on this platform (or the simulated IrDA
// stack named by KT4_IRDA_SIM). With neither, nothing is opened: the command
// lists the ports it knows and stops, since --yes never chooses a device.

#include "app/FlashCommand.h"
#include "app/FlashReport.h"
#include "app/HistoryCommand.h"
#include "app/PortListing.h"
#include "app/Shelf.h"
#include "app/UpgradeTexts.h"
#include "link/ComPorts.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>
#include <cstdio>

namespace {

constexpr int UsageError = 2;  // shared with "image refused": nothing was sent

// A whole number in [Minimum, Maximum] from option Name, or a message.
bool ReadNumber(const QCommandLineParser& Parser, const QString& Name, int Minimum, int Maximum, int* Value)
{
    bool ok = false;
    const qlonglong n = Parser.value(Name).toLongLong(&ok);
    if (!ok || n < Minimum || n > Maximum) {
        std::fprintf(stderr, "kt4-flash: --%s needs a whole number from %d to %d, not \"%s\"\n", qPrintable(Name),
                     Minimum, Maximum, qPrintable(TerminalSafe(Parser.value(Name))));
        return false;
    }
    *Value = static_cast<int>(n);
    return true;
}

// "COM6" is the sixth COM port; anything else is a path, a relative one taken
// from the current directory (never a name under /dev).
QString PortDevice(const QString& Port)
{
    const QRegularExpressionMatch com = QRegularExpression("^COM(\\d{1,2})$").match(Port);
    if (com.hasMatch()) {
        const QString path = ComDevicePath(com.captured(1).toInt());
        if (!path.isEmpty())
            return path;
    }
    return QFileInfo(Port).absoluteFilePath();
}

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
    for (const char* name : {"connect-timeout", "answer-timeout-ms", "dock-kind"})
        if (Parser.isSet(name))
            options << QString("--%1=%2").arg(name, Parser.value(name));
    return options;
}

// Every instrument at once, each in its own process. The image and the
// entries are checked, and the operator asked once, before any starts.
int RunShelf(const QCommandLineParser& Parser, const QString& Image)
{
    TShelfOptions shelf;
    shelf.Program = QCoreApplication::applicationFilePath();
    shelf.Image = QFileInfo(Image).absoluteFilePath();
    shelf.MemberOptions = MemberOptions(Parser);
    if (Parser.isSet("trace"))
        shelf.TraceFile = QFileInfo(Parser.value("trace")).absoluteFilePath();
    for (const QString& port : Parser.values("port")) {
        if (port.isEmpty()) {
            std::fprintf(stderr, "kt4-flash: --port needs a device\n");
            return UsageError;
        }
        shelf.Entries << PortEntry(port, PortDevice(port));
    }
    for (const QString& dock : Parser.values("dock")) {
        if (dock.trimmed().isEmpty()) {
            std::fprintf(stderr, "kt4-flash: --dock needs a network address or \"usb\"\n");
            return UsageError;
        }
        shelf.Entries << DockEntry(dock.trimmed());
    }
    const QString shared = SharedResource(shelf.Entries);
    if (!shared.isEmpty()) {
        std::fprintf(stderr, "kt4-flash: %s: two upgrades at once would mix on it\n", qPrintable(TerminalSafe(shared)));
        return UsageError;
    }
    TKT4Head image;
    if (!image.LoadFlashFile(Image)) {
        Dialogs().MessageDlg(UpgradeText::NotAFlashFile, mtError, mbOK);
        return fsImageRefused;
    }
    std::fprintf(stdout, "Image: version %s. Every instrument is upgraded to it without further questions, "
                         "an older version included.\n", qPrintable(TerminalSafe(QString::fromLatin1(image.FileVersion()))));
    if (Dialogs().MessageDlg(UpgradeText::EraseWarning, mtWarning, mbOKCancel) != mrOk)
        return fsCancelled;
    TShelf run(shelf, stdout);
    return run.Run();
}

}  // namespace

int main(int argc, char** argv)
{
    TCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt4-flash");
    QCoreApplication::setApplicationVersion(KT4_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription("Uploads a flash image into a KT4 head, or into several at once.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("image", "The flash image file (131072 bytes).");
    parser.addOption({"port",
                      "Serial device of the instrument (for example /dev/ttyUSB0, or COM6). Given more than once, "
                      "every instrument is upgraded at once, each in its own process.",
                      "device"});
    parser.addOption({"dock",
                      "Upgrade through the Kelo6 docking station at this network address, or through the first "
                      "one on the USB bus with \"usb\". Given more than once (or with --port), every instrument "
                      "is upgraded at once.",
                      "address|usb"});
    parser.addOption({"dock-kind", "The kind of dock: kelo6 (the default), express or mp-express.", "kind", "kelo6"});
    parser.addOption({"yes", "Answer every question about the upgrade with OK or Yes (never chooses a port)."});
    parser.addOption({"connect-timeout", "Seconds to wait for the instrument, 1 to 86400 (default 60).", "seconds", "60"});
    parser.addOption({"answer-timeout-ms",
                      "Wait this many milliseconds for each answer instead of the instrument's own time-outs "
                      "(5 to 30 s), 1 to 600000.",
                      "ms"});
    parser.addOption({"trace",
                      "Write every text sent and received, with its time, into this file (for support). With "
                      "several ports, one file per instrument named after its port.",
                      "file"});
    parser.addOption({"list-ports",
                      "List the serial ports with their adapters, and whether you may open them (and if not, "
                      "why and what to do)."});
    QCommandLineOption member("shelf-member", "One instrument of a shelf: report lines on standard output.");
    member.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(member);
    parser.addOption({"history", "Print the upgrade history, newest first (KT4_HISTORY=FILE names another file)."});
    parser.addOption({"last", "With --history: only the last N attempts.", "N", "0"});
    parser.addOption({"json", "With --history: one JSON object per line, with every field."});
    parser.addOption({"no-history", "Record nothing in the upgrade history."});
    parser.process(app);
    if (parser.isSet("no-history"))
        qputenv("KT4_HISTORY", "");  // none for this upgrade and for every member of a shelf
    if (parser.isSet("history")) {
        int last = 0;
        if (!ReadNumber(parser, "last", 0, 1000000, &last))
            return UsageError;
        return RunHistoryCommand(TUpgradeHistory::DefaultPath(), last, parser.isSet("json"), stdout);
    }
    if (parser.isSet("list-ports")) {
        ListPorts(stdout);
        return 0;
    }
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(UsageError);

    TFlashOptions options;
    options.Image = parser.positionalArguments().first();
    options.NoHistory = parser.isSet("no-history");
    if (!ReadNumber(parser, "connect-timeout", 1, 86400, &options.ConnectTimeOutSeconds))
        return UsageError;
    if (parser.isSet("answer-timeout-ms") && !ReadNumber(parser, "answer-timeout-ms", 1, 600000, &options.AnswerTimeOutMs))
        return UsageError;
    if (parser.values("port").size() + parser.values("dock").size() > 1) {
        SetDialogService(std::make_unique<TConsoleDialogs>(parser.isSet("yes"), stdin, stdout));
        return RunShelf(parser, options.Image);
    }
    if (parser.isSet("dock") && parser.value("dock").trimmed().isEmpty()) {
        std::fprintf(stderr, "kt4-flash: --dock needs a network address or \"usb\"\n");
        return UsageError;
    }
    options.Dock = parser.value("dock").trimmed();
    options.DockKind = parser.value("dock-kind").trimmed().toLower();
    if (!QStringList({"kelo6", "express", "mp-express"}).contains(options.DockKind)) {
        std::fprintf(stderr, "kt4-flash: --dock-kind is kelo6, express or mp-express\n");
        return UsageError;
    }

    const bool noWay = parser.isSet("dock")   ? false
                       : parser.isSet("port") ? parser.value("port").isEmpty()
                                            : qEnvironmentVariableIsEmpty("KT4_IRCOMM") &&
                                                  qEnvironmentVariableIsEmpty("KT4_IRDA_SIM");
    if (noWay) {
        ListKnownPorts();
        return fsNotConnected;
    }
    if (parser.isSet("port"))
        options.Port = PortDevice(parser.value("port"));
    options.TraceFile = parser.value("trace");

    // A member of a shelf keeps its standard output for the shelf's report;
    // the person's lines go to standard error.
    const bool isMember = parser.isSet("shelf-member");
    FILE* out = isMember ? stderr : stdout;
    if (isMember)
        options.Report = stdout;
    TFlashCommand command(options, out);
    auto console = std::make_unique<TConsoleDialogs>(parser.isSet("yes"), stdin, out);
    console->SetPresetFile(options.Image);
    SetDialogService(std::make_unique<TObservedDialogs>(
        std::move(console), [&command](TMsgDlgType Type, const QString& Text) { command.BoxShown(Type, Text); }));
    const int status = command.Run();
    SetDialogService(nullptr);  // the observer goes with the command
    return status;
}
