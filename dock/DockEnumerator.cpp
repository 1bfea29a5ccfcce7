#include "dock/DockEnumerator.h"

#include "platform/Dialogs.h"

#include <iterator>

namespace {

struct TSearchPorts {
    const char* EnquiryPort;  // null: the family is not searched for
    const char* AnswerPort;
    const char* TypeName;
};

// Indexed by TDockFamily.
constexpr TSearchPorts Families[] = {
    {"6458", "6457", "KeloExpress"},
    {"6460", "6459", "MP KeloExpress"},
    {nullptr, nullptr, nullptr},  // Mirtal
    {"6462", "6461", "Kelo6"},
};

// An answer's name: its text up to the first zero byte, cut to Length
// characters; empty when it holds a control character (a line break, an
// escape sequence), which no dock's name has.
QString AnswerName(const QByteArray& Datagram, int Length)
{
    const qsizetype zero = Datagram.indexOf('\0');
    const QString text = QString::fromLatin1(zero < 0 ? Datagram : Datagram.left(zero));
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control)
            return QString();
    return text.left(Length);
}

}  // namespace

QString TDockEnumerator::BroadcastAddress()
{
    const QString chosen = qEnvironmentVariable("KT4_DOCK_BROADCAST").trimmed();
    return chosen.isEmpty() ? QString(LimitedBroadcast) : chosen;
}

TDockEnumerator::TDockEnumerator(QObject* Owner) : QObject(Owner)
{
    FListenSocket = new TWSocket(this);
    FListenSocket->OnSessionConnected = [this](QObject*, quint16 Error) { FListening = Error == 0; };
    FListenSocket->OnSessionClosed = [this](QObject*, quint16) { FListening = false; };
    FListenSocket->OnDataAvailable = [this](QObject*, quint16) { AnswerReceived(); };
    FBroadcastSocket = new TWSocket(this);
    FTimer = new TTimer(this);
    FTimer->SetEnabled(false);
    FTimer->OnTimer = [this](QObject*) { StopListening(); };
}

TDockEnumerator::~TDockEnumerator()
{
    FTimer->SetEnabled(false);
    FListenSocket->OnSessionClosed = nullptr;
    FListenSocket->Close();
}

void TDockEnumerator::StartEnumeration()
{
    if (FListening)
        FListenSocket->Close();
    ChooseFamily();
    if (!FListening) {
        FListenSocket->SetProto("udp");
        FListenSocket->SetAddr("0.0.0.0");
        FListenSocket->Listen();
    }
    FDockNames.clear();
    FDockAddresses.clear();
    FChangedEntry = -1;
    SendEnquiry();
    // A window still open from an earlier call is not extended.
    FTimer->SetInterval(ListeningMs);
    FTimer->SetEnabled(true);
}

// A family without search ports leaves the ports and the name as they were.
void TDockEnumerator::ChooseFamily()
{
    const int type = static_cast<int>(FDockType);
    if (type < 0 || type >= int(std::size(Families)) || !Families[type].EnquiryPort)
        return;
    const TSearchPorts& family = Families[type];
    FListenSocket->SetPort(family.AnswerPort);
    FBroadcastSocket->SetPort(family.EnquiryPort);
    FTypeName = family.TypeName;
}

void TDockEnumerator::SendEnquiry()
{
    FBroadcastSocket->SetProto("udp");
    FBroadcastSocket->SetAddr(BroadcastAddress());
    FBroadcastSocket->SetLocalPort("0");
    FBroadcastSocket->Connect();
    // A failed send goes through the socket's error path; it is reported here,
    // once, and the search goes on listening.
    bool failed = false;
    FBroadcastSocket->OnError = [&failed](QObject*) { failed = true; };
    if (FBroadcastSocket->SendBytes("ENQ") < 0)
        failed = true;
    FBroadcastSocket->OnError = nullptr;
    if (failed) {
        if (OnEnumerationStartFailed)
            OnEnumerationStartFailed(this);
        else
            RaiseError(OnError, this, ecDockSearch, "Could not start dock auto detection, check your network!");
    }
    FBroadcastSocket->Close();
}

void TDockEnumerator::StopListening()
{
    FTimer->SetEnabled(false);
    FListenSocket->Close();
}

void TDockEnumerator::AnswerReceived()
{
    QByteArray datagram;
    QString from;
    quint16 fromPort = 0;
    if (FListenSocket->ReceiveDatagram(datagram, AnswerBufferSize, from, fromPort) < 0)
        return;  // unreadable, or longer than the buffer: dropped
    const QString name = AnswerName(datagram, MaxNameLength);
    if (name.isEmpty() || !name.contains(FTypeName))
        return;
    qsizetype entry = FDockAddresses.indexOf(from);  // one entry per sender
    if (entry < 0) {
        if (FDockAddresses.size() >= MaxDocks)
            return;  // the list is full
        entry = FDockAddresses.size();
        FDockNames << QString();
        FDockAddresses << from;
    } else if (FDockNames.at(entry) == name) {
        return;  // the same answer again: nothing changed
    }
    FDockNames[entry] = name;
    FChangedEntry = int(entry);
    OnListChanged(this);
}
