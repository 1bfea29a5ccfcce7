#include "platform/Events.h"

#include <gtest/gtest.h>

TEST(Events, EmptyEventDoesNothingAndAssignmentReplaces)
{
    TReceiveMsg event;
    event(nullptr, "x");  // must not crash
    EXPECT_FALSE(static_cast<bool>(event));

    QList<QByteArray> seen;
    event = [&](QObject*, const QByteArray& d) { seen << "first:" + d; };
    event = [&](QObject*, const QByteArray& d) { seen << "second:" + d; };
    event(nullptr, "a");
    EXPECT_EQ(seen, QList<QByteArray>({"second:a"}));

    event = nullptr;
    event(nullptr, "b");
    EXPECT_EQ(seen.size(), 1);
}

// The head model installs the handler for the next answer from inside the
// handler of the current one; the running handler must survive that.
TEST(Events, HandlerMayReplaceItselfWhileRunning)
{
    TLinkStatus event;
    std::vector<std::string> calls;
    int captured = 42;
    event = [&, captured](QObject*, bool) {
        event = [&](QObject*, bool) { calls.push_back("next"); };
        // the lambda's own captures are still valid here
        calls.push_back("first " + std::to_string(captured));
    };
    event(nullptr, true);
    event(nullptr, true);
    EXPECT_EQ(calls, (std::vector<std::string>{"first 42", "next"}));
}
