#pragma once
// A dock that records what the link asks of it, the simulated IrDA stack
// installed for one test, and a link on a pseudo-terminal.

#include "link/KeskLink.h"
#include "link/PassThroughDock.h"
#include "link/SimulatedIrda.h"
#include "tests/TestSupport.h"

#include <QStringList>
#include <memory>

// Each request is answered at once.
class TFakeDock : public QObject, public TPassThroughDock {
public:
    bool Enabled() const override { return FEnabled; }
    void Open(std::function<void(bool)> Done) override
    {
        if (!FEnabled) {
            Calls << "Enabled=1";
            FEnabled = CanEnable;
        }
        Done(FEnabled);
    }
    void Close(std::function<void()> Done) override
    {
        Calls << "Enabled=0";
        FEnabled = false;
        Done();
    }
    bool HasUSBDevice() const override { return WithUSB; }
    void SetUSBDeviceHalted(bool Value) override { Calls << QString("Halted=%1").arg(Value); }
    void RequestSlaveMode(std::function<void(TSlaveAnswer)> Done) override
    {
        Calls << "SLV";
        Done(BusyAnswers-- > 0 && Busy ? TSlaveAnswer::Busy : TSlaveAnswer::Passing);
    }
    void RequestDisconnect(std::function<void()> Done) override
    {
        Calls << "DSC";
        Done();
    }
    bool PassUserData(const QByteArray& Text) override
    {
        Sent << Text;
        return true;
    }

    void InstrumentConnected() { OnInstrumentConnected(this); }
    void InstrumentDisconnected() { OnInstrumentDisconnected(this); }
    void Receive(const QByteArray& Data) { OnRcvUserData(this, Data); }

    bool CanEnable = true;
    bool WithUSB = false;
    bool Busy = true;
    int BusyAnswers = 0;
    QStringList Calls;
    QList<QByteArray> Sent;

private:
    bool FEnabled = false;
};

// Records every event of a link.
struct TLinkRecorder {
    explicit TLinkRecorder(TKeskLink& Link)
    {
        Link.OnReceiveMsg = [this](QObject* s, const QByteArray& d) { Received << d; ReceiveSenders << s; };
        Link.OnDebugReceive = [this](QObject*, const QByteArray& d) { DebugReceived << d; };
        Link.OnDebugSend = [this](QObject*, const QByteArray& d) { DebugSent << d; };
        Link.OnLinkUp = [this](QObject*, bool s) { Status << QString("up %1").arg(s); };
        Link.OnLinkDown = [this](QObject*, bool s) { Status << QString("down %1").arg(s); };
        Link.OnTimeOut = [this](QObject*, quint16 e) { TimeOuts << e; };
    }
    QList<QByteArray> Received, DebugReceived, DebugSent;
    QList<QObject*> ReceiveSenders;
    QStringList Status;
    QList<int> TimeOuts;
};

// A link whose start-up step has run and found no infrared socket, so it uses
// the infrared driver's COM port, here given as the path of a pseudo-terminal.
inline std::unique_ptr<TKeskLink> MakeComPortLink(const QString& Device, TKeskType Type = tpKT4Head)
{
    qputenv("KT4_IRCOMM", Device.toLocal8Bit());
    auto link = std::make_unique<TKeskLink>();
    link->SetInstrumentType(Type);
    WaitFor([&] { return !link->ResponseTimer()->Enabled(); });
    qunsetenv("KT4_IRCOMM");
    return link;
}

// Installs an in-process simulated IrDA stack for the life of the scope.
class TSimIrdaScope {
public:
    TSimIrdaScope()
    {
        auto stack = std::make_unique<TSimulatedIrda>();
        FStack = stack.get();
        FPrevious = SetIrdaPlatform(std::move(stack));
    }
    ~TSimIrdaScope() { SetIrdaPlatform(std::move(FPrevious)); }
    TSimulatedIrda* operator->() const { return FStack; }
    TSimulatedIrda& operator*() const { return *FStack; }

private:
    TSimulatedIrda* FStack;
    std::unique_ptr<TIrdaPlatform> FPrevious;
};

// Devices for the simulated stack.
TSimIrdaDevice IrCommDevice(quint32 Id, const QByteArray& Name, const QByteArray& Parameters = QByteArray("\x00\x01\x04", 3));
TSimIrdaDevice IrLptDevice(quint32 Id, const QByteArray& Name, qint32 LsapSel = 2);

// The device's end of a simulated IrDA session, as the instrument holds it.
class TSessionPeer {
public:
    TSessionPeer() = default;
    ~TSessionPeer();
    TSessionPeer(const TSessionPeer&) = delete;
    TSessionPeer& operator=(const TSessionPeer&) = delete;

    // Takes the device end the stack hands to OnSession.
    void Take(int Fd, const QByteArray& Service);
    bool Connected() const { return FFd >= 0; }
    QByteArray Service() const { return FService; }

    void Write(const QByteArray& Data);
    // What arrives within TimeoutMs until at least MinBytes are there.
    QByteArray Read(int MinBytes, int TimeoutMs = 3000);
    // True once the utility has closed its end (read gives end of file).
    bool SawClose(int TimeoutMs = 3000);
    void Close();

private:
    int FFd = -1;
    QByteArray FService;
};
