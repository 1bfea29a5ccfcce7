#pragma once
// The test's side of a dock's callbacks: a request made, then the event loop
// run until its Done has come.

#include "dock/KeloDock.h"
#include "tests/TestSupport.h"

#include <memory>
#include <optional>

// What Ask's Done was given; nothing when it did not come in time.
template <class T, class TAsk>
std::optional<T> Await(TAsk&& Ask, int TimeoutMs = 20000)
{
    auto result = std::make_shared<std::optional<T>>();
    Ask([result](T Value) { *result = std::move(Value); });
    WaitFor([&] { return result->has_value(); }, TimeoutMs);
    return *result;
}

inline bool Opened(TPassThroughDock& Dock)
{
    return Await<bool>([&](auto Done) { Dock.Open(Done); }).value_or(false);
}

inline bool Closed(TPassThroughDock& Dock)
{
    return Await<bool>([&](auto Done) { Dock.Close([Done] { Done(true); }); }).has_value();
}

inline std::optional<TSlaveAnswer> AskSlave(TPassThroughDock& Dock)
{
    return Await<TSlaveAnswer>([&](auto Done) { Dock.RequestSlaveMode(Done); });
}

// The outcome of one queued command (Lost when none came).
inline TDockOutcome Ask(const std::function<void(TDockDone)>& Queue)
{
    return Await<TDockReply>(Queue).value_or(TDockReply{}).Outcome;
}
