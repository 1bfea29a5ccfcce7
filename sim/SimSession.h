#pragma once
// Runs the simulated instrument on a transport: commands in, answers out at their time, the
// flash written where asked, and the link given up when a fault mode says so.

#include "sim/AnswerPacer.h"
#include "sim/SimInstrument.h"
#include "sim/SimOptions.h"
#include "sim/SimTransport.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

class SimSession : public QObject {
    Q_OBJECT
public:
    // Bytes of an unfinished command older than this are thrown away when new bytes arrive.
    static constexpr int DefaultStaleInputMs = 1000;
    // After the last answer before losing the link, wait at most this long for the utility to
    // take it.
    static constexpr int DrainMs = 500;
    // Between the pieces of an answer written in pieces: long enough for the utility to read
    // each piece on its own, as it does when an adapter's latency timer cuts an answer.
    static constexpr int PiecePauseMs = 3;
    // What the chatter fault sends: no answer to anything (its index is no digit).
    static constexpr const char* ChatterLine = "INF-CHARGING\r\n";

    SimSession(SimTransport& transport, SimInstrument& instrument, const SimOptions& options,
               QObject* parent = nullptr);

    void setStaleInputMs(int milliseconds) { m_staleInputMs = milliseconds; }

    // Writes the flash to the --flash-out file; true when there is none to write.
    bool writeFlash() const;

signals:
    // The session is over (the link was given up or the transport failed).
    void finished(int exitCode);

private:
    void onReceived(const QByteArray& bytes);
    void onReady(const SimAnswer& answer);
    void write(const QByteArray& text);
    void writeNextPiece();
    void chatter();
    void onClosed();
    void onFailed(const QString& reason);
    void dropStaleInput();
    void logCommand(const SimAnswer& answer) const;
    void verbose(const QString& line) const;
    void log(const QString& line) const;

    SimTransport& m_transport;
    SimInstrument& m_instrument;
    const SimOptions& m_options;
    AnswerPacer m_pacer;
    QElapsedTimer m_sinceInput;
    int m_staleInputMs = DefaultStaleInputMs;
    bool m_losing = false;
    QList<QByteArray> m_pieces;  // an answer still being written in pieces
    QTimer m_pieceTimer;
    QTimer m_chatterTimer;
};
