// kt4-flash: upgrades a KT4 head from the command line.
//
//   kt4-flash IMAGE [--port DEVICE] [--yes] [--connect-timeout SECONDS]
//
// Without --port the link chooses its way as the window does (the infrared
// driver's COM port from KT4_IRCOMM on this platform). KT4_TEST_TIMEOUT_MS, a
// test-only setting, replaces every instrument time-out by that many
// milliseconds.

#include "app/FlashCommand.h"
#include "platform/Dialogs.h"
#include "platform/ErrorDisplay.h"

#include <QCommandLineParser>

int main(int argc, char** argv)
{
    TCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt4-flash");

    QCommandLineParser parser;
    parser.setApplicationDescription("Uploads a flash image into a KT4 head.");
    parser.addHelpOption();
    parser.addPositionalArgument("image", "The flash image file (131072 bytes).");
    parser.addOption({"port", "Serial device of the instrument (for example /dev/ttyUSB0).", "device"});
    parser.addOption({"yes", "Answer every question with OK or Yes."});
    parser.addOption({"connect-timeout", "Seconds to wait for the instrument (default 60).", "seconds", "60"});
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);

    TFlashOptions options;
    options.Image = parser.positionalArguments().first();
    options.Port = parser.value("port");
    options.ConnectTimeOutSeconds = qMax(1, parser.value("connect-timeout").toInt());
    options.TestTimeOutMs = qEnvironmentVariableIntValue("KT4_TEST_TIMEOUT_MS");

    auto dialogs = std::make_unique<TConsoleDialogs>(parser.isSet("yes"), stdin, stdout);
    dialogs->SetPresetFile(options.Image);
    SetDialogService(std::move(dialogs));

    TFlashCommand command(options);
    return command.Run();
}
