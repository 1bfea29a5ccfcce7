#pragma once
// The in-process simulated USB stack for tests. Devices, their descriptors
// (any bytes at all), open failures per pipe, read and write failures,
// writes that move nothing or stall, and unplugging at any moment are all
// scripted; every platform call is recorded. The device side is two calls:
// SendIn puts bytes on an IN endpoint, OnWrite receives what the utility
// wrote to an OUT endpoint (on the writing thread, outside the stack's lock).
// Every member may be used from any thread.

#include "usb/USBPlatform.h"
#include "usb/WakeSignal.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

class TSimulatedUsb : public TUSBPlatform {
public:
    struct TDevice {
        QString Path;
        TGUID Class = GuidCorvaneKelo6;
        QByteArray Descriptor;      // what the descriptor request returns
        int OpenError = 0;          // the device itself cannot be opened (errno)
        bool RequestFails = false;  // it does not answer the descriptor request
    };

    // ---- the scene ----
    void AddDevice(const TDevice& Device);
    // Takes the device off the bus: no longer listed, and its open pipes fail
    // with ENODEV from now on.
    void Unplug(const QString& Path);
    void SetPipeOpenError(const QString& Path, int Index, int Error);  // 0: opens again
    void SendIn(const QString& Path, int Index, const QByteArray& Bytes);
    void FailNextRead(const QString& Path, int Index, int Error);
    void FailNextWrite(const QString& Path, int Index, int Error);
    void AcceptNothingNext(const QString& Path, int Index);  // one write reports success with 0 bytes
    void SetStalled(const QString& Path, int Index, bool Stalled);  // writes wait and time out
    int StallTimeoutMs = WriteTimeoutMs;
    // While held, a pipe being closed stays open: the close waits for the release.
    void HoldCloses(bool Hold);
    int ClosesHeld() const;
    std::function<void(const QString& Path, int Index, const QByteArray& Bytes)> OnWrite;

    // ---- what the device layer asked ----
    // "enumerate {GUID}", "fetch PATH", "open PATH N", "close PATH N",
    // "read PATH N SIZE", "write PATH N SIZE", in order.
    QStringList Calls() const;
    QByteArray Written(const QString& Path, int Index) const;
    int OpenPipes() const;

    // ---- the platform calls ----
    QStringList EnumerateDevices(const TGUID& InterfaceClass) override;
    TFetchResult FetchConfiguration(const QString& Path, QByteArray& Descriptor, int& Error) override;
    int OpenPipe(const QString& Path, int Index, int& Error) override;
    void ClosePipe(int Handle) override;
    int ReadPipe(int Handle, char* Buffer, int Size, int& Error) override;
    int WritePipe(int Handle, const char* Data, int Size, int& Error) override;
    int WaitHandle(int Handle) override;
    bool PipeAlive(int Handle, int& Error) override;

private:
    using TKey = std::pair<QString, int>;  // device path in lower case, endpoint
    struct TEndpoint {
        QByteArray In;  // sent by the device, not yet read
        QByteArray Written;
        std::deque<int> ReadFailures;
        std::deque<int> WriteFailures;
        int NothingWrites = 0;
        bool Stalled = false;
        int OpenError = 0;
    };
    struct TPipe {
        TKey Key;
        QString Path;  // as opened
        std::unique_ptr<TWakeSignal> Wake = std::make_unique<TWakeSignal>();
        bool Gone = false;
    };

    static TKey Key(const QString& Path, int Index) { return {Path.toLower(), Index}; }
    void Record(const QString& Call);
    const TDevice* Find(const QString& Path) const;

    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<TDevice> FDevices;
    std::map<TKey, TEndpoint> FEndpoints;
    std::map<int, TPipe> FPipes;
    int FNextHandle = 1;
    bool FHoldCloses = false;
    int FClosesHeld = 0;
    QStringList FCalls;
};
