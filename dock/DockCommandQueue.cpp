#include "dock/DockCommandQueue.h"

#include <QPointer>

TDockCommandQueue::TDockCommandQueue(TLine Line, QObject* Owner) : QObject(Owner), FLine(std::move(Line))
{
    FTimer.setSingleShot(true);
    connect(&FTimer, &QTimer::timeout, this, [this] { TimedOut(); });
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
    if (FInFlight || FCommands.empty() || !FLine.Free())
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

void TDockCommandQueue::TimedOut()
{
    if (!FInFlight)
        return;
    QPointer<TDockCommandQueue> self(this);
    FLine.TimedOut();
    if (self)
        Complete(TDockOutcome::TimedOut);
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

void TDockCommandQueue::Lose()
{
    if (FCommands.empty())
        return;
    FInFlight = false;
    FTimer.stop();
    FLine.Lost();
    std::deque<TCommand> lost;
    lost.swap(FCommands);
    QMetaObject::invokeMethod(
        this,
        [lost = std::move(lost)] {
            for (const TCommand& command : lost)
                if (command.Done)
                    command.Done(TDockReply{TDockOutcome::Lost, {}});
        },
        Qt::QueuedConnection);
}

void TDockCommandQueue::Clear()
{
    FCommands.clear();
    FInFlight = false;
    FTimer.stop();
}
