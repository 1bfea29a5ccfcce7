#include "sim/AnswerPacer.h"

#include <algorithm>

namespace {
constexpr qint64 BitsPerByte = 10;  // start bit, 8 data bits, stop bit
}

AnswerPacer::AnswerPacer(int baud, int delayMs, QObject* parent)
    : QObject(parent), m_baud(baud), m_delay(std::chrono::milliseconds(delayMs))
{
    connect(&m_timer, &PreciseTimer::timeout, this, &AnswerPacer::release);
}

AnswerPacer::Clock::duration AnswerPacer::lineTime(qint64 bytes, int baud)
{
    if (baud <= 0) {
        return Clock::duration::zero();
    }
    const qint64 nanoseconds = bytes * BitsPerByte * 1'000'000'000 / baud;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds));
}

AnswerPacer::Clock::time_point AnswerPacer::dueTime(Clock::time_point received,
                                                    qsizetype commandBytes,
                                                    qsizetype answerBytes) const
{
    const Clock::time_point start = std::max(received, m_lastDue);
    return start + lineTime(commandBytes + answerBytes, m_baud) + m_delay;
}

void AnswerPacer::push(const SimAnswer& answer, Clock::time_point received)
{
    m_lastDue = dueTime(received, answer.command.size(), answer.text.size());
    m_queue.append({m_lastDue, answer});
    release();
}

void AnswerPacer::clear()
{
    m_queue.clear();
    m_timer.stop();
}

// Sends every answer whose time has come and sleeps until the next one is due.
void AnswerPacer::release()
{
    while (!m_queue.isEmpty() && m_queue.first().due <= Clock::now()) {
        const SimAnswer answer = m_queue.takeFirst().answer;
        emit ready(answer);
    }
    if (m_queue.isEmpty()) {
        m_timer.stop();
    } else {
        m_timer.startAt(m_queue.first().due);
    }
}
