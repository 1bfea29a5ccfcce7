#include "sim/SimOptions.h"

#include "sim/SampleImage.h"

#include <QCommandLineParser>

namespace {

using Option = QCommandLineOption;

QList<Option> optionList()
{
    return {
        Option("link", "Make a symbolic link PATH to the pseudo-terminal.", "PATH"),
        Option("irda", "Be an infrared device of the simulated IrDA stack served at the Unix socket "
                       "PATH (for KT4_IRDA_SIM) instead of a pseudo-terminal.", "PATH"),
        Option("usb", "Be a test device of the simulated USB stack, a Unix socket in DIR (for "
                      "KT4_USB_SIM), that echoes pipe 0 on pipe 1 and pipe 3 on pipe 2.", "DIR"),
        Option("verbose", "Log each command and answer to stderr."),
        Option("nak-every", "Answer every N-th page command negatively.", "N"),
        Option("drop-page", "Send no answer the first time page P is answered.", "P"),
        Option("wrong-echo", "Echo page P+1 in the first positive answer for page P.", "P"),
        Option("wrong-type", "Report instrument type 12 instead of 16."),
        Option("delay-ms", "Wait MS milliseconds before each answer.", "MS"),
        Option("baud", "Pace answers at RATE baud, 8N1.", "RATE"),
        Option("lose-after", "Close the link after acknowledging page P.", "P"),
        Option("pfm-nak", "Answer the program command negatively."),
        Option("keep-version", "Acknowledge the program command but go on reporting the old flash "
                               "version (a restart into the old firmware)."),
        Option("silent-after-program", "Answer nothing at all after acknowledging the program command."),
        Option("wrong-echo-always", "Echo the next page in every positive page answer."),
        Option("short-answers", "Answer page commands without the page echo."),
        Option("silent-after", "Answer nothing at all after acknowledging page P.", "P"),
        Option("garbage", "Send 64 KiB of noise instead of the first answer for page P.", "P"),
        Option("split-at", "Write every answer in two pieces, the first N bytes long, a few ms apart.", "N"),
        Option("byte-at-a-time", "Write every answer one byte at a time, a few ms apart."),
        Option("double-answers", "Write every answer twice, joined in one write."),
        Option("chatter-ms", "Send a stray line every MS milliseconds.", "MS"),
        Option("version", "Flash version text before programming (default 1.10).", "TEXT"),
        Option("flash-out", "Write the flash to FILE after programming and at exit.", "FILE"),
        Option("initial-flash", "Start from the 131072-byte image FILE.", "FILE"),
        Option("make-image", "Write a valid sample image to FILE and exit.", "FILE"),
        Option("image-version", "Version text of the sample image (4 characters).", "TEXT"),
        Option("image-date", "Date text of the sample image (19 characters).", "TEXT"),
    };
}

// Reads a whole-number option within [minimum, maximum] into *value when it is set.
bool readNumber(const QCommandLineParser& parser, const QString& name, int minimum, int maximum,
                int* value, QString* error)
{
    if (!parser.isSet(name)) {
        return true;
    }
    bool ok = false;
    const int number = parser.value(name).toInt(&ok);
    if (!ok || number < minimum || number > maximum) {
        *error = QStringLiteral("--%1 needs a number from %2 to %3").arg(name).arg(minimum).arg(maximum);
        return false;
    }
    *value = number;
    return true;
}

bool readNumbers(const QCommandLineParser& parser, SimOptions* o, QString* error)
{
    return readNumber(parser, "nak-every", 1, 1000000, &o->faults.nakEvery, error)
        && readNumber(parser, "drop-page", 0, 65535, &o->faults.dropPage, error)
        && readNumber(parser, "wrong-echo", 0, 65535, &o->faults.wrongEchoPage, error)
        && readNumber(parser, "lose-after", 0, 65535, &o->faults.loseAfterPage, error)
        && readNumber(parser, "silent-after", 0, 65535, &o->faults.silentAfterPage, error)
        && readNumber(parser, "garbage", 0, 65535, &o->faults.garbagePage, error)
        && readNumber(parser, "split-at", 1, 65535, &o->splitAt, error)
        && readNumber(parser, "chatter-ms", 1, 3600000, &o->chatterMs, error)
        && readNumber(parser, "delay-ms", 0, 3600000, &o->delayMs, error)
        && readNumber(parser, "baud", 1, 100000000, &o->baud, error);
}

bool readText(const QCommandLineParser& parser, const QString& name, int length,
              QByteArray* value, QString* error)
{
    if (!parser.isSet(name)) {
        return true;
    }
    const QByteArray text = parser.value(name).toLocal8Bit();
    if (length > 0 && text.size() != length) {
        *error = QStringLiteral("--%1 needs exactly %2 characters").arg(name).arg(length);
        return false;
    }
    *value = text;
    return true;
}

bool readTexts(const QCommandLineParser& parser, SimOptions* o, QString* error)
{
    o->versionGiven = parser.isSet("version");
    return readText(parser, "version", 0, &o->version, error)
        && readText(parser, "image-version", SampleImage::VersionLength, &o->imageVersion, error)
        && readText(parser, "image-date", SampleImage::DateLength, &o->imageDate, error);
}

void readFlags(const QCommandLineParser& parser, SimOptions* o)
{
    o->linkPath = parser.value("link");
    o->irdaPath = parser.value("irda");
    o->usbDir = parser.value("usb");
    o->verbose = parser.isSet("verbose");
    o->faults.wrongType = parser.isSet("wrong-type");
    o->faults.pfmNak = parser.isSet("pfm-nak");
    o->faults.keepVersion = parser.isSet("keep-version");
    o->faults.silentAfterProgram = parser.isSet("silent-after-program");
    o->faults.wrongEchoAlways = parser.isSet("wrong-echo-always");
    o->faults.shortAnswers = parser.isSet("short-answers");
    o->byteAtATime = parser.isSet("byte-at-a-time");
    o->doubleAnswers = parser.isSet("double-answers");
    o->flashOut = parser.value("flash-out");
    o->initialFlash = parser.value("initial-flash");
    o->makeImage = parser.value("make-image");
    if (parser.isSet("make-image")) {
        o->mode = SimOptions::Mode::MakeImage;
    }
}

} // namespace

bool parseSimOptions(const QStringList& arguments, SimOptions* options, QString* error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Simulated KT4 head instrument on a pseudo-terminal.");
    const Option help = parser.addHelpOption();
    parser.addOptions(optionList() + simDockOptionList() + simBenchOptionList());
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first());
        return false;
    }
    options->helpText = parser.helpText();
    if (parser.isSet(help)) {
        options->mode = SimOptions::Mode::Help;
        return true;
    }
    readFlags(parser, options);
    return readNumbers(parser, options, error) && readTexts(parser, options, error)
        && readSimDockOptions(parser, &options->dock, error) && readSimBenchOptions(parser, &options->bench, error);
}
