#include "dock/KeloDock.h"

#include "net/WSocketErrors.h"
#include "platform/Dialogs.h"

#include <QPointer>
#include <algorithm>

namespace {

const QString textHalted = QStringLiteral("Cant Send, Usb Device is Halted!");
const QString textNotEnabled = QStringLiteral("Send Error, Dock not Enabled!");
const QString textNoDevices = QStringLiteral("No devices found!");
const QString textTooLong = QStringLiteral("Error, Message too long!");
const QString textTcpSend = QStringLiteral("Error sending data on TCP!");

constexpr int PipeDataOut = 0;
constexpr int PipeDataIn = 1;
constexpr int PipeControlIn = 2;
constexpr int PipeControlOut = 3;

constexpr int LcdWidth = 16;
constexpr int AdcSize = 8;
constexpr int SlaveReplySize = 1;  // the busy byte

// The payload of a plain notification.
TDockEventRule Notice(char Code, std::function<void()> Raise)
{
    return {Code, 0, false, false, [Raise = std::move(Raise)](const QByteArray&) { Raise(); }};
}

}  // namespace

TKeloDock::TKeloDock(const TDockDescription& Description, QObject* Owner)
    : QObject(Owner),
      FDescription(Description),
      FControl([this](char Code, QByteArrayView After) { return EventExtent(Code, After); })
{
    FControlSocket = new TWSocket(this);
    FDataSocket = new TWSocket(this);
    WireSocket(FControlSocket, 0);
    WireSocket(FDataSocket, 1);
    FControlSocket->OnDataAvailable = [this](QObject*, quint16) { ControlDataAvailable(); };
    FDataSocket->OnDataAvailable = [this](QObject*, quint16) { DataChunk(FDataSocket->ReceiveAvailable()); };
    FDataSocket->OnDataSent = [this](QObject*, quint16) {
        FDataSent = true;
        if (FPieceLeaving)
            PieceLeft();
    };

    FEnableTimer = new TTimer(this);
    FEnableTimer->SetInterval(FDescription.TransportWaitMs);
    FEnableTimer->OnTimer = [this](QObject*) {
        FEnableTimer->SetEnabled(false);
        if (FGraceful)
            CloseSocketsNow();  // what outlived the deadline
        else
            FinishOpening();
    };
    FEvents = SharedEvents();

    FControlQuiet = new QTimer(this);
    FControlQuiet->setSingleShot(true);
    FControlQuiet->setInterval(TControlStream::QuietGapMs);
    connect(FControlQuiet, &QTimer::timeout, this, [this] { HandleStream(true); });
    // Nothing but the queue sends commands: it may always send its next one.
    FCommands = new TDockCommandQueue(
        {[this] { return Enabled(); },
         [] { return true; },
         [this](const QByteArray& Text, TReplyKind Kind) { return SendQueued(Text, Kind); },
         [this] { return CommandTimeOut() > 0 ? CommandTimeOut() : DefaultCommandTimeOut; },
         [this] { OnCmdTimeOut(this); },
         [] {}},
        this);

    FPiecePause = new QTimer(this);
    FPiecePause->setSingleShot(true);
    connect(FPiecePause, &QTimer::timeout, this, [this] { SendNextPiece(); });
    FPieceDeadline = new QTimer(this);
    FPieceDeadline->setSingleShot(true);
    connect(FPieceDeadline, &QTimer::timeout, this, [this] {
        DropOutgoing();
        Fail(ecDockTcpSend, textTcpSend);  // the dock took nothing all that time
    });
}

// A dock that goes away hands its transport back quietly: no event of it
// reaches an owner that is tearing it down.
TKeloDock::~TKeloDock()
{
    for (TWSocket* socket : {FControlSocket, FDataSocket}) {
        socket->OnSessionClosed = nullptr;
        socket->OnSessionConnected = nullptr;
        socket->OnError = nullptr;
    }
    FDisabling = true;
    FCommands->Clear();  // an owner tearing the dock down hears of no command's end
    FOpened.clear();
    FClosed.clear();
    FReopen.clear();
    if (FUSBDevice != nullptr && FUSBDevice->IsConnected())
        FUSBDevice->Disconnect([] {});
    else if (FUSBDevice == nullptr)
        CloseSocketsNow();
}

// ---------------------------------------------------------------- events table

