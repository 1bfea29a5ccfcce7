#include "link/SimulatedIrda.h"

#include "net/WSocketErrors.h"
#include "link/IrdaLayout.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace IrdaLayout;

namespace {

const QByteArray lptClass = "IrLPT";
const QByteArray lptAttribute = "IrDA:IrLMP:LsapSel";
const QByteArray irCommClass = "IrDA:IrCOMM";
const QByteArray irCommAttribute = "Parameters";

constexpr int RemoteAnswerMs = 1000;    // the simulator answers a request within this, all told
constexpr int MaxDevicesAnswer = 65536;  // far more than the lines of every device in range

int Fail(int& Error, int Code)
{
    Error = Code;
    return -1;
}

QByteArray TextField(const QByteArray& Buffer, int Offset, int Size)
{
    const QByteArray field = Buffer.mid(Offset, Size);
    const int end = field.indexOf('\0');
    return end < 0 ? field : field.left(end);
}

void PutRecord(QByteArray& Buffer, int Index, const TSimIrdaDevice& Device)
{
    TIrdaDeviceRecord record;
    record.DeviceID = IrdaDeviceId(Device.Id);
    std::memcpy(record.DeviceName, Device.Name.constData(), qMin<int>(Device.Name.size(), DeviceNameSize));
    record.Hints1 = Device.Hints1;
    record.Hints2 = Device.Hints2;
    record.CharSet = Device.CharSet;
    std::memcpy(Buffer.data() + 4 + Index * DeviceRecordSize, &record, DeviceRecordSize);
}

// Whether the process at the other end of a connected Unix socket is one of
// the user's own: another user's socket at the path is no simulator of ours.
bool PeerIsOwn(int Handle)
{
    ucred peer{};
    socklen_t size = sizeof(peer);
    return ::getsockopt(Handle, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

bool UnixAddress(const QString& Path, sockaddr_un& Address)
{
    const QByteArray path = QFile::encodeName(Path);
    Address = sockaddr_un{};
    Address.sun_family = AF_UNIX;
    if (path.isEmpty() || path.size() >= int(sizeof(Address.sun_path)))
        return false;
    std::memcpy(Address.sun_path, path.constData(), path.size());
    return true;
}

}  // namespace

TSimulatedIrda::TSimulatedIrda() = default;

TSimulatedIrda::~TSimulatedIrda()
{
    for (const auto& [handle, peer] : FPeers)
        ::close(peer);
    for (const auto& [handle, generation] : FOpen)
        ::close(handle);
}

std::vector<TSimIrdaDevice> TSimulatedIrda::DevicesInRange()
{
    return Devices;
}

std::optional<TSimIrdaDevice> TSimulatedIrda::FindDevice(quint32 Id)
{
    for (const TSimIrdaDevice& device : DevicesInRange())
        if (device.Id == Id)
            return device;
    return std::nullopt;
}

int TSimulatedIrda::MakeSocket()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0)
        return -1;
    FPeers[ends[0]] = ends[1];
    return ends[0];
}

int TSimulatedIrda::CreateSocket(int& Error)
{
    if (CreateError)
        return Fail(Error, CreateError);
    const int handle = MakeSocket();
    if (handle < 0)
        return Fail(Error, WSocketErrorFromErrno(errno));
    FOpen[handle] = ++FGeneration;
    ++SocketsCreated;
    Error = 0;
    return handle;
}

void TSimulatedIrda::CloseSocket(int Handle)
{
    if (FOpen.erase(Handle) == 0)
        return;
    ::close(Handle);
    if (auto peer = FPeers.find(Handle); peer != FPeers.end()) {
        ::close(peer->second);
        FPeers.erase(peer);
    }
}

int TSimulatedIrda::GetSockOpt(int Handle, int Level, int Option, QByteArray& Buffer, int& Error)
{
    OptionCalls.push_back({false, Level, Option, Buffer});
    if (!FOpen.count(Handle))
        return Fail(Error, WSAENOTSOCK);
    if (Level == SolIrlmp && Option == IrlmpEnumDevices)
        return ListDevices(Buffer, Error);
    if (Level == SolIrlmp && Option == IrlmpIasQuery)
        return AnswerIasQuery(Buffer, Error);
    return Fail(Error, WSAENOPROTOOPT);
}

