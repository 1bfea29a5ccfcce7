#include "sim/SimSession.h"

#include "sim/SampleImage.h"

#include <cstdio>

namespace {


} // namespace

SimSession::SimSession(SimTransport& transport, SimInstrument& instrument,
                       const SimOptions& options, QObject* parent)
    : QObject(parent),
      m_transport(transport),
      m_instrument(instrument),
      m_options(options),
      m_pacer(options.baud, options.delayMs)
{
    connect(&m_transport, &SimTransport::received, this, &SimSession::onReceived);
    connect(&m_transport, &SimTransport::closed, this, &SimSession::onClosed);
    connect(&m_transport, &SimTransport::failed, this, &SimSession::onFailed);
    connect(&m_pacer, &AnswerPacer::ready, this, &SimSession::onReady);
    m_pieceTimer.setInterval(PiecePauseMs);
    connect(&m_pieceTimer, &QTimer::timeout, this, &SimSession::writeNextPiece);
    if (options.chatterMs > 0) {
        connect(&m_chatterTimer, &QTimer::timeout, this, &SimSession::chatter);
        m_chatterTimer.start(options.chatterMs);
    }
    m_sinceInput.start();
}

bool SimSession::writeFlash() const
{
    if (m_options.flashOut.isEmpty()) {
        return true;
    }
    QString error;
    if (!SampleImage::writeFile(m_options.flashOut, m_instrument.flash(), &error)) {
        log(error);
        return false;
    }
    return true;
}

void SimSession::onReceived(const QByteArray& bytes)
{
    if (m_losing) {
        return;
    }
    const auto received = AnswerPacer::Clock::now();
    dropStaleInput();
    const int programmed = m_instrument.programCount();
    const QList<SimAnswer> answers = m_instrument.feed(bytes);
    if (m_instrument.programCount() != programmed) {
        writeFlash();  // before the answer goes out, so the file is there when the utility is done
    }
    for (const SimAnswer& answer : answers) {
        logCommand(answer);
        if (!answer.dropped) {
            m_pacer.push(answer, received);
        }
    }
}

// A command left unfinished for a long time is garbage (for example the rest of a write that the
// utility gave up); the next command starts afresh.
void SimSession::dropStaleInput()
{
    if (m_instrument.hasPartial() && m_sinceInput.elapsed() > m_staleInputMs) {
        verbose(QStringLiteral("dropping an unfinished command"));
        m_instrument.discardPartial();
    }
    m_sinceInput.restart();
}

void SimSession::onReady(const SimAnswer& answer)
{
    if (m_losing) {
        return;
    }
    verbose(QStringLiteral("-> ") + shown(answer.text.left(64)));
    if (answer.loseLink) {
        m_transport.send(answer.text);
        verbose(QStringLiteral("losing the link"));
        m_losing = true;
        m_pacer.clear();
        m_transport.closeWhenDrained(DrainMs);
        return;
    }
    write(answer.text);
}

// An answer goes out whole, or in the pieces the split faults ask for.
void SimSession::write(const QByteArray& answer)
{
    const QByteArray text = m_options.doubleAnswers ? answer + answer : answer;
    if (m_options.byteAtATime) {
        for (char c : text) {
            m_pieces.append(QByteArray(1, c));
        }
    } else if (m_options.splitAt > 0 && text.size() > m_options.splitAt) {
        m_pieces << text.left(m_options.splitAt) << text.mid(m_options.splitAt);
    } else if (m_pieces.isEmpty()) {
        m_transport.send(text);
        return;
    } else {
        m_pieces.append(text);
    }
    if (!m_pieceTimer.isActive()) {
        writeNextPiece();
    }
}

void SimSession::writeNextPiece()
{
    if (m_pieces.isEmpty() || m_losing) {
        m_pieceTimer.stop();
        return;
    }
    m_transport.send(m_pieces.takeFirst());
    if (m_pieces.isEmpty()) {
        m_pieceTimer.stop();
    } else if (!m_pieceTimer.isActive()) {
        m_pieceTimer.start();
    }
}

void SimSession::chatter()
{
    if (!m_losing) {
        m_transport.send(ChatterLine);
    }
}

void SimSession::onClosed()
{
    writeFlash();
    emit finished(0);
}

void SimSession::onFailed(const QString& reason)
{
    log(reason);
    emit finished(1);
}

void SimSession::logCommand(const SimAnswer& answer) const
{
    QString line = QStringLiteral("<- ") + shown(answer.command.left(4));
    if (answer.command.startsWith("WEP")) {
        line += QStringLiteral(" page %1 (%2 bytes)")
                    .arg(static_cast<quint8>(answer.command.at(4)) * 256
                         + static_cast<quint8>(answer.command.at(5)))
                    .arg(answer.command.size());
    }
    if (answer.dropped) {
        line += QStringLiteral(", answer dropped");
    }
    verbose(line);
}

void SimSession::verbose(const QString& line) const
{
    if (m_options.verbose) {
        log(line);
    }
}

void SimSession::log(const QString& line) const
{
    std::fprintf(stderr, "kt4-sim: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}