std::vector<TDockEventRule> TKeloDock::SharedEvents()
{
    return {
        Notice('0', [this] { OnPumpLowFlow(this); }),
        Notice('1',
               [this] {
                   FInstrumentPresent = true;
                   OnInstrumentConnected(this);
               }),
        Notice('2',
               [this] {
                   FInstrumentPresent = false;
                   OnInstrumentDisconnected(this);
               }),
        Notice('4', [this] { OnDeviceInRange(this); }),
        Notice('5', [this] { OnDeviceRemoved(this); }),
        Notice('6', [this] { OnFailedToConnect(this); }),
        {'8', 0, true, false, [this](const QByteArray& Msg) { OnDebugMessage(this, Msg); }},
        Notice('C', [this] { OnMultipleTCPConnections(this); }),
        {'D', 1, false, false, [this](const QByteArray& P) { OnEmailDelivered(this, P.at(0) == '1'); }},
    };
}

void TKeloDock::DefineEvents(std::vector<TDockEventRule> Own)
{
    FEvents = SharedEvents();
    for (TDockEventRule& rule : Own)
        FEvents.push_back(std::move(rule));
}

// ---------------------------------------------------------------- transport

void TKeloDock::SetUSBDevice(TDockUSBDevice* Value)
{
    FUSBDevice = Value;
    if (Value == nullptr)
        return;
    Value->SetDeviceType(FDescription.DeviceType);
    // A device that outlives this dock calls nothing on it afterwards.
    QPointer<TKeloDock> self(this);
    Value->OnPipeData = [self](QObject* Sender, int Pipe, int Count) {
        if (self)
            self->HandlePipeData(Sender, Pipe, Count);
    };
}

bool TKeloDock::Enabled() const
{
    if (FClosing)
        return false;
    if (FUSBDevice != nullptr)
        return FUSBDevice->IsConnected() && !FUsbRemoved;
    return FControlSocket->State() == wsConnected && FDataSocket->State() == wsConnected;
}

void TKeloDock::SetUSBDeviceHalted(bool Value)
{
    if (FUSBDevice != nullptr)
        FUSBDevice->SetHalted(Value);
}

// The named device, or the first one on the bus, is connected; the opening
// ends when the device says it is connected and settled, or has failed.
void TKeloDock::EnableUsb()
{
    SetUSBDevice(FUSBDevice);
    FUsbRemoved = false;
    QPointer<TKeloDock> self(this);
    FUSBDevice->OnDeviceRemoved = [self](QObject*) {
        if (self) {
            self->FUsbRemoved = true;
            self->FCommands->Lose();
            self->LoseInstrument();
        }
    };
    if (FUSBDevice->DeviceName().isEmpty()) {
        const QStringList devices = FUSBDevice->RefreshDeviceList();
        if (devices.isEmpty()) {
            Fail(ecDockNoDevices, textNoDevices);
            UsbOpened();
            return;
        }
        FUSBDevice->SetDeviceName(devices.first());
    }
    FEnabling = true;
    FUSBDevice->Connect([self](bool) {
        if (self)
            self->UsbOpened();
    });
}

// Every opening under way is told whether the dock is enabled now.
void TKeloDock::UsbOpened()
{
    FEnabling = false;
    std::vector<std::function<void(bool)>> told;
    told.swap(FOpened);
    const bool enabled = Enabled();
    for (const auto& done : told)
        done(enabled);
}

bool TKeloDock::Connecting() const
{
    return FControlSocket->State() == wsConnecting || FDataSocket->State() == wsConnecting;
}

void TKeloDock::Close(std::function<void()> Done)
{
    FClosed.push_back(std::move(Done));
    if (FClosing)
        return;  // told with the close under way
    FClosing = true;
    FDisabling = true;
    FInstrumentPresent = false;
    FControl.Clear();
    DropOutgoing();
    FCommands->Lose();
    QPointer<TKeloDock> self(this);
    if (FUSBDevice != nullptr) {
        FUSBDevice->Disconnect([self] {
            if (self)
                self->EndClosing();
        });
        return;
    }
    const bool bothUp = FControlSocket->State() == wsConnected && FDataSocket->State() == wsConnected;
    if (!FDescription.ClosesGracefully || !bothUp) {
        CloseSocketsNow();
        return;
    }
    FGraceful = true;
    FEnableTimer->Restart();
    FControlSocket->CloseLater();  // each goes once what is queued on it has left
    FDataSocket->CloseLater();
}

