#pragma once
// The simulated dock's settings and fault modes (kt4-sim --dock).

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

class QCommandLineOption;
class QCommandLineParser;

struct SimDockOptions {
    QString kind;                 // --dock: "kelo6"; empty: no dock, the instrument alone
    QString address = "127.0.0.5";  // --address: the loopback address served
    int busyCount = 0;            // --busy N: "SLV" is answered busy N times first
    QList<QByteArray> noAnswer;   // --no-answer CMD: commands left unanswered ("all": every one)
    QList<QByteArray> nak;        // --nak CMD: commands answered "NAK"
    QMap<QByteArray, QByteArray> withReply;  // --with-reply CMD=BYTES: sent in the reply's write, before it
    int batteryEveryMs = 0;       // --battery-every MS: a battery event that often
    bool malformedBattery = false;  // --malformed-battery: those events carry non-hexadecimal digits
    int batteryMillivolts = 300;  // --battery MV: what the converters report
    bool refuseData = false;      // --refuse-data: the data port is not served (only control connects)
};

// The dock's command-line options, and reading them; false with a reason on error.
QList<QCommandLineOption> simDockOptionList();
bool readSimDockOptions(const QCommandLineParser& parser, SimDockOptions* options, QString* error);
