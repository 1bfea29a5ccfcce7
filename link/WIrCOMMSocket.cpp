#include "link/WIrCOMMSocket.h"

#include "link/IrdaPlatform.h"

#include <QPointer>
#include <QTimer>
#include <cstring>

using namespace IrdaLayout;

namespace {

const QString stepSocket = QStringLiteral("Connect (socket)");
const QString stepRegister = QStringLiteral("WSAAsyncSelect");
const QString stepEnum1 = QStringLiteral("Device enumeration failed (1)");
const QString stepEnum2 = QStringLiteral("Device enumeration failed (2)");
const QString stepLpt = QStringLiteral("SupportsLPT");
const QString step9Wire = QStringLiteral("Supports9Wire");
const QString stepLptMode = QStringLiteral("SetLPTMode");
const QString step9WireMode = QStringLiteral("Set9WireMode");
const QString stepInUse = QStringLiteral("Connect: Socket already in use");
const QString stepNoProtocol = QStringLiteral("Connect, No Supported Protocol!");
const QString stepConnect = QStringLiteral("Connect");

constexpr quint8 ServiceTypeParameter = 0x00;
constexpr quint8 UsableServiceTypes = 0x01 | 0x02 | 0x04;  // 3-wire raw, 3-wire, 9-wire

}  // namespace

bool OffersIrCommService(const QByteArray& Parameters)
{
    // Each parameter: identifier, length, that many value bytes.
    for (int at = 0; at + 2 < Parameters.size(); at += 2 + quint8(Parameters.at(at + 1))) {
        const bool serviceType = quint8(Parameters.at(at)) == ServiceTypeParameter;
        if (serviceType && quint8(Parameters.at(at + 1)) > 0 && (quint8(Parameters.at(at + 2)) & UsableServiceTypes))
            return true;
    }
    return false;
}

TWIrCOMMSocket::TWIrCOMMSocket(QObject* Owner) : TCustomSyncWSocket(Owner) {}

// Releases the socket this step opened when the step ends, unless it is to be
// kept. An error handler run inside the step may have closed it and opened
// another already (a message box runs the event loop): that one is left alone.
TWIrCOMMSocket::TReleaseUnlessKept::TReleaseUnlessKept(TWIrCOMMSocket* Socket)
    : FSocket(Socket), FOpening(Socket->FOpenings)
{
}

TWIrCOMMSocket::TReleaseUnlessKept::~TReleaseUnlessKept()
{
    if (!Keep && FSocket && FSocket->FOpenings == FOpening)
        FSocket->ReleaseHandle();
}

TWIrCOMMSocket::~TWIrCOMMSocket()
{
    ReleaseHandle();  // closes through the platform, as it was opened
}

// ---------------------------------------------------------------- opening