// Both connections are closed at once (by a close, at its deadline, or by the
// destructor); an opening under way ends, not enabled, and a close under way ends.
void TKeloDock::CloseSocketsNow()
{
    FGraceful = false;
    QPointer<TKeloDock> self(this);
    FControlSocket->Close();
    if (self)
        FDataSocket->Close();
    if (self)
        FinishOpening();
    if (self && FClosing)
        EndClosing();
}

// Everyone waiting for the close is told, then the openings asked for meanwhile start.
void TKeloDock::EndClosing()
{
    FEnableTimer->SetEnabled(false);
    FClosing = false;
    FGraceful = false;
    FDisabling = false;
    std::vector<std::function<void()>> told;
    told.swap(FClosed);
    std::vector<std::function<void(bool)>> reopen;
    reopen.swap(FReopen);
    QPointer<TKeloDock> self(this);
    for (const auto& done : told) {
        if (done)
            done();
        if (!self)
            return;
    }
    for (auto& done : reopen)
        Open(std::move(done));
}

void TKeloDock::WireSocket(TWSocket* Socket, int Channel)
{
    Socket->OnSessionConnected = [this](QObject*, quint16 Error) {
        if (Error == 0 && Enabled())
            OnTCPConnected(this);
        FinishOpening();
    };
    Socket->OnSessionClosed = [this](QObject*, quint16) { SocketClosed(); };
    Socket->OnError = [this, Socket, Channel](QObject*) {
        OnTCPError(this, Channel, Socket->LastError(), WSocketErrorDesc(Socket->LastError()));
        FinishOpening();
    };
}

void TKeloDock::ControlDataAvailable()
{
    HandleControlData(FControlSocket->ReceiveAvailable());
}

// The data connection's chunks of 1 or 2 bytes are the dock's own and are
// dropped after the debug event; the end of a longer piece that one read
// could not take whole is not one of them.
void TKeloDock::DataChunk(const QByteArray& Chunk)
{
    const bool continues = FDataReadCut;
    FDataReadCut = Chunk.size() >= TWSocket::MaxReceiveSize;
    if (FDescription.DebugRcvUserData)
        OnDebugRcvUserData(this, Chunk);
    if (Chunk.size() > 2 || PassShortChunks || continues)
        HandleUserData(Chunk);
}

// Losing one connection drops the other (in a graceful close each goes once
// its own data has left, or at the deadline).
void TKeloDock::SocketClosed()
{
    QPointer<TKeloDock> self(this);
    const bool bothClosed = FControlSocket->State() == wsClosed && FDataSocket->State() == wsClosed;
    if (bothClosed)
        OnTCPClosed(this);
    if (FGraceful) {
        if (self && bothClosed)
            EndClosing();
        return;
    }
    for (TWSocket* socket : {FControlSocket, FDataSocket}) {
        if (self && socket->State() == wsConnected)
            socket->Close();
    }
    if (self && FControlSocket->State() == wsClosed && FDataSocket->State() == wsClosed) {
        FControl.Clear();
        DropOutgoing();
        FCommands->Lose();
        LoseInstrument();
    }
    if (self)
        FinishOpening();
}

// A transport lost while the instrument was passed through takes the
// instrument with it: the link learns at once that its instrument is gone.
void TKeloDock::LoseInstrument()
{
    if (FDisabling || !FInstrumentPresent)
        return;
    FInstrumentPresent = false;
    OnInstrumentDisconnected(this);
}

