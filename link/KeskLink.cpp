#include "link/KeskLink.h"

#include "net/WSocketErrors.h"
#include "link/KeskFraming.h"

#include <QPointer>
#include <limits>

namespace {

constexpr int ReadChunkLimit = 2048;   // the link reads at most this much per event
constexpr int FramedBufferLimit = 1024;
constexpr int StartUpDelayMs = 100;
constexpr int IrSendBlockSize = 2048;
constexpr int IrPieceSize = 40;  // framed types go over the infrared socket in pieces of this size

// A discovery answers at once here (a native stack takes a discovery cycle):
// discoveries are paced so that waiting for a device costs no CPU.
constexpr int DiscoveryIntervalMs = 250;

int TimeOutMilliseconds(int TimeOut)
{
    const qint64 ms = TimeOut > 0 ? qint64(TimeOut) * 1000 : -qint64(TimeOut);
    return static_cast<int>(qMin<qint64>(ms, std::numeric_limits<int>::max()));
}

}  // namespace

int IrComPortFromValue(const QString& Value)
{
    if (Value.isEmpty())
        return 0;
    for (int n = 4; n <= 8; ++n)
        if (QString("COM%1").arg(n).contains(Value))
            return n;
    return 0;
}

TKeskLink::TKeskLink(QObject* Owner) : QObject(Owner)
{
    FComPort = new TApdComPort(this);
    FComPort->OnTriggerAvail = [this](QObject*, quint16 Count) { SerialDataAvailable(Count); };
    FComPort->OnPortOpen = [this](QObject*) {
        FClosing = false;
        SetLinkState(true);
    };
    FComPort->OnPortClose = [this](QObject*) {
        FQuietTimer->stop();
        FReplies.Clear();  // half an answer from a closed port is nobody's answer
        SetLinkState(false);
        FClosing = false;
    };
    // What the port meets on the way (its device gone, bytes it will not
    // take) is the link's failure to tell.
    FComPort->OnError = [this](QObject*, const TErrorInfo& Error) { RaisePortError(OnError, this, Error); };
    FComPort->SetLogName("KeskLink.Log");

    FIrSocket = new TIrSocket(this);
    FIrSocket->SetSendBlockSize(IrSendBlockSize);
    FIrSocket->OnError = [this](QObject*) { StartUpError(FIrSocket->LastError()); };
    FIrSocket->OnDataSent = [this](QObject*, quint16) { SendNextPiece(); };

    FQuietTimer = new QTimer(this);
    FQuietTimer->setSingleShot(true);
    FQuietTimer->setInterval(TReplyAssembler::QuietGapMs);
    connect(FQuietTimer, &QTimer::timeout, this, [this] { LineWentQuiet(); });

    FDiscoveryTimer = new QTimer(this);
    FDiscoveryTimer->setSingleShot(true);
    FDiscoveryTimer->setInterval(DiscoveryIntervalMs);

    FResponseTimer = new TTimer(this);
    FResponseTimer->OnTimer = [this](QObject*) { StartUpStep(); };
    FResponseTimer->SetInterval(StartUpDelayMs);
    FResponseTimer->Restart();
}

TKeskLink::~TKeskLink()
{
    FResponseTimer->SetEnabled(false);
    delete FIrSocket;  // closes without any event
    FIrSocket = nullptr;
    delete FComPort;  // its closed event still finds the link whole
    FComPort = nullptr;
    delete FResponseTimer;
    FResponseTimer = nullptr;
}

TKeskLink::TWay TKeskLink::Way() const
{
    if (Dock())
        return TWay::Dock;
    if (FInstrumentType == tpKesk5)
        return TWay::Kesk5Serial;
    if (FUseIrSocket)
        return TWay::IrSocket;
    return TWay::IrComPort;
}

bool TKeskLink::IrComPortMissing() const
{
    return Way() == TWay::IrComPort && FIrComPort == 0 && FIrComDevice.isEmpty();
}

void TKeskLink::SetConnected(bool Value)
{
    if (Value)
        OpenLink(FDefaultTimeOut);
    else
        CloseLink();
}

void TKeskLink::SetLinkState(bool IsConnected)
{
    FConnected = IsConnected;
    WakePoll();
}

// ---------------------------------------------------------------- sending

