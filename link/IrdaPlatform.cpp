#include "link/IrdaPlatform.h"

#include "dock/WSocketErrors.h"

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

}  // namespace

int TNativeIrda::CreateSocket(int& Error)
{
    const int handle = ::socket(AfIrdaLinux, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Error = handle < 0 ? WSocketErrorFromErrno(errno) : 0;
    return handle;
}

void TNativeIrda::CloseSocket(int Handle)
{
    if (Handle >= 0)
        ::close(Handle);
}

TIrdaPlatform& IrdaPlatform()
{
    auto& platform = Installed();
    if (!platform)
        platform = std::make_unique<TNativeIrda>();
    return *platform;
}

std::unique_ptr<TIrdaPlatform> SetIrdaPlatform(std::unique_ptr<TIrdaPlatform> Platform)
{
    std::swap(Installed(), Platform);
    return Platform;
}
