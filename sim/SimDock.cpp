#include "sim/SimDock.h"

#include "sim/DescriptorWriter.h"
#include "sim/DockTransport.h"

#include <QCommandLineParser>

#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int DefaultMalformedEveryMs = 500;

// The dock kinds: their ports, what they answer, and the enquiries they
// answer. A Kelo6 dock also answers the multi-port family's enquiry, which is
// the one the utility's window sends.
const SimDockKind Kinds[] = {
    {"kelo6", 5004, 5005, true, true, true, {{6462, 6461, "Kelo6"}, {6460, 6459, "MP KeloExpress (Kelo6)"}}},
    {"express", 5000, 5001, false, true, false, {{6458, 6457, "KeloExpress"}}},
    {"mp-express", 5002, 5003, false, false, false, {{6460, 6459, "MP KeloExpress"}}},
};

struct Word {
    const char* text;
    int length;  // of the whole command, parameters included
};

const Word Commands[] = {
    {"DSC", 3},   {"ADC", 3},   {"SLV", 3},   {"MST", 3},   {"LCD0", 20}, {"LCD1", 20},
    {"LCD2", 20}, {"LCD3", 20}, {"RLC0", 4},  {"RLC1", 4},  {"PSS", 5},
};


// A text with \xHH for any byte (and \\ for a backslash).
QByteArray unescaped(const QString& text, bool* ok)
{
    const QByteArray in = text.toLatin1();
    QByteArray out;
    *ok = true;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
        } else if (i + 1 < in.size() && in[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < in.size() && in[i + 1] == 'x') {
            bool hex = false;
            out += char(in.mid(i + 2, 2).toInt(&hex, 16));
            *ok = *ok && hex;
            i += 3;
        } else {
            *ok = false;
        }
    }
    return out;
}

QList<QByteArray> words(const QStringList& values)
{
    QList<QByteArray> list;
    for (const QString& value : values) {
        list << value.toLatin1().toUpper();
    }
    return list;
}

} // namespace

