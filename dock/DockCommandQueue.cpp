#include "dock/DockCommandQueue.h"

#include <QPointer>
#include <algorithm>

TDockCommandQueue::TDockCommandQueue(TLine Line, QObject* Owner) : QObject(Owner), FLine(std::move(Line))
{
    FTimer.setSingleShot(true);
    connect(&FTimer, &QTimer::timeout, this, [this] { TimedOut(); });
    FSettle.setSingleShot(true);
    FSettle.setInterval(SettleMs);
    connect(&FSettle, &QTimer::timeout, this, [this] { SendNext(); });
}

void TDockCommandQueue::Queue(const QByteArray& Text, TReplyKind Kind, TDockDone Done, int TimeOutMs)
{
    FCommands.push_back({Text, Kind, std::move(Done), TimeOutMs});
    SendNext();
}

// The front command goes once nothing else is on the line: neither a queued
// one nor one of another sender's.
void TDockCommandQueue::SendNext()
{
    if (FInFlight || FCommands.empty() || FSettle.isActive() || !FLine.Free())
        return;
    if (!FLine.Up()) {
        Lose();
        return;
    }
    const TCommand& next = FCommands.front();
    FInFlight = true;
    const int fallback = FLine.DefaultTimeOutMs();
    FTimer.start(next.TimeOutMs > 0 ? next.TimeOutMs : fallback);
    QPointer<TDockCommandQueue> self(this);
    const bool sent = FLine.Send(next.Text, next.Kind);
    if (self && FInFlight && !sent)
        Complete(TDockOutcome::Lost);  // it could not be sent
}

void TDockCommandQueue::Replied(TDockOutcome Outcome, const QByteArray& Payload)
{
    Complete(Outcome, Payload);
}

// A plain "ACK" says nothing of the command it answers, so a reply that
// comes after its command's time-out cannot be told from the next command's
// by what it carries. The next command waits for one quiet gap instead:
// whatever the dock still says about the old one comes in that gap, finds
// nothing on the line and is dropped, and every reply after the gap belongs
// to the command sent after it.
void TDockCommandQueue::TimedOut()
{
    if (!FInFlight)
        return;
    FSettle.start();
    const bool bounded = FCommands.front().Bounded;
    QPointer<TDockCommandQueue> self(this);
    FLine.TimedOut();
    if (!self)
        return;
    if (bounded)
        GiveUpBounded();
    Complete(TDockOutcome::TimedOut);
}

// The dock left a command unanswered that stood before the hand-back: the
// others that stand before it are not sent.
void TDockCommandQueue::GiveUpBounded()
{
    std::deque<TCommand> kept, givenUp;
    kept.push_back(std::move(FCommands.front()));
    for (std::size_t i = 1; i < FCommands.size(); ++i)
        (FCommands[i].Bounded ? givenUp : kept).push_back(std::move(FCommands[i]));
    FCommands.swap(kept);
    TellLater(std::move(givenUp), TDockOutcome::GivenUp);
}

void TDockCommandQueue::Complete(TDockOutcome Outcome, const QByteArray& Payload)
{
    if (!FInFlight || FCommands.empty())
        return;
    FInFlight = false;
    FTimer.stop();
    TCommand done = std::move(FCommands.front());
    FCommands.pop_front();
    QPointer<TDockCommandQueue> self(this);
    if (done.Done)
        done.Done(TDockReply{Outcome, Payload});
    if (self)
        SendNext();
}

void TDockCommandQueue::Bound(int BoundMs)
{
    for (TCommand& command : FCommands) {
        command.Bounded = true;
        command.TimeOutMs = std::min(command.TimeOutMs > 0 ? command.TimeOutMs : FLine.DefaultTimeOutMs(), BoundMs);
    }
    if (FInFlight && FTimer.remainingTime() > BoundMs)
        FTimer.start(BoundMs);
}

void TDockCommandQueue::Lose()
{
    FSettle.stop();
    if (FCommands.empty())
        return;
    FInFlight = false;
    FTimer.stop();
    FLine.Lost();
    std::deque<TCommand> lost;
    lost.swap(FCommands);
    TellLater(std::move(lost), TDockOutcome::Lost);
}

void TDockCommandQueue::TellLater(std::deque<TCommand> Commands, TDockOutcome Outcome)
{
    if (Commands.empty())
        return;
    QMetaObject::invokeMethod(
        this,
        [Commands = std::move(Commands), Outcome] {
            for (const TCommand& command : Commands)
                if (command.Done)
                    command.Done(TDockReply{Outcome, {}});
        },
        Qt::QueuedConnection);
}

void TDockCommandQueue::Clear()
{
    FCommands.clear();
    FInFlight = false;
    FTimer.stop();
    FSettle.stop();
}
