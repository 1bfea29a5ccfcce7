#include "link/IrdaPlatform.h"

#include "dock/WSocketErrors.h"
#include "link/SimulatedIrda.h"

#include <QSocketNotifier>
#include <cerrno>
#include <map>
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

// Connects under way: the handle turning writable completes each.
struct TNativeIrda::TPending {
    std::map<int, std::unique_ptr<QSocketNotifier>> Notifiers;
};

TNativeIrda::TNativeIrda() = default;
TNativeIrda::~TNativeIrda() = default;

int TNativeIrda::CreateSocket(int& Error)
{
    const int handle = ::socket(AfIrdaLinux, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return handle < 0 ? Failed(Error) : (Error = 0, handle);
}

void TNativeIrda::CloseSocket(int Handle)
{
    DropPendingConnect(Handle);
    if (Handle >= 0)
        ::close(Handle);
}

int TNativeIrda::GetSockOpt(int Handle, int Level, int Option, QByteArray& Buffer, int& Error)
{
    socklen_t size = Buffer.size();
    if (::getsockopt(Handle, Level, Option, Buffer.data(), &size) != 0)
        return Failed(Error);
    Buffer.truncate(int(size));
    Error = 0;
    return 0;
}

int TNativeIrda::SetSockOpt(int Handle, int Level, int Option, const QByteArray& Value, int& Error)
{
    if (::setsockopt(Handle, Level, Option, Value.constData(), socklen_t(Value.size())) != 0)
        return Failed(Error);
    Error = 0;
    return 0;
}

int TNativeIrda::Connect(int Handle, const QByteArray& Address, int& Error, TConnectDone Done)
{
    if (::connect(Handle, reinterpret_cast<const sockaddr*>(Address.constData()), socklen_t(Address.size())) == 0) {
        Error = 0;
        return 0;
    }
    if (errno != EINPROGRESS)
        return Failed(Error);
    if (!FPending)
        FPending = std::make_unique<TPending>();
    auto notifier = std::make_unique<QSocketNotifier>(Handle, QSocketNotifier::Write);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [this, Handle, Done] {
        int error = 0;
        socklen_t size = sizeof(error);
        if (::getsockopt(Handle, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
        DropPendingConnect(Handle);
        Done(error ? WSocketErrorFromErrno(error) : 0);
    });
    FPending->Notifiers[Handle] = std::move(notifier);
    Error = WSAEWOULDBLOCK;
    return -1;
}

void TNativeIrda::DropPendingConnect(int Handle)
{
    if (!FPending)
        return;
    auto found = FPending->Notifiers.find(Handle);
    if (found == FPending->Notifiers.end())
        return;
    found->second->setEnabled(false);
    found->second.release()->deleteLater();  // its own signal may be running
    FPending->Notifiers.erase(found);
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
