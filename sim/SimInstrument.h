#pragma once
// The protocol of the simulated KT4 head, independent of any transport.
//
// Commands arrive as a byte stream without framing: a three-letter word, the message index
// character, and for "WEP" the page number (high byte first), 256 data bytes and their 16-bit sum
// (high byte first), 264 bytes in all. Every other command is 4 bytes. The instrument answers with
// "ACK" or "NAK", the command's index character in the fourth place, and what the command asks
// for: "16" for the identity, the flash version text, or the echo of the page number.
//
// Fault modes, each off by default:
//  - nakEvery N: every N-th page command (resends included) gets "NAK"; the page is not stored.
//  - dropPage P: the first answer for page P is not sent (the page is stored if it was good).
//  - wrongEchoPage P: the first positive answer for page P echoes page P+1; the page is stored.
//  - wrongType: the identity answer carries "12" instead of "16".
//  - loseAfterPage P: the first positive answer for page P that is sent asks to lose the link.
//  - pfmNak: the program command gets "NAK"; the flash version stays as it was.
//  - wrongEchoAlways: every positive page answer echoes the next page; the page is stored.
//  - shortAnswers: page answers carry no page echo ("ACK" and the index only).
//  - silentAfterPage P: after acknowledging page P the instrument answers nothing more.
//  - garbagePage P: the first answer for page P is 64 KiB of noise instead (the page is stored).
//  - keepVersion: the program command is acknowledged, but the instrument restarts with its old
//    firmware: it goes on reporting the version it had.
//  - silentAfterProgram: after acknowledging the program command it answers nothing more (it
//    never comes back from its restart).
//  - nakFromPage P: every page command from page P on gets "NAK" and is not stored (an upload
//    that fails mid-way, however often it is tried).

#include "sim/SampleImage.h"

#include <QByteArray>
#include <QList>

struct SimFaults {
    int nakEvery = 0;
    int dropPage = -1;
    int wrongEchoPage = -1;
    bool wrongType = false;
    int loseAfterPage = -1;
    bool pfmNak = false;
    bool wrongEchoAlways = false;
    bool shortAnswers = false;
    int silentAfterPage = -1;
    int garbagePage = -1;
    bool keepVersion = false;
    bool silentAfterProgram = false;
    int nakFromPage = -1;
};

// The noise the garbage fault sends: no "A" in it, so it never reads as an answer.
QByteArray simGarbage(int size);

// One complete command and what the instrument does about it.
struct SimAnswer {
    QByteArray command;     // the command as received
    QByteArray text;        // the answer
    bool dropped = false;   // the answer is not to be sent
    bool loseLink = false;  // after sending the answer, the link is to go away
};

class SimInstrument {
public:
    static constexpr int CommandLength = 4;
    static constexpr int PageCommandLength = 264;

    SimInstrument(const SimFaults& faults, const QByteArray& initialFlash, const QByteArray& version);

    // Takes bytes from the stream and answers every command that is complete, in order.
    QList<SimAnswer> feed(const QByteArray& bytes);

    // Forgets an incomplete command (for example after a gap in the stream).
    void discardPartial() { m_input.clear(); }
    bool hasPartial() const { return !m_input.isEmpty(); }

    const QByteArray& flash() const { return m_flash; }
    const QByteArray& version() const { return m_version; }
    int programCount() const { return m_programCount; }
    int pageCommandCount() const { return m_pageCommands; }

private:
    int completeLength() const;
    SimAnswer answer(const QByteArray& command);
    QByteArray identity() const;
    SimAnswer answerPage(const QByteArray& command);
    bool pageIsGood(const QByteArray& command, int page) const;
    void applyPageFaults(SimAnswer& result, int page, bool positive);
    SimAnswer answerProgram(const QByteArray& command);

    SimFaults m_faults;
    QByteArray m_flash;
    QByteArray m_version;
    QByteArray m_input;
    int m_pageCommands = 0;
    int m_programCount = 0;
    bool m_dropDone = false;
    bool m_wrongEchoDone = false;
    bool m_loseDone = false;
    bool m_garbageDone = false;
    bool m_silent = false;
};