void TKeskLink::AdvanceIndex(QByteArray& Text)
{
    FMsgIndex = (FMsgIndex >= '9') ? '0' : char(FMsgIndex + 1);
    if (Text.size() >= 4)
        Text[3] = FMsgIndex;
}

void TKeskLink::SendMsg(QByteArray Text, int TimeOut)
{
    if (IsIndexedType(FInstrumentType)) {
        AdvanceIndex(Text);
        if (Text.size() < 4) {
            // Such a command has no room for its index: the instrument could not
            // match its answer, so it is refused rather than sent without one.
            RaiseError(OnError, this, ecLinkCommandTooShort, "SendMsg Error - Command Too Short!");
            return;
        }
    }
    if (!FConnected || FClosing) {
        RaiseError(OnError, this, ecLinkNotConnected, "SendMsg Error - Not Connected!");
        return;
    }
    FRejectionShown = false;
    if (ReassemblesReplies()) {
        FQuietTimer->stop();
        FReplies.Expect(Text);
    }
    if (TPassThroughDock* dock = Dock()) {
        OnDebugSend(this, Text);
        ArmTimeOut(TimeOut);  // armed first: a dock that answers at once finds it running
        dock->PassUserData(Text);
        return;
    }
    const QByteArray wire = FrameMessage(FInstrumentType, Text);
    OnDebugSend(this, wire);
    HandToTransport(wire);
    ArmTimeOut(TimeOut);
}

void TKeskLink::HandToTransport(const QByteArray& Wire)
{
    if (FUseIrSocket && FInstrumentType != tpKesk5)
        SendOverIrSocket(Wire);
    else
        FComPort->PutString(Wire);
}

bool TKeskLink::IrSessionUsable() const
{
    return FConnected && !FClosing;
}

void TKeskLink::SendOverIrSocket(const QByteArray& Wire)
{
    if (IsFramedType(FInstrumentType))
        SendFramedPieces(Wire);
    else if (IrSessionUsable())
        FIrSocket->SendBytes(Wire);
}

// Each piece carries the IrCOMM control byte first. The first goes now, each
// next one once the socket has sent everything queued (SendNextPiece); a
// command sent meanwhile follows the one under way.
void TKeskLink::SendFramedPieces(const QByteArray& Wire)
{
    const bool underWay = !FPieces.empty();
    if (!underWay)
        FPiecesError = FIrSocket->LastError();
    for (int at = 0; at < Wire.size(); at += IrPieceSize)
        FPieces.push_back('\0' + Wire.mid(at, IrPieceSize));
    if (!underWay)
        SendNextPiece();
}

// A session that has gone, or a new socket error (a piece refused), ends the
// command's remaining pieces: its time-out tells the client.
void TKeskLink::SendNextPiece()
{
    if (!IrSessionUsable() || FIrSocket->LastError() != FPiecesError) {
        FPieces.clear();
        return;
    }
    if (FPieces.empty())
        return;
    const QByteArray piece = FPieces.front();
    FPieces.pop_front();
    FIrSocket->SendBytes(piece);
}

void TKeskLink::ArmTimeOut(int TimeOut)
{
    FResponseTimer->OnTimer = [this](QObject*) { TimeOutHandler(); };
    FResponseTimer->SetInterval(TimeOutMilliseconds(TimeOut));
    FResponseTimer->Restart();
    FArmedMs = FResponseTimer->Interval();
    FArmedAt.start();
}

void TKeskLink::ResumeTimeOut()
{
    if (FArmedMs <= 0 || !FArmedAt.isValid())
        return;  // the command was sent without a time-out
    const qint64 left = FArmedMs - FArmedAt.elapsed();
    FResponseTimer->OnTimer = [this](QObject*) { TimeOutHandler(); };
    FResponseTimer->SetInterval(static_cast<int>(qMax<qint64>(1, left)));  // an interval of 0 would never fire
    FResponseTimer->Restart();
}

void TKeskLink::TimeOutHandler()
{
    FResponseTimer->SetEnabled(false);
    OnTimeOut(this, 0);
}

// ---------------------------------------------------------------- receiving

void TKeskLink::Deliver(QObject* Sender, const QByteArray& Data)
{
    OnDebugReceive(this, Data);
    OnReceiveMsg(Sender, Data);
}

