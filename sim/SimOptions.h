#pragma once
// The simulator's command line.

#include "sim/SimBenchOptions.h"
#include "sim/SimDockOptions.h"
#include "sim/SimInstrument.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

struct SimOptions {
    enum class Mode { Run, MakeImage, Help };

    Mode mode = Mode::Run;
    QString linkPath;           // --link: a symbolic link to the pseudo-terminal's slave
    QString irdaPath;           // --irda: serve the simulated IrDA stack at this Unix socket instead
    QString usbDir;             // --usb: be a test device of the simulated USB stack in this directory
    bool verbose = false;       // --verbose: log commands and answers to stderr
    SimFaults faults;           // --nak-every, --drop-page, --wrong-echo, --wrong-type, ...
    int delayMs = 0;            // --delay-ms: added before each answer
    int splitAt = 0;            // --split-at: write every answer in two pieces, cut after N bytes
    bool byteAtATime = false;   // --byte-at-a-time: write every answer one byte per write
    bool doubleAnswers = false;  // --double-answers: write every answer twice, joined in one write
    int chatterMs = 0;          // --chatter-ms: a stray line every MS milliseconds
    int baud = 0;               // --baud: pace answers at this line rate (0: no pacing)
    QByteArray version = "1.10";  // --version: the flash version before any program command
    bool versionGiven = false;
    QString flashOut;           // --flash-out: where the flash is written
    QString initialFlash;       // --initial-flash: the flash to start from
    QString makeImage;          // --make-image: write a sample image there and exit
    QByteArray imageVersion = "2.00";
    QByteArray imageDate = "2024-06-01 12:00:00";
    QString helpText;
    SimDockOptions dock;        // --dock and its settings: a simulated dock in front of the instrument
    SimBenchOptions bench;      // --instruments and their settings: instruments placed in the dock in turn
};

// Parses the arguments (the first one is the program name); false with a reason on error.
bool parseSimOptions(const QStringList& arguments, SimOptions* options, QString* error);
