#pragma once
// The simulated docking station of each kind (kelo6, express, mp-express): its
// control channel (a TCP listener at the dock's loopback address, on the
// kind's control port) and the protocol it speaks there. The instrument's
// bytes travel on the data channel (DockTransport); the dock enumerator's
// enquiries are answered by SimDockEnquiries.
//
// The dock answers every command of its kind: "ACK" with the command's
// payload ("ADC": four 16-bit values, most significant byte first, the second
// one the battery reading; "SLV"/"MST": "B" busy or "I" idle, except at the
// multi-port dock, which has no busy state; "RLC0"/"RLC1": the line's 16
// characters), keeps its four LCD lines and (the Kelo6 dock alone) its pump
// level and prints them when they change; a command it does not know is
// answered "NAK". It passes the instrument through on "SLV" once it is no
// longer busy, raising "EVT1", and takes it back on "DSC" or "MST" (and when
// the control connection goes), raising "EVT2". Fault modes: see SimDockOptions.
//
// At a bench (SimBench) instruments come and go: one placed raises "EVT4" and
// is passed through at once when "SLV" was acknowledged (and no "MST" or "DSC"
// since), raising "EVT1"; one removed raises "EVT2" if it was passed through,
// then "EVT5". Without a bench the instrument is always there.

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
    void endSession() { m_passing = m_slave = false; }
    // An instrument placed in the dock or removed: the events raised, in order.
    QList<QByteArray> setPresent(bool present);

    const SimDockKind& kind() const { return m_kind; }
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
    const SimDockKind& m_kind;
    QByteArray m_input;
    QByteArray m_lcd[4];
    int m_pumpLevel = 0;
    bool m_slave = false;    // "SLV" acknowledged, no "MST" or "DSC" since
    bool m_present = true;   // an instrument is in the dock
    int m_busyLeft = 0;
    bool m_passing = false;
    QByteArray m_previous;  // the command answered last
};

// The control channel served at the dock's address.
class SimDock : public QObject {
    Q_OBJECT
public:
    static constexpr int StaleInputMs = 1000;
    static constexpr int InstrumentWakeMs = 50;
    static constexpr int SplitPauseMs = 5;
    static constexpr int FloodBlockSize = 65536;  // written at a time by --flood-control
    static constexpr int FloodTopUpMs = 1;

    SimDock(const SimDockOptions& options, DockTransport& data, bool verbose, QObject* parent = nullptr);
    ~SimDock() override;

    bool open(QString* error);
    const SimDockProtocol& protocol() const { return m_protocol; }
    // An instrument placed or removed: its events go out on the control connection.
    void setInstrumentPresent(bool present);

signals:
    // The utility had the instrument passed through ("SLV"), or the dock took
    // it back ("MST", "DSC" or the control connection gone).
    void passedThrough();
    void takenBack();

private:
    void acceptClients();
    void readControl();
    void endControl();
    void write(const QByteArray& bytes);
    void writeAll(const QList<QByteArray>& outs);
    void reportInstrument();
    void followPassing();
    void sendBattery();
    void startFlood();
    void topUpFlood();
    void programAnswered();
    void writeNextPiece();
    void log(const QString& line) const;

    SimDockProtocol m_protocol;
    SimDockOptions m_options;
    bool m_delaying = false;
    QList<QByteArray> m_pieces;  // control pieces still to go, in order
    DockTransport& m_data;
    bool m_verbose;
    QString m_address;
    quint16 m_controlPort;
    int m_batteryEveryMs;
    int m_listener = -1;
    std::unique_ptr<QSocketNotifier> m_acceptNotifier;
    int m_control = -1;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<DescriptorWriter> m_writer;
    QTimer m_batteryTimer;
    QByteArray m_floodBlock;  // the flood's bytes repeated to a block
    QTimer m_floodTimer;
    QElapsedTimer m_sinceInput;
};