void TKeskLink::SerialDataAvailable(quint16 Count)
{
    const QByteArray chunk = FComPort->GetBlock(qMin<int>(Count, ReadChunkLimit));
    if (IsFramedType(FInstrumentType)) {
        AppendFramedChunk(chunk, true);
    } else if (ReassemblesReplies()) {
        AssembleReply(chunk);
    } else {
        FResponseTimer->SetEnabled(false);
        Deliver(this, chunk);
    }
    WakePoll();
}

// The indexed instruments' answers are short and arrive in pieces whenever an
// adapter's latency timer runs out in the middle: on the serial ways they are
// put back together before they are delivered, each once.
bool TKeskLink::ReassemblesReplies() const
{
    return IsIndexedType(FInstrumentType)
           && (Way() == TWay::IrComPort || Way() == TWay::Kesk5Serial || Way() == TWay::Dock);
}

// Each complete answer is delivered once, whole, in the order it came.
void TKeskLink::AssembleReply(const QByteArray& Chunk)
{
    FReplies.Add(Chunk);
    QPointer<TKeskLink> alive(this);
    if (const std::optional<qint64> dropped = FReplies.TakeOverflow()) {
        RaiseError(OnError, this, ecLinkResponseTooLong,
                   QStringLiteral("Message Response Too Long, %1 bytes dropped!").arg(*dropped));
        if (!alive)
            return;
    }
    while (std::optional<QByteArray> answer = FReplies.TakeComplete()) {
        FQuietTimer->stop();
        FResponseTimer->SetEnabled(false);
        Deliver(this, *answer);
        if (!alive)
            return;
    }
    if (!FReplies.Waiting())
        return;
    const int wait = FReplies.WaitMs();  // the quiet gap counts from the last byte
    if (wait > 0)
        FQuietTimer->start(wait);
    else
        LineWentQuiet();
}

void TKeskLink::LineWentQuiet()
{
    QPointer<TKeskLink> alive(this);
    for (QByteArray answer = FReplies.TakeAll(); alive && !answer.isEmpty(); answer = FReplies.TakeAll()) {
        FResponseTimer->SetEnabled(false);
        Deliver(this, answer);
    }
}

// A chunk with a start byte begins a new frame; any other chunk continues the
// one being received. The poll extracts the frame once an end byte was seen.
void TKeskLink::AppendFramedChunk(const QByteArray& Chunk, bool ApplyLimit)
{
    if (Chunk.contains(FrameStart))
        FRxBuffer = Chunk;
    else
        FRxBuffer += Chunk;
    if (Chunk.contains(FrameEnd))
        FFrameComplete = true;
    if (ApplyLimit && FRxBuffer.size() > FramedBufferLimit) {
        FRxBuffer.clear();
        FResponseTimer->SetEnabled(false);
    }
}

void TKeskLink::IrDataAvailable(const QByteArray& Block)
{
    if (IsFramedType(FInstrumentType)) {
        AppendFramedChunk(Block.mid(1), false);  // the first byte is the IrCOMM control byte
    } else if (IsIndexedType(FInstrumentType)) {
        AcceptIndexedIrReply(Block);
    } else {
        FResponseTimer->SetEnabled(false);
        Deliver(this, Block);
    }
    WakePoll();
}

void TKeskLink::AcceptIndexedIrReply(const QByteArray& Reply)
{
    if (Reply.size() >= 4 && Reply.at(3) == FMsgIndex) {
        FResponseTimer->SetEnabled(false);
        Deliver(this, Reply);
        return;
    }
    // Not this command's answer. The command keeps its deadline either way, so
    // an answer that never comes is still noticed and the client can resend.
    if (IsLateAnswer(Reply)) {
        OnDebugReceive(this, Reply);  // an earlier command's answer, come late: ignored quietly
        return;
    }
    RejectIrReply(Reply);
}

// An answer that carries the index digit of another (earlier) command.
bool TKeskLink::IsLateAnswer(const QByteArray& Reply) const
{
    if (Reply.size() < 4)
        return false;
    const char index = Reply.at(3);
    return index >= '0' && index <= '9' && index != FMsgIndex;
}

