#pragma once
// A service bench in front of the simulated dock: a person places instruments in
// the dock one after the other. Each one is a fresh simulated instrument (its own
// flash, version and faults) served on the dock's data channel while it is there.
//
// Instrument 1 is placed insertAfterMs after the start. Once the dock has taken
// an instrument back ("MST", "DSC" or the control connection gone after it was
// passed through), it is removed removeAfterMs later, unless the utility has it
// passed through again meanwhile (then the count starts again at the next take-
// back). The next one is placed insertAfterMs after a removal; after the last
// one, none. Instrument I's flash goes to the --flash-out file with ".I" added,
// after its program command, when it is removed and at exit.

#include "sim/SimBenchOptions.h"
#include "sim/SimOptions.h"

#include <QObject>
#include <QTimer>

#include <memory>

class DockTransport;
class SimDock;

class SimBench : public QObject {
    Q_OBJECT
public:
    static constexpr int FailFromPage = 100;

    // flash and version: what every instrument starts from unless its options say otherwise.
    SimBench(const SimOptions& options, const QByteArray& flash, const QByteArray& version, SimDock& dock,
             DockTransport& data, QObject* parent = nullptr);
    ~SimBench() override;

    // The clock starts: instrument 1 is placed insertAfterMs from now.
    void start();
    // Writes the flash of the instrument in the dock; true when there is none to write.
    bool writeFlash() const;

private:
    struct Placed;

    void place();
    void remove();
    SimOptions optionsOf(int number) const;
    void log(const QString& line) const;

    const SimOptions& m_options;
    QByteArray m_flash;
    QByteArray m_version;
    SimDock& m_dock;
    DockTransport& m_data;
    int m_placedCount = 0;
    std::unique_ptr<Placed> m_placed;  // the instrument in the dock, if any
    QTimer m_insertTimer;
    QTimer m_removeTimer;
};