bool TWIrCOMMSocket::OpenIrdaSocket()
{
    int error = 0;
    const int handle = IrdaPlatform().CreateSocket(error);
    if (handle < 0) {
        SocketError(stepSocket, error);
        return false;
    }
    ++FOpenings;
    if (!AdoptHandle(handle, wsOpened)) {
        const int registerError = errno;
        IrdaPlatform().CloseSocket(handle);
        errno = registerError;
        SocketErrorFromErrno(stepRegister);
        return false;
    }
    QPointer<TWIrCOMMSocket> alive(this);
    if (!SetLPTMode()) {
        if (alive)
            ReleaseHandle();  // a half-opened socket is no use to anyone
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- discovery

std::unique_ptr<TIrdaDevicesInfo> TWIrCOMMSocket::EnumerateDevices()
{
    FDeviceCount = 0;
    const bool ownSocket = State() == wsClosed;
    if (ownSocket && !OpenIrdaSocket())
        return nullptr;
    TReleaseUnlessKept closeOwn(this);
    closeOwn.Keep = !ownSocket;
    return QueryDevices();
}

std::unique_ptr<TIrdaDevicesInfo> TWIrCOMMSocket::QueryDevices()
{
    QByteArray list(DeviceListSize, '\0');
    int error = 0;
    if (IrdaPlatform().GetSockOpt(Handle(), SolIrlmp, IrlmpEnumDevices, list, error) != 0) {
        SocketError(stepEnum1, error);
        return nullptr;
    }
    const quint32 count = ReadLe32(list, 0);
    if (count >= quint32(MaxDevices) || 4 + int(count) * DeviceRecordSize > list.size()) {
        SocketError(stepEnum2, WSAENOBUFS);
        return nullptr;
    }
    // An error handler run by a failing query may free the socket (a message
    // box runs the event loop): the discovery then ends without touching it.
    QPointer<TWIrCOMMSocket> alive(this);
    auto devices = std::make_unique<TIrdaDevicesInfo>();
    for (int i = 0; i < int(count); ++i) {
        TIrdaDeviceRecord record;
        std::memcpy(&record, list.constData() + 4 + i * DeviceRecordSize, DeviceRecordSize);
        bool usable = FUseAnyDevice || SupportsLPT(record.DeviceID);
        if (alive && !usable)
            usable = Supports9Wire(record.DeviceID);
        if (!alive)
            return nullptr;
        if (usable) {
            devices->Add(record);
            ++FDeviceCount;
        }
    }
    return devices;
}

bool TWIrCOMMSocket::IasQuery(const TIrdaDeviceId& Id, const QByteArray& Class, const QByteArray& Attribute,
                              const QString& Step, QByteArray& Answer)
{
    Answer = MakeIasQuery(Id, Class, Attribute);
    int error = 0;
    if (IrdaPlatform().GetSockOpt(Handle(), SolIrlmp, IrlmpIasQuery, Answer, error) != 0) {
        FQueryTimedOut = FQueryTimedOut || error == WSAETIMEDOUT;
        SocketError(Step, error);
        return false;
    }
    return true;
}

bool TWIrCOMMSocket::SupportsLPT(const TIrdaDeviceId& Id)
{
    QByteArray answer;
    if (!IasQuery(Id, "IrLPT", "IrDA:IrLMP:LsapSel", stepLpt, answer))
        return false;
    return ReadLe32(answer, IasTypeOffset) == IasInteger && ReadLe32(answer, IasValueOffset) == 2;
}

bool TWIrCOMMSocket::Supports9Wire(const TIrdaDeviceId& Id)
{
    QByteArray answer;
    if (!IasQuery(Id, "IrDA:IrCOMM", "Parameters", step9Wire, answer))
        return false;
    if (ReadLe32(answer, IasTypeOffset) != IasOctetSequence)
        return false;
    const int length = int(qMin<quint32>(ReadLe32(answer, IasValueOffset), quint32(IasMaxOctets)));
    return length >= 3 && OffersIrCommService(answer.mid(IasOctetsOffset, length));
}

// ---------------------------------------------------------------- modes

bool TWIrCOMMSocket::SetMode(int Option, const QString& Step)
{
    QByteArray on(4, '\0');
    WriteLe32(on, 0, 1);
    int error = 0;
    if (IrdaPlatform().SetSockOpt(Handle(), SolIrlmp, Option, on, error) != 0) {
        SocketError(Step, error);
        return false;
    }
    return true;
}

bool TWIrCOMMSocket::SetLPTMode()
{
    FIs9WireCooked = false;
    return SetMode(IrlmpIrlptMode, stepLptMode);
}

bool TWIrCOMMSocket::Set9WireMode()
{
    FIs9WireCooked = true;
    return SetMode(Irlmp9WireMode, step9WireMode);
}

// ---------------------------------------------------------------- connect

void TWIrCOMMSocket::Connect()
{
    if (Handle() >= 0 && State() != wsClosed) {
        SocketError(stepInUse, WSAEISCONN);
        return;
    }
    if (!OpenIrdaSocket())
        return;
    // A connect that goes no further leaves the socket closed, so that the
    // next one is not refused as "already in use".
    TReleaseUnlessKept closeUnlessStarted(this);
    const QByteArray service = ChooseService();
    closeUnlessStarted.Keep = !service.isEmpty() && StartConnect(service);
}

// IrLPT when the device offers it, else IrCOMM 9-wire; empty after an error.
// Empty, too, when an error handler freed the socket on the way.
QByteArray TWIrCOMMSocket::ChooseService()
{
    QPointer<TWIrCOMMSocket> alive(this);
    FQueryTimedOut = false;
    const bool lpt = SupportsLPT(FDeviceID);
    if (!alive)
        return {};
    if (lpt)
        return SetLPTMode() ? QByteArray("IrLPT") : QByteArray();
    // A device that did not answer the IrLPT query is not trusted with IrCOMM
    // either. (Only this connect's own queries count: a time-out left over from
    // an earlier attempt says nothing about this device.)
    const bool nineWire = Supports9Wire(FDeviceID);
    if (!alive)
        return {};
    if (!nineWire || FQueryTimedOut) {
        SocketError(stepNoProtocol, FQueryTimedOut ? WSAETIMEDOUT : WSAEPROTONOSUPPORT);
        return {};
    }
    return Set9WireMode() ? QByteArray("IrDA:IrCOMM") : QByteArray();
}

bool TWIrCOMMSocket::StartConnect(const QByteArray& ServiceName)
{
    const quint64 attempt = ++FConnectAttempt;
    QPointer<TWIrCOMMSocket> alive(this);
    // The outcome comes from the platform's callback, outside any socket
    // notification: it goes through the guarded path like every other one.
    auto done = [alive, attempt](int Error) {
        if (alive && alive->FConnectAttempt == attempt)
            alive->Notify([&] { alive->ConnectCompleted(Error); });
    };
    int error = 0;
    const int result = IrdaPlatform().Connect(Handle(), MakeIrdaAddress(FDeviceID, ServiceName), error, done);
    if (result == 0) {
        // Connected at once; the session event still comes from the event
        // loop, as every other notification does.
        AwaitConnectCompletion();
        QTimer::singleShot(0, this, [done] { done(0); });
        return true;
    }
    if (error == WSAEWOULDBLOCK) {
        AwaitConnectCompletion();
        return true;
    }
    SocketError(stepConnect, error);
    return false;
}

// ---------------------------------------------------------------- data

int TWIrCOMMSocket::HandleSend(const char* Data, int Size, int& Error)
{
    return IrdaPlatform().Send(Handle(), Data, Size, Error);
}

int TWIrCOMMSocket::HandleReceive(char* Buffer, int Size, int& Error)
{
    return IrdaPlatform().Receive(Handle(), Buffer, Size, Error);
}

void TWIrCOMMSocket::HandleClose(int Handle)
{
    ++FConnectAttempt;
    IrdaPlatform().CloseSocket(Handle);
}
