#pragma once
// A bench of instruments placed in the simulated dock one after the other (kt4-sim --instruments).

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSet>

class QCommandLineOption;
class QCommandLineParser;

struct SimBenchOptions {
    int instruments = 0;         // --instruments N: placed one after the other (0: one, always there)
    int insertAfterMs = 500;     // --insert-after-ms MS: from the start, or from a removal, to the next placing
    int removeAfterMs = 1500;    // --remove-after-ms MS: from the dock taking an instrument back to its removal
    QMap<int, QByteArray> versions;  // --instrument-version I=TEXT: instrument I's flash version
    QSet<int> failing;           // --fail-instrument I: instrument I answers "NAK" to every page from page 100 on
};

// The bench's command-line options, and reading them; false with a reason on error.
QList<QCommandLineOption> simBenchOptionList();
bool readSimBenchOptions(const QCommandLineParser& parser, SimBenchOptions* options, QString* error);
