#pragma once
// The infrared socket: discovers the IrDA devices in range, asks a device
// through IAS queries which services it offers, chooses IrLPT or IrCOMM 9-wire
// mode and connects. Sending, receiving, closing and the events are the socket
// layer's; every failure goes through its error path with the failing step's
// text. The platform calls go through IrdaPlatform().

#include "net/WSocket.h"
#include "link/IrdaLayout.h"

#include <QPointer>
#include <memory>
#include <vector>

// One discovered device, as the platform reported it.
class TIrdaDeviceWrapper {
public:
    explicit TIrdaDeviceWrapper(const TIrdaDeviceRecord& Record) : FRecord(Record) {}
    const TIrdaDeviceRecord& Record() const { return FRecord; }

private:
    TIrdaDeviceRecord FRecord;
};

// The devices of one discovery, in the order the platform reported them.
class TIrdaDevicesInfo {
public:
    int Count() const { return int(FDevices.size()); }
    void Add(const TIrdaDeviceRecord& Record) { FDevices.push_back(std::make_unique<TIrdaDeviceWrapper>(Record)); }
    TIrdaDeviceRecord Item(int Index) const { return FDevices.at(Index)->Record(); }

private:
    std::vector<std::unique_ptr<TIrdaDeviceWrapper>> FDevices;
};

class TWIrCOMMSocket : public TCustomSyncWSocket {
public:
    explicit TWIrCOMMSocket(QObject* Owner = nullptr);
    ~TWIrCOMMSocket() override;

    TIrdaDeviceId DeviceID() const { return FDeviceID; }
    void SetDeviceID(const TIrdaDeviceId& Value) { FDeviceID = Value; }
    bool Is9WireCooked() const { return FIs9WireCooked; }
    // True: discovery lists every device in range; false: only those that
    // offer IrLPT or IrCOMM.
    bool UseAnyDevice() const { return FUseAnyDevice; }
    void SetUseAnyDevice(bool Value) { FUseAnyDevice = Value; }
    int DeviceCount() const { return FDeviceCount; }

    // The devices in range, or no list when the discovery failed. On a closed
    // socket a socket of its own is opened for it and closed again.
    std::unique_ptr<TIrdaDevicesInfo> EnumerateDevices();
    // Connects to DeviceID in IrLPT mode when the device offers it, else in
    // IrCOMM 9-wire mode. OnSessionConnected follows.
    void Connect() override;

    // The steps of discovery and connect.
    bool OpenIrdaSocket();
    bool SupportsLPT(const TIrdaDeviceId& Id);
    bool Supports9Wire(const TIrdaDeviceId& Id);
    bool SetLPTMode();
    bool Set9WireMode();

protected:
    int HandleSend(const char* Data, int Size, int& Error) override;
    int HandleReceive(char* Buffer, int Size, int& Error) override;
    void HandleClose(int Handle) override;

private:
    class TReleaseUnlessKept {
    public:
        explicit TReleaseUnlessKept(TWIrCOMMSocket* Socket);
        ~TReleaseUnlessKept();
        bool Keep = false;

    private:
        QPointer<TWIrCOMMSocket> FSocket;
        quint64 FOpening;
    };

    std::unique_ptr<TIrdaDevicesInfo> QueryDevices();
    bool IasQuery(const TIrdaDeviceId& Id, const QByteArray& Class, const QByteArray& Attribute,
                  const QString& Step, QByteArray& Answer);
    bool SetMode(int Option, const QString& Step);
    QByteArray ChooseService();
    bool StartConnect(const QByteArray& ServiceName);

    TIrdaDeviceId FDeviceID{};
    bool FIs9WireCooked = false;
    bool FUseAnyDevice = false;
    int FDeviceCount = 0;
    bool FQueryTimedOut = false;  // an IAS query of the current connect timed out
    quint64 FConnectAttempt = 0;  // a late outcome of an abandoned connect is dropped
    quint64 FOpenings = 0;        // counts the sockets opened
};

// True when an IrCOMM "Parameters" octet sequence offers a service type the
// link can use: a service-type parameter (0x00) whose first value byte has
// 3-wire raw, 3-wire or 9-wire set.
bool OffersIrCommService(const QByteArray& Parameters);
