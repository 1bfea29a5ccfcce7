#pragma once
// Finds docking stations on the local network: broadcasts a three-byte enquiry
// ("ENQ") to the dock family's enquiry port, listens ten seconds for answers on
// the family's answer port, and keeps each accepted answer's text and sender.
// It never connects to a dock itself.
//
// Anyone on the network may answer, so an answer is taken as data: one entry
// per sender (a sender that answers again gets its newest name in its own
// place), at most MaxDocks entries, names with control characters refused and
// long ones cut to MaxNameLength.

#include "net/WSocket.h"
#include "platform/ErrorEvent.h"
#include "platform/Events.h"
#include "platform/Timer.h"
#include "usb/DockFamily.h"

#include <QObject>
#include <QStringList>

class TDockEnumerator : public QObject {
public:
    // The enquiry goes to this address unless KT4_DOCK_BROADCAST names another
    // (127.255.255.255 reaches every listener on the loopback interface).
    static constexpr const char* LimitedBroadcast = "255.255.255.255";
    static constexpr int ListeningMs = 10000;
    static constexpr int AnswerBufferSize = 1024;
    static constexpr int MaxDocks = 64;
    static constexpr int MaxNameLength = 80;

    explicit TDockEnumerator(QObject* Owner = nullptr);
    ~TDockEnumerator() override;

    TDockFamily DockType() const { return FDockType; }
    void SetDockType(TDockFamily Value) { FDockType = Value; }

    // Starts or restarts a search; results arrive through OnListChanged. A
    // port that cannot be bound or a socket that cannot be made reaches the
    // caller as the socket layer's exception.
    void StartEnumeration();

    const QStringList& DockNames() const { return FDockNames; }
    const QStringList& DockAddresses() const { return FDockAddresses; }
    // The entry the latest OnListChanged is about: a new one at the end, or a
    // sender's entry renamed in its place.
    int ChangedEntry() const { return FChangedEntry; }
    bool Listening() const { return FListening; }
    QString TypeName() const { return FTypeName; }
    TTimer* Timer() const { return FTimer; }
    TWSocket* ListenSocket() const { return FListenSocket; }

    TNotifyEvent OnListChanged;
    TErrorEvent OnError;  // the search could not start (without a handler: a box)
    TNotifyEvent OnEnumerationStartFailed;

    // The broadcast address the enquiry goes to.
    static QString BroadcastAddress();

private:
    void ChooseFamily();
    void SendEnquiry();
    void StopListening();
    void AnswerReceived();

    TDockFamily FDockType = TDockFamily::tpMPKeloExpress;
    TWSocket* FListenSocket;
    TWSocket* FBroadcastSocket;
    bool FListening = false;
    TTimer* FTimer;
    QString FTypeName;
    QStringList FDockNames;
    QStringList FDockAddresses;
    int FChangedEntry = -1;
};
