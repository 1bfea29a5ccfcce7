#pragma once
// The platform calls of the infrared (IrDA) socket go through this interface,
// so that a simulated IrDA stack can stand in for the native one.

#include <memory>

class TIrdaPlatform {
public:
    virtual ~TIrdaPlatform() = default;

    // Creates an IrDA stream socket: its handle, or -1 with the socket error
    // code in Error.
    virtual int CreateSocket(int& Error) = 0;
    virtual void CloseSocket(int Handle) = 0;
};

// The native IrDA sockets of the running kernel. Current Linux kernels have no
// IrDA address family: creating a socket fails with 10047.
class TNativeIrda : public TIrdaPlatform {
public:
    int CreateSocket(int& Error) override;
    void CloseSocket(int Handle) override;
};

// The IrDA platform in force (native unless another was installed).
TIrdaPlatform& IrdaPlatform();
std::unique_ptr<TIrdaPlatform> SetIrdaPlatform(std::unique_ptr<TIrdaPlatform> Platform);