// The USB device's receive thread waits while this runs, so the bytes are
// taken now and handled once it has returned: what they set off (the link's
// reply, the next page, a command that waits for the dock's answer on the
// control pipe) must not run while the thread that would bring that answer is
// held. Posted in arrival order, they are handled in it.
void TKeloDock::HandlePipeData(QObject*, int Pipe, int)
{
    if (FUSBDevice == nullptr || (Pipe != PipeDataIn && Pipe != PipeControlIn))
        return;
    const QByteArray chunk = FUSBDevice->ReadData(Pipe);
    QPointer<TKeloDock> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, Pipe, chunk] {
            if (!self)
                return;
            if (Pipe == PipeDataIn)
                self->HandleUserData(chunk);
            else
                self->HandleControlData(chunk);
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------- commands

bool TKeloDock::SendControlData(const QByteArray& Text)
{
    OnDebugSndControlData(this, Text);
    if (FUSBDevice == nullptr)
        return FControlSocket->SendBytes(Text) >= 0;  // a socket that is not connected reports through OnTCPError
    if (!Enabled()) {
        Fail(ecDockNotEnabled, textNotEnabled);
        return false;
    }
    if (FUSBDevice->Halted())
        Fail(ecDockHalted, textHalted);  // the text is queued all the same
    return FUSBDevice->QueueData(PipeControlOut, Text) >= 0;  // behind what is leaving
}

// ---------------------------------------------------------------- the queue

void TKeloDock::Queue(const QByteArray& Text, TReplyKind Kind, TDockDone Done, int TimeOutMs)
{
    FCommands->Queue(Text, Kind, std::move(Done), TimeOutMs);
}

void TKeloDock::QueueSlaveMode(bool Slave, TDockDone Done)
{
    Queue(Slave ? "SLV" : "MST", SlaveModeReplyKind(), [this, Done = std::move(Done)](const TDockReply& Reply) {
        if (!Reply.Acknowledged())
            FDockBusy = true;
        if (Done)
            Done(Reply);
    });
}

void TKeloDock::QueueLcdLine(int Line, const QByteArray& Text, TDockDone Done)
{
    Queue(LcdCommand(Line, Text), rkPlain, std::move(Done));
}

QByteArray TKeloDock::LcdCommand(int Line, const QByteArray& Text)
{
    const char digit = Line >= 0 && Line <= 2 ? char('0' + Line) : '3';
    return QByteArray("LCD") + digit + Text.left(LcdWidth).leftJustified(LcdWidth, ' ');
}

void TKeloDock::QueueLcdRead(int Line, TDockDone Done)
{
    Queue(Line != 0 ? "RLC1" : "RLC0", rkLcdText, std::move(Done));
}

void TKeloDock::QueueAdc(TDockDone Done)
{
    Queue("ADC", rkAdc, std::move(Done));
}

// The second value on the wire (reply bytes 3 and 4) is the third
// little-endian value of the reversed record.
unsigned TKeloDock::BatteryVoltage() const
{
    const auto byte = [this](int i) { return unsigned(quint8(FAdcValues.at(i))); };
    const unsigned value = byte(4) | byte(5) << 8;
    return value * 300 / 768;
}

bool TKeloDock::BusyReply(const TDockReply& Reply) const
{
    return SlaveModeReplyKind() == rkMasterSlave && Reply.Payload.startsWith('B');
}

// The queue's command on the control channel: true when it is on its way.
bool TKeloDock::SendQueued(const QByteArray& Text, TReplyKind Kind)
{
    FReplyKind = Kind;
    return SendControlData(Text);
}

// ---------------------------------------------------------------- opening, and the link's requests

void TKeloDock::Open(std::function<void(bool)> Done)
{
    if (FClosing) {
        FReopen.push_back(std::move(Done));  // started once the close has ended
        return;
    }
    if (!FOpened.empty()) {
        FOpened.push_back(std::move(Done));  // told with the opening under way
        return;
    }
    if (Enabled()) {
        Done(true);
        return;
    }
    if (FUSBDevice != nullptr) {
        FOpened.push_back(std::move(Done));
        if (!FEnabling)
            EnableUsb();
        return;
    }
    for (TWSocket* socket : {FControlSocket, FDataSocket}) {
        if (socket->State() != wsClosed) {
            FDisabling = true;
            socket->Close();  // a partner left over from a connection that was lost
            FDisabling = false;
        }
    }
    FControl.Clear();
    FOpened.push_back(std::move(Done));
    FControlSocket->SetPort(FDescription.ControlPort);
    FControlSocket->SetAddr(FEthernetAddress);
    FDataSocket->SetPort(FDescription.DataPort);
    FDataSocket->SetAddr(FEthernetAddress);
    FEnableTimer->Restart();
    FControlSocket->Connect();
    FDataSocket->Connect();
    FinishOpening();  // a connect that failed at once
}

// Both connections up: enabled. Neither still trying, or the deadline passed:
// what came up alone is closed, and the dock is not enabled.
void TKeloDock::FinishOpening()
{
    if (FOpened.empty())
        return;
    const bool up = Enabled();
    if (!up && FEnableTimer->Enabled() && Connecting())
        return;
    FEnableTimer->SetEnabled(false);
    if (!up) {
        FDisabling = true;
        FControlSocket->Close();
        FDataSocket->Close();
        FDisabling = false;
    }
    std::vector<std::function<void(bool)>> told;
    told.swap(FOpened);
    for (const auto& done : told)
        done(up);
}

void TKeloDock::RequestSlaveMode(std::function<void(TSlaveAnswer)> Done)
{
    QueueSlaveMode(true, [this, Done = std::move(Done)](const TDockReply& Reply) {
        switch (Reply.Outcome) {
        case TDockOutcome::Acknowledged:
            Done(BusyReply(Reply) ? TSlaveAnswer::Busy : TSlaveAnswer::Passing);
            break;
        case TDockOutcome::Refused:
            Done(TSlaveAnswer::Refused);
            break;
        case TDockOutcome::TimedOut:
            Done(TSlaveAnswer::NoAnswer);
            break;
        case TDockOutcome::Lost:
        case TDockOutcome::GivenUp:  // the dock is being handed back: asking ends
            Done(TSlaveAnswer::Lost);
            break;
        }
    });
}

void TKeloDock::RequestDisconnect(std::function<void()> Done)
{
    Queue("DSC", rkPlain, [Done = std::move(Done)](const TDockReply&) { Done(); });
}

void TKeloDock::ReverseBytes(char* Data, int Count)
{
    std::reverse(Data, Data + Count);
}

// ---------------------------------------------------------------- received control data

// The control channel is a stream: its bytes are put together into events
// and replies, each handled once, whole, in the order they came, however
// many one read brings. A payload that never comes whole is dropped once the
// line has been quiet.
void TKeloDock::HandleControlData(QByteArray Chunk)
{
    if (Chunk.isEmpty())
        return;
    OnDebugRcvControlData(this, Chunk);
    FControl.Add(Chunk);
    HandleStream(false);
}

void TKeloDock::HandleStream(bool Quiet)
{
    FControlQuiet->stop();
    QPointer<TKeloDock> self(this);
    while (std::optional<TControlStream::TItem> item = FControl.Next(ReplySize(), Quiet)) {
        if (item->Kind == TControlStream::TItem::Event)
            RaiseEvent(item->Code, item->Payload);
        else if (item->Kind == TControlStream::TItem::Acknowledged || !FControl.AcknowledgementFollows())
            TakeReply(*item);  // (a "NAK" with an "ACK" after it counts as acknowledged)
        if (!self)
            return;
    }
    if (FControl.Waiting() && !Quiet)
        FControlQuiet->start();
}

// The bytes the payload of event Code takes, given what follows the code.
int TKeloDock::EventExtent(char Code, QByteArrayView After) const
{
    const auto rule = std::find_if(FEvents.begin(), FEvents.end(), [&](const TDockEventRule& r) { return r.Code == Code; });
    if (rule == FEvents.end())
        return 0;  // raises nothing
    if (!rule->LengthPrefixed)
        return After.size() >= rule->Size ? rule->Size : -1;
    if (After.isEmpty())
        return -1;
    const int size = 1 + quint8(After.at(0));
    return After.size() >= size ? size : -1;
}

void TKeloDock::RaiseEvent(char Code, const QByteArray& Payload)
{
    const auto rule = std::find_if(FEvents.begin(), FEvents.end(), [&](const TDockEventRule& r) { return r.Code == Code; });
    if (rule == FEvents.end())
        return;
    QByteArray payload = rule->LengthPrefixed ? Payload.mid(1) : Payload;
    if (rule->Reversed)
        ReverseBytes(payload.data(), int(payload.size()));
    const auto raise = rule->Raise;  // survives a handler that changes the table
    raise(payload);
}

int TKeloDock::ReplySize() const
{
    switch (FReplyKind) {
    case rkAdc:
        return AdcSize;
    case rkMasterSlave:
        return SlaveReplySize;
    case rkLcdText:
        return LcdWidth;
    case rkPlain:
        break;
    }
    return 0;
}

// "ACK" completes the command in flight and its payload is read by
// ReplyKind; "NAK" refuses it.
void TKeloDock::TakeReply(const TControlStream::TItem& Reply)
{
    if (Reply.Kind == TControlStream::TItem::Refused) {
        FCommands->Replied(TDockOutcome::Refused);
        return;
    }
    const QByteArray& payload = Reply.Payload;
    switch (FReplyKind) {
    case rkPlain:
        break;
    case rkAdc:
        if (payload.size() >= AdcSize) {
            FAdcValues = payload.left(AdcSize);
            ReverseBytes(FAdcValues.data(), AdcSize);
        }
        break;
    case rkMasterSlave:
        if (!payload.isEmpty())
            FDockBusy = payload.at(0) == 'B';
        break;
    case rkLcdText:
        FLcdText = payload.left(LcdWidth);
        break;
    }
    FCommands->Replied(TDockOutcome::Acknowledged, payload);
}

void TKeloDock::HandleUserData(const QByteArray& Chunk)
{
    if (!Chunk.isEmpty())
        OnRcvUserData(this, Chunk);
}

// ---------------------------------------------------------------- instrument data

// Instrument data of the allowed length, while the dock is enabled; else
// the refusal is told.
bool TKeloDock::TakesUserData(const QByteArray& Data)
{
    if (Data.size() >= MaxUserData) {
        Fail(ecDockTooLong, textTooLong);
        return false;
    }
    if (!Enabled()) {
        Fail(ecDockNotEnabled, textNotEnabled);
        return false;
    }
    return true;
}

// Over the network, short data goes in one send, unless long data is still
// leaving: then it follows in its turn.
bool TKeloDock::PassUserData(const QByteArray& Data)
{
    if (!TakesUserData(Data))
        return false;
    if (FUSBDevice != nullptr)
        return FUSBDevice->QueueData(PipeDataOut, Data) >= 0 && Enabled();
    const bool paced = !FOutgoing.empty() || FPiecePause->isActive();
    if (!paced && Data.size() <= NetworkPieceSize) {
        QPointer<TKeloDock> self(this);
        return SendToDataSocket(Data) && self && Enabled();
    }
    FOutgoing.push_back(Data);
    if (FOutgoing.size() == 1 && !FPiecePause->isActive())
        SendNextPiece();
    return true;
}

// The next piece of the front data. A piece the socket layer refuses while
// still connected is tried again after the pause, for at most the command
// time-out.
void TKeloDock::SendNextPiece()
{
    if (FOutgoing.empty())
        return;
    if (!Enabled()) {
        DropOutgoing();
        return;
    }
    const QByteArray piece = FOutgoing.front().mid(FOutgoingDone, NetworkPieceSize);
    QPointer<TKeloDock> self(this);
    if (!SendToDataSocket(piece)) {
        if (!self)
            return;
        FRefusedMs += PiecePauseMs;
        if (FRefusedMs > std::max(CommandTimeOut(), PiecePauseMs) || !Enabled())
            DropOutgoing();
        else
            FPiecePause->start(PiecePauseMs);
        return;
    }
    FRefusedMs = 0;
    FOutgoingDone += int(piece.size());
    FPieceLeaving = true;
    FPieceDeadline->start(CommandTimeOut() > 0 ? CommandTimeOut() : DefaultCommandTimeOut);
}

// The piece has been handed to the kernel: long data counts down, and the
// next piece (or the next data) goes after the pause.
void TKeloDock::PieceLeft()
{
    FPieceLeaving = false;
    FPieceDeadline->stop();
    if (FOutgoing.empty())
        return;
    const int total = int(FOutgoing.front().size());
    const int remain = total - FOutgoingDone;
    if (remain == 0) {
        FOutgoing.pop_front();
        FOutgoingDone = 0;
    }
    FPiecePause->start(PiecePauseMs);
    if (total > NetworkPieceSize)
        OnFlashProgress(this, total, remain);
}

void TKeloDock::DropOutgoing()
{
    FOutgoing.clear();
    FOutgoingDone = 0;
    FRefusedMs = 0;
    FPieceLeaving = false;
    FPiecePause->stop();
    FPieceDeadline->stop();
}

// False when the socket layer refused the piece (its text shown).
bool TKeloDock::SendToDataSocket(const QByteArray& Piece)
{
    FDataSent = false;
    if (FDataSocket->SendBytes(Piece) >= 0)
        return true;
    Fail(ecDockTcpSend, textTcpSend);
    return false;
}
