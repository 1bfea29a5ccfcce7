// kt4-flash: upgrades a KT4 head from the command line.
//
//   kt4-flash IMAGE [--port DEVICE] [--yes] [--connect-timeout S] [--answer-timeout-ms MS]
//
// Without --port the link chooses its way as the window does: the infrared
// driver's COM port from KT4_IRCOMM on this platform (or the simulated IrDA
// stack named by KT4_IRDA_SIM). With neither, nothing is opened: the command
// lists the ports it knows and stops, since --yes never chooses a device.

#include "app/FlashCommand.h"
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
    std::fprintf(stderr, "kt4-flash: no port given. Name the instrument's port with --port DEVICE (or set KT4_IRCOMM).\n");
    const QList<int> ports = AvailableComPorts();
    if (ports.isEmpty()) {
        std::fprintf(stderr, "No serial ports were found on this computer.\n");
        return;
    }
    std::fprintf(stderr, "Serial ports found:\n");
    for (int n : ports)
        std::fprintf(stderr, "  COM%-3d %s\n", n, qPrintable(ComDevicePath(n)));
}

}  // namespace

int main(int argc, char** argv)
{
    TCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt4-flash");

    QCommandLineParser parser;
    parser.setApplicationDescription("Uploads a flash image into a KT4 head.");
    parser.addHelpOption();
    parser.addPositionalArgument("image", "The flash image file (131072 bytes).");
    parser.addOption({"port", "Serial device of the instrument (for example /dev/ttyUSB0, or COM6).", "device"});
    parser.addOption({"yes", "Answer every question about the upgrade with OK or Yes (never chooses a port)."});
    parser.addOption({"connect-timeout", "Seconds to wait for the instrument, 1 to 86400 (default 60).", "seconds", "60"});
    parser.addOption({"answer-timeout-ms",
                      "Wait this many milliseconds for each answer instead of the instrument's own time-outs "
                      "(5 to 30 s), 1 to 600000.",
                      "ms"});
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(UsageError);

    TFlashOptions options;
    options.Image = parser.positionalArguments().first();
    if (!ReadNumber(parser, "connect-timeout", 1, 86400, &options.ConnectTimeOutSeconds))
        return UsageError;
    if (parser.isSet("answer-timeout-ms") && !ReadNumber(parser, "answer-timeout-ms", 1, 600000, &options.AnswerTimeOutMs))
        return UsageError;
    const bool noWay = parser.isSet("port") ? parser.value("port").isEmpty()
                                            : qEnvironmentVariableIsEmpty("KT4_IRCOMM") &&
                                                  qEnvironmentVariableIsEmpty("KT4_IRDA_SIM");
    if (noWay) {
        ListKnownPorts();
        return fsNotConnected;
    }
    if (parser.isSet("port"))
        options.Port = PortDevice(parser.value("port"));

    auto dialogs = std::make_unique<TConsoleDialogs>(parser.isSet("yes"), stdin, stdout);
    dialogs->SetPresetFile(options.Image);
    SetDialogService(std::move(dialogs));

    TFlashCommand command(options);
    return command.Run();
}
