#pragma once
// The simulated Kelo6 docking station: its control channel (a TCP listener at
// the dock's loopback address, port 5004) and the protocol it speaks there.
// The instrument's bytes travel on the data channel (DockTransport).
//
// The dock answers every command: "ACK" with the command's payload ("ADC":
// four 16-bit values, most significant byte first, the second one the battery
// reading; "SLV"/"MST": "B" busy or "I" idle; "RLC0"/"RLC1": the line's 16
// characters), keeps its four LCD lines and its pump level and prints them
// when they change. It passes the instrument through on "SLV" once it is no
// longer busy, raising "EVT1", and takes it back on "DSC" or "MST" (and when
// the control connection goes), raising "EVT2". Fault modes: see SimDockOptions.

#include "sim/SimDockOptions.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>

class DockTransport;
class DescriptorWriter;

// The control protocol, apart from any transport.
class SimDockProtocol {
public:
    static constexpr int LcdWidth = 16;

    explicit SimDockProtocol(const SimDockOptions& options);

    // Takes control bytes; what goes back, one write per entry.
    QList<QByteArray> feed(const QByteArray& bytes);
    void discardPartial() { m_input.clear(); }
    bool hasPartial() const { return !m_input.isEmpty(); }
    // The control connection went away: the dock takes the instrument back.
    void endSession() { m_passing = false; }

    bool passing() const { return m_passing; }
    QByteArray lcdLine(int line) const { return m_lcd[line]; }
    int pumpLevel() const { return m_pumpLevel; }
    // The four lines as one text: [line 0][line 1][line 2][line 3].
    QByteArray display() const;
    // A battery report: "EVTE", "C" and the millivolts' reading in four
    // hexadecimal digits (not hexadecimal with --malformed-battery).
    QByteArray batteryEvent() const;

    // Told of every change worth a line in the log.
    std::function<void(const QString&)> log;

private:
    int commandLength() const;
    QList<QByteArray> answer(const QByteArray& command);
    QByteArray reply(const QByteArray& word, const QByteArray& command, QByteArray* after);
    bool listed(const QList<QByteArray>& words, const QByteArray& word) const;
    quint16 batteryReading() const;

    SimDockOptions m_options;
    QByteArray m_input;
    QByteArray m_lcd[4];
    int m_pumpLevel = 0;
    int m_busyLeft = 0;
    bool m_passing = false;
};

// The control channel served at the dock's address.
class SimDock : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 ControlPort = 5004;
    static constexpr quint16 DataPort = 5005;
    static constexpr int StaleInputMs = 1000;
    static constexpr int InstrumentWakeMs = 50;

    SimDock(const SimDockOptions& options, DockTransport& data, bool verbose, QObject* parent = nullptr);
    ~SimDock() override;

    bool open(QString* error);
    const SimDockProtocol& protocol() const { return m_protocol; }

private:
    void acceptClients();
    void readControl();
    void endControl();
    void write(const QByteArray& bytes);
    void sendBattery();
    void log(const QString& line) const;

    SimDockProtocol m_protocol;
    DockTransport& m_data;
    bool m_verbose;
    QString m_address;
    int m_batteryEveryMs;
    int m_listener = -1;
    std::unique_ptr<QSocketNotifier> m_acceptNotifier;
    int m_control = -1;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<DescriptorWriter> m_writer;
    QTimer m_batteryTimer;
    QElapsedTimer m_sinceInput;
};
