#pragma once
// Releases the instrument's answers in order, each at its time.
//
// With a line rate set, each answer goes out whole once the line time (10 bits per byte, 8N1)
// of its command and of the answer itself has passed since the command was received (or since
// the previous answer went out, when commands came back to back). An added delay comes on top.
// Without either, an answer goes out at once, from inside push().

#include "sim/PreciseTimer.h"
#include "sim/SimInstrument.h"

#include <QList>
#include <QObject>

class AnswerPacer : public QObject {
    Q_OBJECT
public:
    using Clock = PreciseTimer::Clock;

    AnswerPacer(int baud, int delayMs, QObject* parent = nullptr);

    static Clock::duration lineTime(qint64 bytes, int baud);

    // When an answer to a command received at `received` is due, given what is already queued.
    Clock::time_point dueTime(Clock::time_point received, qsizetype commandBytes,
                              qsizetype answerBytes) const;

    void push(const SimAnswer& answer, Clock::time_point received);
    void clear();
    qsizetype queued() const { return m_queue.size(); }

signals:
    void ready(const SimAnswer& answer);

private:
    struct Item {
        Clock::time_point due;
        SimAnswer answer;
    };

    void release();

    int m_baud;
    Clock::duration m_delay;
    Clock::time_point m_lastDue{};
    QList<Item> m_queue;
    PreciseTimer m_timer;
};
