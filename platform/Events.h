#pragma once
// Single-slot events: assigning replaces the previous handler, raising an empty
// event does nothing. Raising calls a copy of the handler, because a handler may
// replace itself while it runs (the head model installs the handler for the next
// answer from inside the handler of the current one).

#include <QByteArray>
#include <QObject>
#include <functional>
#include <utility>

template <typename... Args>
class TEvent {
public:
    using Handler = std::function<void(Args...)>;

    TEvent() = default;
    TEvent(Handler h) : FHandler(std::move(h)) {}  // NOLINT: assignment reads like the design tables

    TEvent& operator=(Handler h)
    {
        FHandler = std::move(h);
        return *this;
    }
    TEvent& operator=(std::nullptr_t)
    {
        FHandler = nullptr;
        return *this;
    }

    void operator()(Args... args) const
    {
        if (!FHandler)
            return;
        Handler running = FHandler;  // survives the handler replacing itself
        running(std::forward<Args>(args)...);
    }

    explicit operator bool() const { return static_cast<bool>(FHandler); }
    // The handler in force, so that another may be put in front of it.
    Handler Get() const { return FHandler; }
    void Clear() { FHandler = nullptr; }

private:
    Handler FHandler;
};

// The event types shared by the link, the head model and the main window.
using TNotifyEvent = TEvent<QObject*>;
using TReceiveMsg = TEvent<QObject*, const QByteArray&>;
using TLinkStatus = TEvent<QObject*, bool>;
using TOnTimeOut = TEvent<QObject*, quint16>;
using TSentEE = TEvent<QObject*, int>;
using TOnProgress = TEvent<QObject*, int, int>;
