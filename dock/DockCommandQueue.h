#pragma once
// The dock's commands, one after another.
//
// Commands wait in order; one is on the line at a time, with its own
// time-out, and each ends with its outcome (its Done, which may queue more)
// before the next is sent. Nothing waits: Done runs from the reply's handler,
// the timer or the transport's loss. The queue knows nothing of sockets or
// pipes: its owner gives it a line to send on and tells it what came back.

#include "dock/ControlStream.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>

// What the payload after "ACK" means, set by each command before it is sent.
enum TReplyKind { rkPlain, rkAdc, rkMasterSlave, rkLcdText };

// How a queued command ended.
// GivenUp: never sent, since a command ahead of it that had to make room
// for the hand-back went unanswered.
enum class TDockOutcome { Acknowledged, Refused, TimedOut, Lost, GivenUp };

struct TDockReply {
    TDockOutcome Outcome = TDockOutcome::Lost;
    QByteArray Payload;  // what followed "ACK"
    bool Acknowledged() const { return Outcome == TDockOutcome::Acknowledged; }
};
using TDockDone = std::function<void(const TDockReply& Reply)>;

class TDockCommandQueue : public QObject {
public:
    // After a time-out the next command waits this long, and a reply in that
    // gap is the late one of the command that timed out: it is dropped.
    static constexpr int SettleMs = TControlStream::QuietGapMs;

    // What the queue sends on, given by its owner.
    struct TLine {
        std::function<bool()> Up;    // the control connection is up
        std::function<bool()> Free;  // no other sender's command is on the line
        // Puts the text on the line, its reply to be read as Kind: false when it could not be sent.
        std::function<bool(const QByteArray& Text, TReplyKind Kind)> Send;
        std::function<int()> DefaultTimeOutMs;  // for a command queued without one of its own
        std::function<void()> TimedOut;         // told before the timed-out command's Done
        std::function<void()> Lost;             // told when every command is lost with the line
    };

    TDockCommandQueue(TLine Line, QObject* Owner);

    // A command, its reply read as Kind, ended within TimeOutMs (the line's
    // default when 0 or less). A line that is down ends every command as lost.
    void Queue(const QByteArray& Text, TReplyKind Kind, TDockDone Done = {}, int TimeOutMs = 0);
    // The dock answered the command on the line ("ACK" and its payload, or "NAK").
    void Replied(TDockOutcome Outcome, const QByteArray& Payload = {});
    // The line is gone: every command ends as lost, told once the current
    // handler has returned (never inside the call that queued it).
    void Lose();
    // The line may have become free: the front command goes if it can.
    void SendNext();
    // Commands that must go soon (the hand-back) are queued next: what is
    // waiting or on the line now ends within BoundMs of its sending (the one
    // on the line within BoundMs from now), and once one of these goes
    // unanswered the rest of them are given up, so that none of it holds
    // back what follows by more than BoundMs.
    void Bound(int BoundMs);
    // Forgets every command without telling anyone (an owner tearing down).
    void Clear();

    // Commands waiting or on the line.
    int Count() const { return int(FCommands.size()); }

private:
    struct TCommand {
        QByteArray Text;
        TReplyKind Kind = rkPlain;
        TDockDone Done;
        int TimeOutMs = 0;
        bool Bounded = false;  // ahead of commands that must go soon
    };

    void TimedOut();
    void GiveUpBounded();
    // Tells each command its outcome once the current handler has returned.
    void TellLater(std::deque<TCommand> Commands, TDockOutcome Outcome);
    void Complete(TDockOutcome Outcome, const QByteArray& Payload = {});

    TLine FLine;
    std::deque<TCommand> FCommands;  // the front one is on the line when FInFlight
    bool FInFlight = false;
    QTimer FTimer;
    QTimer FSettle;  // running: a command timed out a moment ago
};