// One box per command: an instrument that keeps answering wrongly must not
// stack a box per answer in front of the operator.
void TKeskLink::RejectIrReply(const QByteArray& Reply)
{
    if (!FRejectionShown) {
        FRejectionShown = true;
        if (Reply == "NAK" || (Reply.size() >= 4 && Reply.startsWith("NAK")))
            RaiseError(OnError, this, ecLinkNak, "NAK - Instrument did not understand command!");
        else if (Reply.size() < 4)
            RaiseError(OnError, this, ecLinkResponseTooShort, "Message Response Too Short!");
        else
            RaiseError(OnError, this, ecLinkWrongIndex, "Incorrect Response Message Index!");
    }
    OnDebugReceive(this, Reply);
}

// The dock's data connection and its USB pipe deliver the instrument's
// answers in arbitrary pieces: they are put together as on a serial line. A
// chunk of one or two bytes that continues an answer, or may begin one, is
// part of it; one that begins none is the dock's own and is dropped.
void TKeskLink::DockRcvUserData(QObject*, const QByteArray& Data)
{
    if (!FConnected)
        return;
    if (!ReassemblesReplies()) {
        FResponseTimer->SetEnabled(false);
        Deliver(this, Data);
        return;
    }
    if (Data.size() <= 2 && !FReplies.Waiting() && !TReplyAssembler::StartsAnAnswer(Data))
        return;
    AssembleReply(Data);
}

std::optional<QByteArray> TKeskLink::ExtractFrame()
{
    if (!FFrameComplete)
        return std::nullopt;
    OnDebugReceive(this, FRxBuffer);
    std::optional<QByteArray> payload = UnframeMessage(FInstrumentType, FRxBuffer);
    if (payload)
        FResponseTimer->SetEnabled(false);
    FFrameComplete = false;
    return payload;
}

void TKeskLink::PollLink(QObject* Sender)
{
    if (FConnected != FReportedConnected) {
        FReportedConnected = FConnected;
        if (FConnected)
            OnLinkUp(this, true);
        else
            OnLinkDown(this, false);
    }
    if (auto payload = ExtractFrame())
        OnReceiveMsg(Sender, *payload);
}

// ---------------------------------------------------------------- transports

// A missing or unusable infrared stack shows in the first discovery: the
// socket's error event is the start-up error handler until it has run.
void TKeskLink::StartUpStep()
{
    FResponseTimer->SetEnabled(false);
    if (!Dock())
        FDevices = FIrSocket->EnumerateDevices();
    SubscribeIrSocket();
    FIrSocket->SetUseAnyDevice(true);
    if (!FUseIrSocket)
        LookUpIrComPort();
}

void TKeskLink::SubscribeIrSocket()
{
    FIrSocket->OnError = [this](QObject*) { OnIrError(this); };
    FIrSocket->OnDataAvailable = [this](QObject*, quint16) { IrDataAvailable(FIrSocket->ReceiveAvailable()); };
    // A connect that failed is no session: the link stays down (and the
    // discovery time-out, still running, reports it).
    FIrSocket->OnSessionConnected = [this](QObject*, quint16 Error) {
        FClosing = false;
        SetLinkState(Error == 0);
    };
    FIrSocket->OnSessionClosed = [this](QObject*, quint16) {
        FPieces.clear();
        SetLinkState(false);
        FClosing = false;
    };
}

void TKeskLink::StartUpError(int Code)
{
    if (Code == WSAEINVAL || Code == WSAEOPNOTSUPP || Code == WSAEAFNOSUPPORT) {
        FUseIrSocket = false;  // no infrared sockets: the driver's COM port it is
    } else if (Code == WSAENETDOWN) {
        RaiseError(OnError, this, ecLinkIrdaDisabled,
                   QString("Error %1 \"%2\" IrDA Transceiver disabled or not connected!")
                       .arg(Code)
                       .arg(WSocketErrorDesc(Code)));
    } else if (!Dock()) {
        RaiseError(OnError, this, ecLinkIrSocket, QString("IrSock Error %1 \"%2\"").arg(Code).arg(WSocketErrorDesc(Code)));
    }
}

void TKeskLink::LookUpIrComPort()
{
    const QString value = QString::fromLocal8Bit(qgetenv("KT4_IRCOMM"));
    if (value.startsWith('/')) {
        FIrComPort = 0;
        FIrComDevice = value;
    } else {
        FIrComPort = static_cast<quint16>(IrComPortFromValue(value));
        FIrComDevice.clear();
    }
}