const SimDockKind* findSimDockKind(const QString& name)
{
    for (const SimDockKind& kind : Kinds) {
        if (name == QLatin1String(kind.name)) {
            return &kind;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------- options

QList<QCommandLineOption> simDockOptionList()
{
    using Option = QCommandLineOption;
    return {
        Option("dock", "Be a docking station of KIND (kelo6, express or mp-express) in front of the "
                       "instrument: its control and data ports served on a loopback address, and its "
                       "family's enquiries of the dock enumerator answered (a kelo6 dock answers the "
                       "mp-express enquiry too).", "KIND"),
        Option("address", "The dock's loopback address (default 127.0.0.5).", "A.B.C.D"),
        Option("no-enumerator", "Answer no enquiry of the dock enumerator."),
        Option("busy", "Answer \"SLV\" busy N times before passing the instrument through.", "N"),
        Option("no-answer", "Leave the dock command CMD unanswered (\"all\": every one); repeatable.", "CMD"),
        Option("nak", "Answer the dock command CMD with \"NAK\"; repeatable.", "CMD"),
        Option("no-answer-after", "Leave the dock command that follows CMD unanswered, whatever it is; "
                                  "repeatable.", "CMD"),
        Option("nak-after", "Answer the dock command that follows CMD with \"NAK\", whatever it is; "
                            "repeatable.", "CMD"),
        Option("with-reply", "Send BYTES (\\xHH for any byte) in the same write as the reply to the dock "
                             "command CMD, before it; repeatable.", "CMD=BYTES"),
        Option("battery-every", "Send a battery event every MS milliseconds.", "MS"),
        Option("malformed-battery", "Battery events carry digits that are not hexadecimal (every 500 ms "
                                    "unless --battery-every says otherwise)."),
        Option("battery", "The dock's battery reading in millivolts (default 300).", "MV"),
        Option("refuse-data", "Serve only the dock's control port: data connections are refused."),
        Option("control-split-at", "Write every control reply and event in two pieces, the first N bytes long, a "
                                   "few ms apart.", "N"),
        Option("join-control", "Write an event in one write with the reply before it (no wake-up pause)."),
        Option("reply-delay-ms", "Answer dock commands MS milliseconds late.", "MS"),
        Option("freeze-after", "After BYTES bytes of instrument data, answer nothing more on either connection "
                               "(a frozen dock; the connections stay up).", "BYTES"),
        Option("evt1-twice", "Report the instrument twice (\"EVT1EVT1\" in one write)."),
        Option("evt1-after-program", "Report the instrument again right after its answer to the program command "
                                     "(an instrument restarting in the dock)."),
        Option("flood-control", "Once the instrument is passed through, send BYTES (\\xHH for any byte) over and "
                                "over on the control connection, as fast as the utility reads them, until the "
                                "dock takes the instrument back (a dock gone mad).", "BYTES"),
    };
}

namespace {

// Options that only some kinds have a use for.
bool checkKindOptions(const QCommandLineParser& parser, const SimDockOptions& o, QString* error)
{
    const SimDockKind* kind = findSimDockKind(o.kind);
    if (kind == nullptr) {
        return true;
    }
    const struct {
        const char* option;
        bool usable;
    } rules[] = {{"busy", kind->busyByte},
                 {"battery-every", kind->batteryEvents},
                 {"malformed-battery", kind->batteryEvents},
                 {"battery", kind->batteryEvents}};
    for (const auto& rule : rules) {
        if (parser.isSet(rule.option) && !rule.usable) {
            *error = QStringLiteral("--%1 is not for a %2 dock").arg(rule.option, o.kind);
            return false;
        }
    }
    return true;
}

} // namespace

bool readSimDockOptions(const QCommandLineParser& parser, SimDockOptions* o, QString* error)
{
    o->kind = parser.value("dock").toLower();
    if (!o->kind.isEmpty() && findSimDockKind(o->kind) == nullptr) {
        *error = QStringLiteral("--dock knows kelo6, express and mp-express");
        return false;
    }
    if (parser.isSet("address")) {
        o->address = parser.value("address");
    }
    o->answerEnquiries = !parser.isSet("no-enumerator");
    const struct {
        const char* name;
        int maximum;
        int* value;
    } numbers[] = {{"busy", 1000000, &o->busyCount},
                   {"battery-every", 3600000, &o->batteryEveryMs},
                   {"battery", 65535 * 300 / 768, &o->batteryMillivolts},
                   {"control-split-at", 65535, &o->controlSplitAt},
                   {"reply-delay-ms", 600000, &o->replyDelayMs},
                   {"freeze-after", 100000000, &o->freezeAfterBytes}};
    for (const auto& number : numbers) {
        bool ok = true;
        const int value = parser.isSet(number.name) ? parser.value(number.name).toInt(&ok) : *number.value;
        if (!ok || value < 0 || value > number.maximum) {
            *error = QStringLiteral("--%1 needs a number from 0 to %2").arg(number.name).arg(number.maximum);
            return false;
        }
        *number.value = value;
    }
    o->noAnswer = words(parser.values("no-answer"));
    o->nak = words(parser.values("nak"));
    o->noAnswerAfter = words(parser.values("no-answer-after"));
    o->nakAfter = words(parser.values("nak-after"));
    for (const QString& entry : parser.values("with-reply")) {
        bool ok = entry.contains('=');
        const QByteArray bytes = unescaped(entry.section('=', 1), &ok);
        if (!ok) {
            *error = QStringLiteral("--with-reply needs CMD=BYTES: %1").arg(entry);
            return false;
        }
        o->withReply.insert(entry.section('=', 0, 0).toLatin1().toUpper(), bytes);
    }
    if (parser.isSet("flood-control")) {
        bool ok = true;
        o->floodControl = unescaped(parser.value("flood-control"), &ok);
        if (!ok || o->floodControl.isEmpty()) {
            *error = QStringLiteral("--flood-control needs BYTES");
            return false;
        }
    }
    o->malformedBattery = parser.isSet("malformed-battery");
    if (o->malformedBattery && o->batteryEveryMs == 0) {
        o->batteryEveryMs = DefaultMalformedEveryMs;
    }
    o->refuseData = parser.isSet("refuse-data");
    o->joinControl = parser.isSet("join-control");
    o->evt1Twice = parser.isSet("evt1-twice");
    o->evt1AfterProgram = parser.isSet("evt1-after-program");
    return checkKindOptions(parser, *o, error);
}

// ---------------------------------------------------------------- protocol

SimDockProtocol::SimDockProtocol(const SimDockOptions& options)
    : m_options(options),
      m_kind(*findSimDockKind(options.kind.isEmpty() ? QStringLiteral("kelo6") : options.kind)),
      m_busyLeft(options.busyCount)
{
    for (QByteArray& line : m_lcd) {
        line = QByteArray(LcdWidth, ' ');
    }
}

QList<QByteArray> SimDockProtocol::feed(const QByteArray& bytes)
{
    m_input += bytes;
    QList<QByteArray> out;
    for (int length = commandLength(); length != 0; length = commandLength()) {
        if (length < 0) {
            if (log) {
                log(QStringLiteral("unknown command %1").arg(shown(m_input)));
            }
            m_input.clear();
            out << "NAK";
            break;
        }
        const QByteArray command = m_input.left(length);
        m_input.remove(0, length);
        out += answer(command);
    }
    return out;
}

// The length of the complete command at the start of the input; 0 while it
// is incomplete (or there is none), -1 when no command starts there.
int SimDockProtocol::commandLength() const
{
    if (m_input.isEmpty()) {
        return 0;
    }
    bool incomplete = false;
    for (const Word& word : Commands) {
        if (!m_kind.pump && qstrcmp(word.text, "PSS") == 0) {
            continue;
        }
        if (m_input.startsWith(word.text)) {
            return m_input.size() >= word.length ? word.length : 0;
        }
        incomplete = incomplete || QByteArray(word.text).startsWith(m_input);
    }
    return incomplete ? 0 : -1;
}

bool SimDockProtocol::listed(const QList<QByteArray>& list, const QByteArray& word) const
{
    return list.contains(word) || list.contains(word.left(3)) || list.contains("ALL");
}

// The reply in one write (with any bytes asked to go with it), then the event
// the command raised, in a write of its own.
QList<QByteArray> SimDockProtocol::answer(const QByteArray& command)
{
    const QByteArray word = command.startsWith("LCD") || command.startsWith("RLC") ? command.left(4) : command.left(3);
    QByteArray after;
    const QByteArray reply = this->reply(word, command, &after);
    QList<QByteArray> out;
    const QByteArray first = m_options.withReply.value(word, m_options.withReply.value(word.left(3))) + reply;
    if (!first.isEmpty()) {
        out << first;
    }
    if (!after.isEmpty()) {
        out << after;
    }
    return out;
}

QByteArray SimDockProtocol::reply(const QByteArray& word, const QByteArray& command, QByteArray* after)
{
    const auto note = [this](const QString& line) {
        if (log) {
            log(line);
        }
    };
    const QByteArray previous = m_previous;
    m_previous = word;
    const auto follows = [&](const QList<QByteArray>& list) { return !previous.isEmpty() && listed(list, previous); };
    if (listed(m_options.noAnswer, word) || follows(m_options.noAnswerAfter)) {
        note(QStringLiteral("leaving %1 unanswered").arg(QString::fromLatin1(word)));
        return {};
    }
    if (listed(m_options.nak, word) || follows(m_options.nakAfter)) {
        note(QStringLiteral("refusing %1").arg(QString::fromLatin1(word)));
        return "NAK";
    }
    if (word == "SLV" && m_busyLeft > 0) {
        --m_busyLeft;
        note(QStringLiteral("busy"));
        return "ACKB";
    }
    if (word == "SLV" || word == "MST" || word == "DSC") {
        m_slave = word == "SLV";
        const bool passing = m_slave && m_present;
        if (passing != m_passing) {
            m_passing = passing;
            *after = passing ? "EVT1" : "EVT2";
            note(passing ? QStringLiteral("passing the instrument through") : QStringLiteral("instrument taken back"));
        }
        return word == "DSC" || !m_kind.busyByte ? QByteArray("ACK") : QByteArray("ACKI");
    }
    if (word.startsWith("LCD")) {
        m_lcd[word.at(3) - '0'] = command.mid(4, LcdWidth);
        note(QStringLiteral("LCD %1").arg(QString::fromLatin1(display())));
        return "ACK";
    }
    if (word.startsWith("RLC")) {
        return "ACK" + m_lcd[word.at(3) - '0'];
    }
    if (word == "PSS") {
        m_pumpLevel = static_cast<quint8>(command.at(3));
        note(QStringLiteral("pump level %1").arg(m_pumpLevel));
        return "ACK";
    }
    // "ADC": four values, most significant byte first; the second is the battery.
    const quint16 reading = batteryReading();
    QByteArray values(8, '\0');
    values[2] = char(reading >> 8);
    values[3] = char(reading & 0xFF);
    return "ACK" + values;
}

QList<QByteArray> SimDockProtocol::setPresent(bool present)
{
    QList<QByteArray> events;
    if (present == m_present) {
        return events;
    }
    m_present = present;
    if (m_passing) {
        events << "EVT2";
    }
    events << (present ? "EVT4" : "EVT5");
    m_passing = present && m_slave;
    if (m_passing) {
        events << "EVT1";
        if (log) {
            log(QStringLiteral("passing the instrument through"));
        }
    }
    return events;
}

quint16 SimDockProtocol::batteryReading() const
{
    return quint16(m_options.batteryMillivolts * 768 / 300);
}

QByteArray SimDockProtocol::display() const
{
    QByteArray text;
    for (const QByteArray& line : m_lcd) {
        text += '[' + line + ']';
    }
    return text;
}

QByteArray SimDockProtocol::batteryEvent() const
{
    if (m_options.malformedBattery) {
        return "EVTEC0AZF";
    }
    return "EVTEC" + QByteArray::number(batteryReading(), 16).toUpper().rightJustified(4, '0');
}

// ---------------------------------------------------------------- control channel

SimDock::SimDock(const SimDockOptions& options, DockTransport& data, bool verbose, QObject* parent)
    : QObject(parent),
      m_protocol(options),
      m_options(options),
      m_data(data),
      m_verbose(verbose),
      m_address(options.address),
      m_controlPort(m_protocol.kind().controlPort),
      m_batteryEveryMs(options.batteryEveryMs),
      m_writer(std::make_unique<DescriptorWriter>())
{
    m_protocol.log = [this](const QString& line) { log(line); };
    connect(&m_data, &DockTransport::note, this, [this](const QString& line) {
        if (m_verbose) {
            log(line);
        }
    });
    connect(m_writer.get(), &DescriptorWriter::failed, this, &SimDock::endControl);
    connect(&m_batteryTimer, &QTimer::timeout, this, &SimDock::sendBattery);
    if (!options.floodControl.isEmpty()) {
        while (m_floodBlock.size() < FloodBlockSize) {
            m_floodBlock += options.floodControl;
        }
        m_floodTimer.setInterval(FloodTopUpMs);
        connect(&m_floodTimer, &QTimer::timeout, this, &SimDock::topUpFlood);
    }
    connect(&m_data, &DockTransport::programAnswered, this, &SimDock::programAnswered);
    m_data.setFreezeAfter(options.freezeAfterBytes);
    m_sinceInput.start();
}

SimDock::~SimDock()
{
    blockSignals(true);
    endControl();
    m_acceptNotifier.reset();
    if (m_listener >= 0) {
        ::close(m_listener);
    }
}

bool SimDock::open(QString* error)
{
    m_listener = listenOnLoopback(m_address, m_controlPort, error);
    if (m_listener < 0) {
        return false;
    }
    m_acceptNotifier = std::make_unique<QSocketNotifier>(m_listener, QSocketNotifier::Read);
    connect(m_acceptNotifier.get(), &QSocketNotifier::activated, this, &SimDock::acceptClients);
    return true;
}

// One control connection at a time: a second one is told of ("EVTC" to the
// first) and closed.
void SimDock::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (m_control >= 0) {
            ::close(fd);
            write("EVTC");
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_control = fd;
        m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &SimDock::readControl);
        m_writer->attach(fd);
        if (m_batteryEveryMs > 0) {
            m_batteryTimer.start(m_batteryEveryMs);
        }
        if (m_verbose) {
            log(QStringLiteral("control connection up"));
        }
    }
}

void SimDock::readControl()
{
    const auto deliver = [this](const QByteArray& bytes) {
        if (m_protocol.hasPartial() && m_sinceInput.elapsed() > StaleInputMs) {
            m_protocol.discardPartial();
        }
        m_sinceInput.restart();
        if (m_verbose) {
            log(QStringLiteral("<- %1").arg(shown(bytes)));
        }
        if (m_data.frozen()) {
            return;  // a frozen dock hears nothing
        }
        QList<QByteArray> outs = m_protocol.feed(bytes);
        const QByteArray connected = m_options.evt1Twice ? "EVT1EVT1" : "EVT1";
        if (m_options.joinControl) {
            // The reply and the event it raised in one write.
            for (int i = outs.size() - 1; i > 0; --i) {
                if (outs[i].startsWith("EVT")) {
                    outs[i - 1] += outs[i] == "EVT1" ? connected : outs[i];
                    outs.removeAt(i);
                }
            }
        }
        writeAll(outs);
        followPassing();
    };
    if (!readUntilEmpty(m_control, deliver)) {
        if (m_verbose) {
            log(QStringLiteral("control connection closed by the utility"));
        }
        endControl();
    }
}

void SimDock::writeAll(const QList<QByteArray>& outs)
{
    for (const QByteArray& out : outs) {
        if (out == "EVT1") {
            reportInstrument();
        } else {
            write(out);
        }
    }
}

// The dock reports the instrument once it has woken it, a moment after its reply.
void SimDock::reportInstrument()
{
    const QByteArray connected = m_options.evt1Twice ? "EVT1EVT1" : "EVT1";
    QTimer::singleShot(InstrumentWakeMs, this, [this, connected] {
        if (m_protocol.passing()) {
            write(connected);
            startFlood();
        }
    });
}

// The data channel follows the protocol; the bench hears who moved the instrument.
void SimDock::followPassing()
{
    const bool passing = m_protocol.passing();
    if (passing != m_data.passing()) {
        m_data.setPassing(passing);
        if (passing) {
            emit passedThrough();
        } else {
            emit takenBack();
        }
    }
}

void SimDock::setInstrumentPresent(bool present)
{
    writeAll(m_protocol.setPresent(present));
    m_data.setPassing(m_protocol.passing());
}

// The utility went away: the dock takes the instrument back.
void SimDock::endControl()
{
    m_batteryTimer.stop();
    m_protocol.endSession();
    followPassing();
    if (m_readNotifier) {
        m_readNotifier->setEnabled(false);
        m_readNotifier.release()->deleteLater();
    }
    m_writer->attach(-1);
    if (m_control >= 0) {
        ::close(m_control);
        m_control = -1;
    }
}

// A reply goes out late, and in pieces, when the faults ask for it; what a
// frozen dock would send is dropped.
void SimDock::write(const QByteArray& bytes)
{
    if (m_options.replyDelayMs > 0 && !m_delaying) {
        QTimer::singleShot(m_options.replyDelayMs, this, [this, bytes] {
            m_delaying = true;
            write(bytes);
            m_delaying = false;
        });
        return;
    }
    if (m_data.frozen() || m_control < 0) {
        return;
    }
    if (m_verbose) {
        log(QStringLiteral("-> %1").arg(shown(bytes)));
    }
    const int cut = m_options.controlSplitAt;
    if (cut <= 0) {
        m_writer->write(bytes);
        return;
    }
    // In order: what comes later waits behind the pieces still to go.
    const bool idle = m_pieces.isEmpty();
    m_pieces << bytes.left(cut);
    if (cut < bytes.size()) {
        m_pieces << bytes.mid(cut);
    }
    if (idle) {
        writeNextPiece();
    }
}

void SimDock::writeNextPiece()
{
    if (m_pieces.isEmpty()) {
        return;
    }
    if (m_control >= 0 && !m_data.frozen()) {
        m_writer->write(m_pieces.first());
    }
    m_pieces.removeFirst();
    if (!m_pieces.isEmpty()) {
        QTimer::singleShot(SplitPauseMs, this, [this] { writeNextPiece(); });
    }
}

// The instrument answered the program command: with the fault, the dock
// reports it again, as when it restarts in the dock.
void SimDock::programAnswered()
{
    if (m_options.evt1AfterProgram && m_protocol.passing()) {
        QTimer::singleShot(InstrumentWakeMs, this, [this] { write("EVT1"); });
    }
}

void SimDock::startFlood()
{
    if (!m_floodBlock.isEmpty() && !m_floodTimer.isActive()) {
        log(QStringLiteral("flooding the control connection with %1").arg(shown(m_options.floodControl)));
        m_floodTimer.start();
    }
}

// The next block goes once the utility has taken the last one, until the
// instrument is taken back or the connection is gone.
void SimDock::topUpFlood()
{
    if (m_control < 0 || !m_protocol.passing()) {
        m_floodTimer.stop();
        return;
    }
    if (!m_writer->hasPending()) {
        m_writer->write(m_floodBlock);
    }
}

void SimDock::sendBattery()
{
    if (m_control >= 0) {
        write(m_protocol.batteryEvent());
    }
}

void SimDock::log(const QString& line) const
{
    std::fprintf(stderr, "kt4-sim: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}
