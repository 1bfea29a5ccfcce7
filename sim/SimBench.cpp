#include "sim/SimBench.h"

#include "sim/DockTransport.h"
#include "sim/SimDock.h"
#include "sim/SimInstrument.h"
#include "sim/SimSession.h"

#include <QCommandLineParser>

#include <cstdio>

namespace {

constexpr int MaxInstruments = 100000;
constexpr int MaxDelayMs = 3600000;

// An instrument's number, counted from 1, as given to an option.
bool readNumber(const QString& text, int instruments, int* number)
{
    bool ok = false;
    *number = text.toInt(&ok);
    return ok && *number >= 1 && *number <= instruments;
}

bool readInstrumentLists(const QCommandLineParser& parser, SimBenchOptions* o, QString* error)
{
    const QString range = QStringLiteral("from 1 to %1 (--instruments)").arg(o->instruments);
    for (const QString& entry : parser.values("instrument-version")) {
        int number = 0;
        if (!entry.contains('=') || !readNumber(entry.section('=', 0, 0), o->instruments, &number)
            || entry.section('=', 1).isEmpty()) {
            *error = QStringLiteral("--instrument-version needs I=TEXT, I %1: %2").arg(range, entry);
            return false;
        }
        o->versions.insert(number, entry.section('=', 1).toLocal8Bit());
    }
    for (const QString& entry : parser.values("fail-instrument")) {
        int number = 0;
        if (!readNumber(entry, o->instruments, &number)) {
            *error = QStringLiteral("--fail-instrument needs a number %1: %2").arg(range, entry);
            return false;
        }
        o->failing.insert(number);
    }
    return true;
}

} // namespace

QList<QCommandLineOption> simBenchOptionList()
{
    using Option = QCommandLineOption;
    return {
        Option("instruments", "With --dock: N instruments are placed in the dock one after the other, each a fresh "
                              "instrument (the instrument's options apply to every one). Without it the "
                              "instrument is always in the dock.", "N"),
        Option("insert-after-ms", "With --instruments: instrument 1 is placed MS milliseconds after the start, each "
                                  "next one MS after the one before was removed (default 500).", "MS"),
        Option("remove-after-ms", "With --instruments: an instrument is removed MS milliseconds after the dock took "
                                  "it back (\"MST\", \"DSC\"), unless it is passed through again before "
                                  "(default 1500).", "MS"),
        Option("instrument-version", "With --instruments: instrument I (from 1) reports flash version TEXT; "
                                     "repeatable.", "I=TEXT"),
        Option("fail-instrument", "With --instruments: instrument I answers every page command from page 100 on "
                                  "with \"NAK\"; repeatable.", "I"),
    };
}

bool readSimBenchOptions(const QCommandLineParser& parser, SimBenchOptions* o, QString* error)
{
    const struct {
        const char* name;
        int minimum;
        int maximum;
        int* value;
    } numbers[] = {{"instruments", 1, MaxInstruments, &o->instruments},
                   {"insert-after-ms", 0, MaxDelayMs, &o->insertAfterMs},
                   {"remove-after-ms", 0, MaxDelayMs, &o->removeAfterMs}};
    for (const auto& number : numbers) {
        if (!parser.isSet(number.name)) {
            continue;
        }
        bool ok = false;
        *number.value = parser.value(number.name).toInt(&ok);
        if (!ok || *number.value < number.minimum || *number.value > number.maximum) {
            *error = QStringLiteral("--%1 needs a number from %2 to %3")
                         .arg(number.name).arg(number.minimum).arg(number.maximum);
            return false;
        }
    }
    if (o->instruments == 0) {
        for (const char* name : {"insert-after-ms", "remove-after-ms", "instrument-version", "fail-instrument"}) {
            if (parser.isSet(name)) {
                *error = QStringLiteral("--%1 needs --instruments").arg(name);
                return false;
            }
        }
        return true;
    }
    if (!parser.isSet("dock") || parser.isSet("usb")) {
        *error = QStringLiteral("--instruments needs a network dock (--dock KIND, without --usb)");
        return false;
    }
    return readInstrumentLists(parser, o, error);
}

// ---------------------------------------------------------------- the bench

// One instrument in the dock, answering on the dock's data channel.
struct SimBench::Placed {
    Placed(int number, const SimOptions& options, const QByteArray& flash, const QByteArray& version,
           DockTransport& data)
        : number(number), options(options), instrument(options.faults, flash, version),
          session(data, instrument, this->options)
    {
    }
    int number;
    SimOptions options;  // the session keeps a reference
    SimInstrument instrument;
    SimSession session;
};

SimBench::SimBench(const SimOptions& options, const QByteArray& flash, const QByteArray& version, SimDock& dock,
                   DockTransport& data, QObject* parent)
    : QObject(parent), m_options(options), m_flash(flash), m_version(version), m_dock(dock), m_data(data)
{
    m_insertTimer.setSingleShot(true);
    m_removeTimer.setSingleShot(true);
    connect(&m_insertTimer, &QTimer::timeout, this, &SimBench::place);
    connect(&m_removeTimer, &QTimer::timeout, this, &SimBench::remove);
    connect(&m_dock, &SimDock::takenBack, this, [this] {
        if (m_placed) {
            m_removeTimer.start(m_options.bench.removeAfterMs);
        }
    });
    connect(&m_dock, &SimDock::passedThrough, &m_removeTimer, &QTimer::stop);
    m_dock.setInstrumentPresent(false);  // the dock starts empty
}

SimBench::~SimBench() = default;

void SimBench::start()
{
    m_insertTimer.start(m_options.bench.insertAfterMs);
}

bool SimBench::writeFlash() const
{
    return !m_placed || m_placed->session.writeFlash();
}

void SimBench::place()
{
    const int number = ++m_placedCount;
    const SimOptions options = optionsOf(number);
    const QByteArray version = options.versionGiven ? options.version : m_version;
    m_placed = std::make_unique<Placed>(number, options, m_flash, version, m_data);
    log(QStringLiteral("instrument %1 placed (version %2)").arg(number).arg(shown(version)));
    m_dock.setInstrumentPresent(true);
}

void SimBench::remove()
{
    m_dock.setInstrumentPresent(false);
    m_placed->session.writeFlash();
    log(QStringLiteral("instrument %1 removed").arg(m_placed->number));
    m_placed.reset();
    if (m_placedCount < m_options.bench.instruments) {
        m_insertTimer.start(m_options.bench.insertAfterMs);
    }
}

// The instrument's own options: the bench's, with its version, its fault and its flash file.
SimOptions SimBench::optionsOf(int number) const
{
    SimOptions options = m_options;
    if (m_options.bench.versions.contains(number)) {
        options.version = m_options.bench.versions.value(number);
        options.versionGiven = true;
    }
    if (m_options.bench.failing.contains(number)) {
        options.faults.nakFromPage = FailFromPage;
    }
    if (!options.flashOut.isEmpty()) {
        options.flashOut += QStringLiteral(".%1").arg(number);
    }
    return options;
}

void SimBench::log(const QString& line) const
{
    std::fprintf(stderr, "kt4-sim: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}
