#pragma once
// The simulated IrDA stack: it stands in for the native IrDA sockets, answers
// discovery and IAS queries in the documented byte layouts and carries each
// session to a simulated instrument over a socket pair.
//
//   TSimulatedIrda   in-process, for tests: devices in range, their names and
//                    hints, IAS answers, connect outcomes and delays are all
//                    scripted, and every option call and connect address is
//                    recorded byte for byte.
//   TRemoteSimIrda   the same stack with its devices served by the simulator
//                    program at a Unix socket path (KT4_IRDA_SIM), so the real
//                    programs run the infrared road end to end. Only a socket
//                    served by the user's own processes is taken, no connect
//                    waits, and no answer is read without bounds in time and
//                    size.

#include "link/IrdaPlatform.h"
#include "link/SimIrdaWire.h"

#include <QObject>
#include <QString>
#include <map>
#include <vector>

class TSimulatedIrda : public TIrdaPlatform {
public:
    TSimulatedIrda();
    ~TSimulatedIrda() override;

    // ---- the scene ----
    std::vector<TSimIrdaDevice> Devices;  // in range, in discovery order
    int CreateError = 0;     // sockets cannot be created (10047: no stack, 10050: transceiver off)
    int EnumerateError = 0;  // the device-list query fails with this code
    int ModeError = 0;       // the IrLPT and 9-wire mode options fail with this code
    // A session was connected: Fd is the device's end of it, now the callee's
    // to read, write and close. Without a handler the device stays silent.
    std::function<void(const TSimIrdaDevice& Device, const QByteArray& Service, int Fd)> OnSession;

    // ---- what the utility asked, byte for byte ----
    struct TOptionCall {
        bool Set;
        int Level;
        int Option;
        QByteArray Bytes;  // as passed in
    };
    std::vector<TOptionCall> OptionCalls;
    std::vector<QByteArray> ConnectAddresses;
    std::vector<int> SendSizes;  // one entry per socket write
    // The write numbered RefusedWrite in SendSizes (1: the first) fails with
    // RefusedWriteError, as a stack out of buffers refuses one (0: none).
    std::size_t RefusedWrite = 0;
    int RefusedWriteError = 0;
    int SocketsCreated = 0;
    int OpenSockets() const { return int(FOpen.size()); }

    // ---- the platform calls ----
    int CreateSocket(int& Error) override;
    void CloseSocket(int Handle) override;
    int GetSockOpt(int Handle, int Level, int Option, QByteArray& Buffer, int& Error) override;
    int SetSockOpt(int Handle, int Level, int Option, const QByteArray& Value, int& Error) override;
    int Connect(int Handle, const QByteArray& Address, int& Error, TConnectDone Done) override;
    int Send(int Handle, const char* Data, int Size, int& Error) override;

protected:
    // The devices in range now.
    virtual std::vector<TSimIrdaDevice> DevicesInRange();
    // A new socket's handle, or -1 with errno set.
    virtual int MakeSocket();
    // Starts the connected session of Handle with a device: 0 or an error code.
    virtual int OpenSession(int Handle, const TSimIrdaDevice& Device, const QByteArray& Service);

private:
    int ListDevices(QByteArray& Buffer, int& Error);
    int AnswerIasQuery(QByteArray& Buffer, int& Error);
    std::optional<TSimIrdaDevice> FindDevice(quint32 Id);
    void FinishConnect(int Handle, quint64 Generation, quint32 Id, const QByteArray& Service, TConnectDone Done);

    std::map<int, quint64> FOpen;  // open handles and the generation each was made in
    std::map<int, int> FPeers;     // a handle's device end, until a session takes it
    quint64 FGeneration = 0;
    QObject FContext;              // ends pending connects with the stack
};

class TRemoteSimIrda : public TSimulatedIrda {
public:
    explicit TRemoteSimIrda(const QString& Path);

protected:
    std::vector<TSimIrdaDevice> DevicesInRange() override;
    int MakeSocket() override;
    int OpenSession(int Handle, const TSimIrdaDevice& Device, const QByteArray& Service) override;

private:
    int ConnectOwn(int Handle) const;
    static QByteArray ReadToEnd(int Handle);
    static QByteArray ReadAnswerLine(int Handle);

    QString FPath;
};