int TSimulatedIrda::ListDevices(QByteArray& Buffer, int& Error)
{
    if (EnumerateError)
        return Fail(Error, EnumerateError);
    if (Buffer.size() < 4)
        return Fail(Error, WSAEFAULT);
    const std::vector<TSimIrdaDevice> inRange = DevicesInRange();
    WriteLe32(Buffer, 0, quint32(inRange.size()));
    const int room = (Buffer.size() - 4) / DeviceRecordSize;
    for (int i = 0; i < int(inRange.size()) && i < room; ++i)
        PutRecord(Buffer, i, inRange[i]);
    Error = 0;
    return 0;
}

int TSimulatedIrda::AnswerIasQuery(QByteArray& Buffer, int& Error)
{
    if (Buffer.size() < IasQuerySize)
        return Fail(Error, WSAEFAULT);
    const std::optional<TSimIrdaDevice> device = FindDevice(ReadLe32(Buffer, 0));
    if (!device)
        return Fail(Error, WSAETIMEDOUT);  // nobody answers
    if (device->IasError)
        return Fail(Error, device->IasError);
    const QByteArray className = TextField(Buffer, IasClassOffset, IasClassSize);
    const QByteArray attribute = TextField(Buffer, IasAttribOffset, IasAttribSize);
    quint32 type = IasNoClass;
    if (className == lptClass && device->LptLsapSel) {
        type = attribute == lptAttribute ? IasInteger : IasNoAttribute;
        WriteLe32(Buffer, IasValueOffset, quint32(*device->LptLsapSel));
    } else if (className == irCommClass && device->IrCommParameters) {
        type = attribute == irCommAttribute ? IasOctetSequence : IasNoAttribute;
        const QByteArray octets = device->IrCommParameters->left(IasMaxOctets);
        WriteLe32(Buffer, IasValueOffset, quint32(octets.size()));
        std::memcpy(Buffer.data() + IasOctetsOffset, octets.constData(), octets.size());
    }
    WriteLe32(Buffer, IasTypeOffset, type);
    Error = 0;
    return 0;
}

int TSimulatedIrda::SetSockOpt(int Handle, int Level, int Option, const QByteArray& Value, int& Error)
{
    OptionCalls.push_back({true, Level, Option, Value});
    if (!FOpen.count(Handle))
        return Fail(Error, WSAENOTSOCK);
    if (Level != SolIrlmp || (Option != IrlmpIrlptMode && Option != Irlmp9WireMode))
        return Fail(Error, WSAENOPROTOOPT);
    if (Value.size() != 4)
        return Fail(Error, WSAEFAULT);
    if (ModeError)
        return Fail(Error, ModeError);
    Error = 0;
    return 0;
}

// Like the native stack with its asynchronous notification, a connect never
// completes inside the call: its outcome follows from the event loop.
int TSimulatedIrda::Connect(int Handle, const QByteArray& Address, int& Error, TConnectDone Done)
{
    ConnectAddresses.push_back(Address);
    const auto open = FOpen.find(Handle);
    if (open == FOpen.end())
        return Fail(Error, WSAENOTSOCK);
    if (Address.size() != AddressSize || Address.at(0) != char(AfIrda) || Address.at(1) != 0)
        return Fail(Error, WSAEINVAL);
    const quint32 id = ReadLe32(Address, 2);
    const QByteArray service = TextField(Address, ServiceNameOffset, ServiceNameSize);
    const std::optional<TSimIrdaDevice> device = FindDevice(id);
    const int delay = device ? device->ConnectDelayMs : 0;
    const quint64 generation = open->second;
    QTimer::singleShot(delay, &FContext, [=, this] { FinishConnect(Handle, generation, id, service, Done); });
    return Fail(Error, WSAEWOULDBLOCK);
}

void TSimulatedIrda::FinishConnect(int Handle, quint64 Generation, quint32 Id, const QByteArray& Service,
                                   TConnectDone Done)
{
    const auto open = FOpen.find(Handle);
    if (open == FOpen.end() || open->second != Generation)
        return;  // the socket was closed meanwhile
    const std::optional<TSimIrdaDevice> device = FindDevice(Id);
    int result = device ? device->ConnectError : WSAETIMEDOUT;
    if (result == 0)
        result = OpenSession(Handle, *device, Service);
    Done(result);
}

