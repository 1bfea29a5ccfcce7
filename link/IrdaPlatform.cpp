#include "link/IrdaPlatform.h"

#include "net/WSocketErrors.h"
#include "link/SimulatedIrda.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int AfIrdaLinux = 23;  // the address family number Linux once gave IrDA

std::unique_ptr<TIrdaPlatform>& Installed()
{
    static std::unique_ptr<TIrdaPlatform> platform;
    return platform;
}

int Failed(int& Error)
{
    Error = WSocketErrorFromErrno(errno);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------- defaults

int TIrdaPlatform::Send(int Handle, const char* Data, int Size, int& Error)
{
    const ssize_t sent = ::send(Handle, Data, Size, MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent < 0 ? Failed(Error) : (Error = 0, int(sent));
}

int TIrdaPlatform::Receive(int Handle, char* Buffer, int Size, int& Error)
{
    const ssize_t got = ::recv(Handle, Buffer, Size, MSG_DONTWAIT);
    return got < 0 ? Failed(Error) : (Error = 0, int(got));
}

// ---------------------------------------------------------------- native

int TNativeIrda::CreateSocket(int& Error)
{
    const int handle = ::socket(AfIrdaLinux, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0)
        return Failed(Error);
    ::close(handle);  // a family of other layouts: not ours to use
    Error = WSAEAFNOSUPPORT;
    return -1;
}

// No native handle is ever handed out, so none of these can be asked of one.
void TNativeIrda::CloseSocket(int) {}

int TNativeIrda::GetSockOpt(int, int, int, QByteArray&, int& Error)
{
    Error = WSAENOTSOCK;
    return -1;
}

int TNativeIrda::SetSockOpt(int, int, int, const QByteArray&, int& Error)
{
    Error = WSAENOTSOCK;
    return -1;
}

int TNativeIrda::Connect(int, const QByteArray&, int& Error, TConnectDone)
{
    Error = WSAENOTSOCK;
    return -1;
}

// ---------------------------------------------------------------- selection

TIrdaPlatform& IrdaPlatform()
{
    auto& platform = Installed();
    if (!platform) {
        const QString simulated = qEnvironmentVariable("KT4_IRDA_SIM");
        if (simulated.isEmpty())
            platform = std::make_unique<TNativeIrda>();
        else
            platform = std::make_unique<TRemoteSimIrda>(simulated);
    }
    return *platform;
}

std::unique_ptr<TIrdaPlatform> SetIrdaPlatform(std::unique_ptr<TIrdaPlatform> Platform)
{
    std::swap(Installed(), Platform);
    return Platform;
}