void TKeskLink::OpenLink(int TimeOut)
{
    // A second connect while the first still waits (an operator pressing Start
    // again during the infrared discovery) leaves the first to finish: running
    // both would close the session the inner one opened.
    if (FOpening)
        return;
    FOpening = true;
    QPointer<TKeskLink> alive(this);
    try {
        OpenWay(TimeOut);
    } catch (...) {
        if (alive)
            FOpening = false;
        throw;
    }
    if (alive && !FDiscoveryTimer->isActive())
        FOpening = false;  // (a discovery that goes on ends the connect itself)
}

void TKeskLink::OpenWay(int TimeOut)
{
    switch (Way()) {
    case TWay::Dock:
        OpenThroughDock(Dock());
        return;  // no poll through a dock: its answers are delivered as they come
    case TWay::Kesk5Serial:
        OpenSerial(FRS232Port, FRS232BaudRate, QString());
        break;
    case TWay::IrSocket:
        if (!OpenIrSocket(TimeOut))
            return;  // no device yet: the discovery goes on, or gave up
        break;
    case TWay::IrComPort:
        OpenSerial(FIrComPort, 115200, FIrComDevice);
        SetLinkState(FComPort->Open());
        break;
    }
    StartPolling();
}

// Discovers until a device is in range, then connects to the first one found.
// The discovery time-out keeps running: the first command restarts it with
// its own time-out. While none is found, the next discovery follows on a
// timer, until the time-out; nothing waits meanwhile.
bool TKeskLink::OpenIrSocket(int TimeOut)
{
    if (TimeOut > 0) {
        FResponseTimer->OnTimer = [this](QObject*) { TimeOutHandler(); };
        FResponseTimer->SetInterval(TimeOutMilliseconds(TimeOut));
        FResponseTimer->Restart();
    }
    FDevices = FIrSocket->EnumerateDevices();
    if (FDevices && FDevices->Count() > 0) {
        ConnectToFirstDevice();
        return true;
    }
    if (TimeOut > 0 && FResponseTimer->Enabled()) {
        FDiscoveryTimer->disconnect();
        connect(FDiscoveryTimer, &QTimer::timeout, this, [this, TimeOut] { DiscoverAgain(TimeOut); });
        FDiscoveryTimer->start();
    }
    return false;
}

void TKeskLink::DiscoverAgain(int TimeOut)
{
    if (!FResponseTimer->Enabled()) {
        FOpening = false;  // found nothing in time
        return;
    }
    FDevices = FIrSocket->EnumerateDevices();
    if (FDevices && FDevices->Count() > 0) {
        FOpening = false;
        ConnectToFirstDevice();
        StartPolling();
        return;
    }
    FDiscoveryTimer->start();
}

void TKeskLink::ConnectToFirstDevice()
{
    FIrSocket->Close();  // (its queue goes with it)
    FPieces.clear();
    FIrSocket->SetDeviceID(FDevices->Item(0).DeviceID);
    FIrSocket->Connect();
}

void TKeskLink::OpenSerial(int Port, int Baud, const QString& Device)
{
    FComPort->SetComNumber(Port);
    FComPort->SetDevicePath(Device);
    FComPort->SetBaud(Baud);
    FComPort->SetOpen(true);
}

// The dock's transport is opened and the dock asked to pass the instrument
// through, again and again while it is busy, refuses or does not answer. The
// link is up once the dock reports the instrument ("EVT1"). Nothing waits:
// each step follows the dock's answer.
void TKeskLink::OpenThroughDock(TPassThroughDock* ADock)
{
    // Listening before the dock is asked: a dock may report the instrument in
    // the same message as its answer to the pass-through request.
    SubscribeDock(ADock);
    ADock->PassShortChunks = ReassemblesReplies();
    FThroughDock = true;
    FDisconnectAsked = false;
    FDockAsking = true;
    const int session = ++FDockSession;
    QPointer<TKeskLink> self(this);
    ADock->Open([self, ADock, session](bool Enabled) {
        if (!self || session != self->FDockSession)
            return;
        if (!Enabled) {
            self->FDockAsking = false;
            RaiseError(self->OnError, self, ecDockNoAnswer, "The dock did not answer.");
            return;
        }
        if (ADock->HasUSBDevice())
            ADock->SetUSBDeviceHalted(false);
        self->AskDockForInstrument(ADock, session);
    });
}

