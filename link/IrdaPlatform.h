#pragma once
// The platform calls of the infrared (IrDA) socket go through this interface,
// so that a simulated IrDA stack can stand in for the native one. Buffers and
// addresses are passed in the byte layouts of IrdaLayout.h. Every call reports
// failure as -1 with a socket error code in Error. Handles are descriptors
// the kernel can poll.

#include <QByteArray>
#include <functional>
#include <memory>

class TIrdaPlatform {
public:
    // The outcome of a connect that did not complete at once: 0 or an error
    // code. Called on the main thread, after the call that started it.
    using TConnectDone = std::function<void(int Error)>;

    virtual ~TIrdaPlatform() = default;

    // An IrDA stream socket: its handle, or -1.
    virtual int CreateSocket(int& Error) = 0;
    virtual void CloseSocket(int Handle) = 0;
    // An option query whose buffer carries the question in and the answer out
    // (device list, IAS query): 0, or -1.
    virtual int GetSockOpt(int Handle, int Level, int Option, QByteArray& Buffer, int& Error) = 0;
    virtual int SetSockOpt(int Handle, int Level, int Option, const QByteArray& Value, int& Error) = 0;
    // 0: connected at once. -1 with 10035: the outcome follows through Done.
    // -1 with another code: the connect failed.
    virtual int Connect(int Handle, const QByteArray& Address, int& Error, TConnectDone Done) = 0;
    // Data on a connected socket; the defaults are the kernel's calls.
    virtual int Send(int Handle, const char* Data, int Size, int& Error);
    virtual int Receive(int Handle, char* Buffer, int Size, int& Error);
};

// The native IrDA sockets of the running kernel. Current Linux kernels have no
// IrDA address family: creating a socket fails with 10047, and the link falls
// back to the infrared driver's COM port. Older kernels that still have the
// family speak other option numbers and layouts than the documented ones this
// socket uses, so for them too the family counts as not supported (10047)
// rather than half-working; the simulated stack is the one that speaks them.
class TNativeIrda : public TIrdaPlatform {
public:
    int CreateSocket(int& Error) override;
    void CloseSocket(int Handle) override;
    int GetSockOpt(int Handle, int Level, int Option, QByteArray& Buffer, int& Error) override;
    int SetSockOpt(int Handle, int Level, int Option, const QByteArray& Value, int& Error) override;
    int Connect(int Handle, const QByteArray& Address, int& Error, TConnectDone Done) override;
};

// The IrDA platform in force: the one installed, else the simulated stack
// served at the Unix socket named by KT4_IRDA_SIM when that is set, else the
// native one.
TIrdaPlatform& IrdaPlatform();
std::unique_ptr<TIrdaPlatform> SetIrdaPlatform(std::unique_ptr<TIrdaPlatform> Platform);
