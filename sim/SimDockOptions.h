#pragma once
// The simulated dock's settings and fault modes (kt4-sim --dock).

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

class QCommandLineOption;
class QCommandLineParser;

// One family's enquiry as the dock enumerator sends it: "ENQ" to the enquiry
// port, answered to the answer port with the name (which holds the family's
// type name) and the dock's address.
struct SimDockEnquiry {
    quint16 enquiryPort;
    quint16 answerPort;
    const char* name;
};

// What tells the simulated dock kinds apart.
struct SimDockKind {
    const char* name;         // as given to --dock
    quint16 controlPort;
    quint16 dataPort;
    bool pump;                // answers "PSS"
    bool busyByte;            // answers "SLV" and "MST" with a busy byte ("B" busy, "I" idle)
    bool batteryEvents;       // reports its battery ("EVTE")
    QList<SimDockEnquiry> enquiries;  // the enumerator's enquiries it answers
};

// The kind named by --dock, or null.
const SimDockKind* findSimDockKind(const QString& name);

struct SimDockOptions {
    QString kind;                 // --dock: "kelo6", "express" or "mp-express"; empty: no dock
    QString address = "127.0.0.5";  // --address: the loopback address served
    bool answerEnquiries = true;  // --no-enumerator: answer no enquiry of the dock enumerator
    int busyCount = 0;            // --busy N: "SLV" is answered busy N times first
    QList<QByteArray> noAnswer;   // --no-answer CMD: commands left unanswered ("all": every one)
    QList<QByteArray> nak;        // --nak CMD: commands answered "NAK"
    QList<QByteArray> noAnswerAfter;  // --no-answer-after CMD: the command that follows CMD left unanswered
    QList<QByteArray> nakAfter;   // --nak-after CMD: the command that follows CMD answered "NAK"
    QMap<QByteArray, QByteArray> withReply;  // --with-reply CMD=BYTES: sent in the reply's write, before it
    int batteryEveryMs = 0;       // --battery-every MS: a battery event that often
    bool malformedBattery = false;  // --malformed-battery: those events carry non-hexadecimal digits
    int batteryMillivolts = 300;  // --battery MV: what the converters report
    bool refuseData = false;      // --refuse-data: the data port is not served (only control connects)
    int controlSplitAt = 0;       // --control-split-at N: every control write in two pieces, cut after N bytes
    bool joinControl = false;     // --join-control: an event goes out in one write with the reply before it
    int replyDelayMs = 0;         // --reply-delay-ms MS: control replies this much later
    int freezeAfterBytes = 0;     // --freeze-after BYTES: after that much instrument data the dock answers nothing
    bool evt1Twice = false;       // --evt1-twice: the instrument is reported twice, in one write
    bool evt1AfterProgram = false;  // --evt1-after-program: reported again after the program command's answer
    QByteArray floodControl;      // --flood-control BYTES: sent over and over while the instrument is passed through
};

// The dock's command-line options, and reading them; false with a reason on error.
QList<QCommandLineOption> simDockOptionList();
bool readSimDockOptions(const QCommandLineParser& parser, SimDockOptions* options, QString* error);
