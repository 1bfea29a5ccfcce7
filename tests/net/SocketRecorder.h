#pragma once
// Records every event a socket of the socket layer raises.

#include "net/WSocket.h"
#include "tests/TestSupport.h"

#include <QList>

struct TSocketRecorder {
    explicit TSocketRecorder(TCustomWSocket& Socket) : FSocket(Socket)
    {
        Socket.OnSessionConnected = [this](QObject* Sender, quint16 Error) {
            Connected << Error;
            StateAtConnected = FSocket.State();
            Senders << Sender;
        };
        Socket.OnSessionClosed = [this](QObject* Sender, quint16 Error) {
            Closed << Error;
            StateAtClosed = FSocket.State();
            Senders << Sender;
        };
        Socket.OnDataSent = [this](QObject* Sender, quint16 Error) {
            ++DataSent;
            Senders << Sender;
        };
        Socket.OnError = [this](QObject* Sender) {
            Errors << FSocket.LastError();
            Senders << Sender;
        };
    }

    bool AllFromSocket() const
    {
        for (QObject* sender : Senders)
            if (sender != &FSocket)
                return false;
        return true;
    }

    QList<int> Connected;
    QList<int> Closed;
    QList<int> Errors;
    int DataSent = 0;
    TSocketState StateAtConnected = wsInvalidState;
    TSocketState StateAtClosed = wsInvalidState;
    QList<QObject*> Senders;

private:
    TCustomWSocket& FSocket;
};

// Lets the event loop run for a short while, so that a notification that must
// not come has had its chance.
inline void SettleEvents(int Ms = 50)
{
    WaitFor([] { return false; }, Ms);
}
