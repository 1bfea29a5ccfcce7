// The dock's command queue alone, on a line played by the test: the dock
// answers each command in turn as the row says, right after it was sent.

#include "dock/DockCommandQueue.h"
#include "tests/TestSupport.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <vector>

namespace {

// TDockOutcome's values in their order.
const char* const OutcomeNames[] = {"ACK", "NAK", "timed out", "lost", "given up"};

// What the dock does with each command: "ACK", "NAK", "none" (no answer),
// "late" (its "ACK" comes right after the command timed out) or "lose" (the
// line goes down).
struct TQueueCase {
    const char* Name;
    int TimeOutMs;                  // of the commands queued first
    std::vector<QByteArray> Dock;   // for the commands queued first, "C0", "C1", ...
    int HandBackMs;                 // > 0: then what is queued is bounded to this and "MST" (answered) queued
    const char* Ends;               // how each command ended, in order
};

const TQueueCase QueueCases[] = {
    {"time-out", 20, {"none", "ACK"}, 0, "C0 timed out, C1 ACK"},
    {"a late reply completes no later command", 20, {"late", "NAK", "ACK"}, 0, "C0 timed out, C1 NAK, C2 ACK"},
    {"NAK", 20000, {"NAK", "ACK"}, 0, "C0 NAK, C1 ACK"},
    {"lost transport", 20000, {"lose", "ACK"}, 0, "C0 lost, C1 lost"},
    {"a hand-back behind a stuck command", 600000, {"none", "ACK"}, 20, "C0 timed out, C1 given up, MST ACK"},
    {"a hand-back behind answered commands", 600000, {"ACK", "NAK"}, 20, "C0 ACK, C1 NAK, MST ACK"},
};

}  // namespace

TEST(DockQueue, EachCommandEndsWithItsOwnOutcomeInOrder)
{
    for (const TQueueCase& row : QueueCases) {
        SCOPED_TRACE(row.Name);
        bool up = true;
        QByteArray onLine;
        QStringList ends;
        QObject owner;
        TDockCommandQueue* queue = nullptr;
        const auto later = [&](std::function<void()> Act) { QTimer::singleShot(0, queue, std::move(Act)); };
        const auto dockDoes = [&](const QByteArray& Text) {
            return Text == "MST" ? QByteArray("ACK") : row.Dock.at(Text.mid(1).toInt());
        };
        TDockCommandQueue::TLine line{
            [&] { return up; },
            [] { return true; },
            [&](const QByteArray& Text, TReplyKind) {
                onLine = Text;
                const QByteArray act = dockDoes(Text);
                if (act == "ACK" || act == "NAK")
                    later([&, act] {
                        queue->Replied(act == "ACK" ? TDockOutcome::Acknowledged : TDockOutcome::Refused);
                    });
                else if (act == "lose")
                    later([&] {
                        up = false;
                        queue->Lose();
                    });
                return true;
            },
            [] { return 10000; },
            [&] {
                if (dockDoes(onLine) == "late")
                    later([&] { queue->Replied(TDockOutcome::Acknowledged); });
            },
            [] {}};
        queue = new TDockCommandQueue(line, &owner);
        const auto told = [&](const QByteArray& Text) {
            return [&, Text](const TDockReply& Reply) { ends << Text + " " + OutcomeNames[int(Reply.Outcome)]; };
        };
        for (std::size_t i = 0; i < row.Dock.size(); ++i)
            queue->Queue("C" + QByteArray::number(int(i)), rkPlain, told("C" + QByteArray::number(int(i))),
                         row.TimeOutMs);
        if (row.HandBackMs > 0) {
            queue->Bound(row.HandBackMs);
            queue->Queue("MST", rkMasterSlave, told("MST"), 20000);
        }
        const int expected = int(QString(row.Ends).split(", ").size());
        EXPECT_TRUE(WaitFor([&] { return ends.size() >= expected; }, 60000)) << ends.join(", ").toStdString();
        EXPECT_EQ(ends.join(", ").toStdString(), row.Ends);
        EXPECT_EQ(queue->Count(), 0);
    }
}