int TSimulatedIrda::OpenSession(int Handle, const TSimIrdaDevice& Device, const QByteArray& Service)
{
    const auto peer = FPeers.find(Handle);
    if (peer == FPeers.end())
        return WSAENOTSOCK;
    if (OnSession) {
        const int fd = peer->second;
        FPeers.erase(peer);
        OnSession(Device, Service, fd);
    }
    return 0;
}

int TSimulatedIrda::Send(int Handle, const char* Data, int Size, int& Error)
{
    SendSizes.push_back(Size);
    if (SendSizes.size() == RefusedWrite) {
        Error = RefusedWriteError;
        return -1;
    }
    return TIrdaPlatform::Send(Handle, Data, Size, Error);
}

// ---------------------------------------------------------------- remote

TRemoteSimIrda::TRemoteSimIrda(const QString& Path) : FPath(Path) {}

// One request to the simulator: a DEVICES line out, DEVICE lines back. No
// answer (no simulator running), an answer that does not end in time or is
// too long to be one, or a socket of another user's is no device in range.
// Nothing here waits on a connect, nor longer than RemoteAnswerMs in all.
std::vector<TSimIrdaDevice> TRemoteSimIrda::DevicesInRange()
{
    std::vector<TSimIrdaDevice> devices;
    const int fd = MakeSocket();
    if (fd < 0)
        return devices;
    QByteArray answer;
    const QByteArray request = SimIrdaWire::DevicesRequest();
    if (ConnectOwn(fd) == 0 && ::send(fd, request.constData(), request.size(), MSG_NOSIGNAL) == request.size())
        answer = ReadToEnd(fd);
    ::close(fd);
    for (const QByteArray& line : answer.split('\n'))
        if (auto device = SimIrdaWire::ParseDevice(line))
            devices.push_back(*device);
    return devices;
}

// Connects the (non-blocking) Handle to the simulator's socket: 0 or a
// socket error code. A socket whose queue is full refuses at once instead of
// making the caller wait.
int TRemoteSimIrda::ConnectOwn(int Handle) const
{
    sockaddr_un address;
    if (!UnixAddress(FPath, address))
        return WSAETIMEDOUT;
    if (::connect(Handle, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return errno == ECONNREFUSED || errno == EAGAIN ? WSAECONNREFUSED : WSAETIMEDOUT;
    return PeerIsOwn(Handle) ? 0 : WSAECONNREFUSED;
}

// What the simulator sends until it closes, or by the time it must have
// answered; empty when it sends more than any answer holds.
QByteArray TRemoteSimIrda::ReadToEnd(int Handle)
{
    QByteArray answer;
    const QDeadlineTimer deadline(RemoteAnswerMs);
    pollfd waiting{Handle, POLLIN, 0};
    char chunk[4096];
    while (::poll(&waiting, 1, int(deadline.remainingTime())) > 0) {
        const ssize_t got = ::recv(Handle, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
            break;
        if (got > 0)
            answer.append(chunk, int(got));
        if (answer.size() > MaxDevicesAnswer)
            return QByteArray();
    }
    return answer;
}

int TRemoteSimIrda::MakeSocket()
{
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// The session is a connection of its own to the simulator, opened by a
// SESSION line and accepted by its answer line; a simulator that is gone is a
// device that no longer answers, one that closes instead refuses.
int TRemoteSimIrda::OpenSession(int Handle, const TSimIrdaDevice& Device, const QByteArray& Service)
{
    if (const int refused = ConnectOwn(Handle))
        return refused;
    const QByteArray request = SimIrdaWire::SessionRequest(Device.Id, Service);
    if (::send(Handle, request.constData(), request.size(), MSG_NOSIGNAL) != request.size())
        return WSAETIMEDOUT;
    return ReadAnswerLine(Handle) == SimIrdaWire::SessionAccepted() ? 0 : WSAECONNREFUSED;
}

// The answer line, byte by byte so that nothing of the session after it is
// taken; what came by the time the simulator must have answered.
QByteArray TRemoteSimIrda::ReadAnswerLine(int Handle)
{
    QByteArray line;
    const QDeadlineTimer deadline(RemoteAnswerMs);
    pollfd waiting{Handle, POLLIN, 0};
    while (!line.endsWith('\n') && line.size() < 64 && ::poll(&waiting, 1, int(deadline.remainingTime())) > 0) {
        char byte;
        if (::recv(Handle, &byte, 1, MSG_DONTWAIT) != 1)
            break;  // closed: refused
        line += byte;
    }
    return line;
}