void TKeskLink::AskDockForInstrument(TPassThroughDock* ADock, int Session)
{
    QPointer<TKeskLink> self(this);
    ADock->RequestSlaveMode([self, ADock, Session](TSlaveAnswer Answer) {
        if (!self || Session != self->FDockSession || !self->FDockAsking)
            return;
        if (Answer == TSlaveAnswer::Passing || Answer == TSlaveAnswer::Lost || self->FConnected) {
            self->FDockAsking = false;  // the dock reports the instrument when it has it
            return;
        }
        // A dock that is busy, refuses to pass the instrument through or does
        // not answer is asked again, until the instrument is passed through
        // or the link is closed (whoever connects bounds the wait).
        QTimer::singleShot(self->FDockRetryMs, self, [self, ADock, Session] {
            if (self && Session == self->FDockSession && self->FDockAsking && !self->FConnected)
                self->AskDockForInstrument(ADock, Session);
        });
    });
}

void TKeskLink::SubscribeDock(TPassThroughDock* ADock)
{
    ADock->OnInstrumentConnected = [this](QObject*) { DockInstrumentArrived(); };
    ADock->OnInstrumentDisconnected = [this](QObject*) { DockInstrumentGone(); };
    ADock->OnRcvUserData = [this](QObject* Sender, const QByteArray& Data) { DockRcvUserData(Sender, Data); };
}

// Only while the link is open through the dock, and once: a dock that reports
// the instrument again (twice in one message, or an instrument restarting
// after its upgrade) starts nothing new.
void TKeskLink::DockInstrumentArrived()
{
    if (!FThroughDock || FConnected)
        return;
    FDockAsking = false;
    FConnected = true;
    FClosing = false;
    FReplies.Clear();
    OnLinkUp(this, true);
}

void TKeskLink::DockInstrumentGone()
{
    if (!FConnected)
        return;
    FConnected = false;
    FClosing = false;
    FQuietTimer->stop();
    FReplies.Clear();
    OnLinkDown(this, false);
}

// The dock is asked to take the instrument back, after whatever it is
// answering; the link is down once it has answered, refused, not answered in
// time or been lost, whichever comes first (or once it reports the instrument
// gone).
void TKeskLink::CloseThroughDock()
{
    TPassThroughDock* dock = Dock();
    if (FDisconnectAsked)
        return;  // the dock is being asked already: once is enough
    FThroughDock = false;
    FDockAsking = false;
    ++FDockSession;
    if (!dock->Enabled()) {
        DockInstrumentGone();
        return;
    }
    QPointer<TKeskLink> self(this);
    FDisconnectAsked = true;
    dock->RequestDisconnect([self] {
        if (!self)
            return;
        self->FDisconnectAsked = false;
        self->DockInstrumentGone();
    });
}

void TKeskLink::CloseLink()
{
    switch (Way()) {
    case TWay::Dock:
        CloseThroughDock();
        break;
    case TWay::Kesk5Serial:
        FComPort->SetOpen(false);
        break;
    case TWay::IrSocket:
        FDiscoveryTimer->stop();
        FOpening = false;
        FClosing = true;  // the session-closed event resets it
        FIrSocket->Close();
        FClosing = false;  // also when there was no session to close
        break;
    case TWay::IrComPort:
        FComPort->SetOpen(false);
        SetLinkState(FComPort->Open());
        break;
    }
}

void TKeskLink::StartPolling()
{
    FPolling = true;
    WakePoll();  // the first turn reports the state the open left
}

// One turn posted at a time: the flag is cleared when the turn begins, so a
// wake that comes while it runs posts the next.
void TKeskLink::WakePoll()
{
    if (!FPolling || FPollPosted.exchange(true))
        return;
    QMetaObject::invokeMethod(this, [this] { RunPoll(); }, Qt::QueuedConnection);
}

void TKeskLink::RunPoll()
{
    FPollPosted = false;
    ++FPollTurns;
    PollLink(this);
}
