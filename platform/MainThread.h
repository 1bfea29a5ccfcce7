#pragma once
// The main-thread services the link, the docks and the USB layer rely on.

#include <functional>

// Lets pending events be processed once, as a handler that waits must.
void ProcessMessages();

// Lets events be processed as they come for Ms milliseconds: a wait that
// keeps the program responsive and costs no CPU. False when it was cut short
// because the application is leaving its event loops.
bool ProcessMessagesFor(int Ms);

// Sleeps until at least one event has come, then processes what is pending.
void WaitForMessages();

// Waits on the event loop, sleeping between events, until Done holds or
// TimeoutMs has passed (negative: no limit). Done is looked at before the
// first wait and after every event. Whether Done held at the end.
bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs = -1);

// Runs Call on the main thread and returns once it has run. On the main thread
// itself the call runs at once.
void RunOnMainThreadAndWait(const std::function<void()>& Call);

// Runs Call on the main thread after the current handler has returned.
void PostToMainThread(std::function<void()> Call);

bool IsMainThread();
