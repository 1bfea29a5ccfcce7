// The express and multi-port express docks where they differ from the Kelo6
// dock: their events, slave mode, texts, ports, opening and closing.
// The USB device is played by the test; the network by loopback listeners of
// the test's own.

#include "dock/KeloExpressDock.h"
#include "dock/MPKeloExpressDock.h"
#include "tests/dock/DockTestSupport.h"
#include "tests/dock/FakeDockUSB.h"
#include "tests/net/LoopbackSockets.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

namespace {

struct ExpressDocks : ::testing::Test {
    void SetUp() override
    {
        for (auto [dock, usb] : Docks()) {
            usb->Bus = {"/dev/dock-0"};
            dock->SetUSBDevice(usb);
            ASSERT_TRUE(Opened(*dock));
            usb->SetHalted(false);
        }
        express.OnInstrumentConnected = Note("express connected");
        express.OnGotGasReading = [this](QObject*, qint16 V) { Events << QString("express gas %1").arg(V); };
        express.OnAudioTest = [this](QObject*, quint8 Low, quint8 Peak) {
            Events << QString("express audio %1 %2").arg(Low).arg(Peak);
        };
        express.OnSpanCalibration = [this](QObject*, TSpanCalDueTo C) { Events << QString("express span %1").arg(C); };
        express.OnTestCompleted = [this](QObject*, auto R) { Events << QString("express test %1").arg(R); };
        express.OnStateChange = [this](QObject*, auto S) { Events << QString("express state %1").arg(S); };
        mp.OnInstrumentConnected = Note("mp connected");
        mp.OnGotGasReading = [this](QObject*, TMPKeloExpressDock::TGasReading& R) {
            Events << "mp gas " + QByteArray(reinterpret_cast<const char*>(R.data()), int(R.size())).toHex();
        };
        mp.OnDeviceInserted = Note("mp inserted");
        mp.OnSpanCalibration = [this](QObject*, TSpanCalDueTo C, TSensorFlags F) {
            Events << QString("mp span %1 %2").arg(C).arg(F);
        };
        mp.OnTestCompleted = [this](QObject*, auto R) { Events << QString("mp test %1").arg(R); };
        mp.OnStateChange = [this](QObject*, auto S) { Events << QString("mp state %1").arg(S); };
    }
    std::vector<std::pair<TKeloDock*, TFakeDockUSB*>> Docks() { return {{&express, &expressUsb}, {&mp, &mpUsb}}; }
    std::function<void(QObject*)> Note(const QString& Text)
    {
        return [this, Text](QObject*) { Events << Text; };
    }

    TScriptedDialogsScope dialogs;
    TFakeDockUSB expressUsb, mpUsb;
    TKeloExpressDock express;
    TMPKeloExpressDock mp;
    QStringList Events;
};

void Answering(TFakeDockUSB& Usb, const QByteArray& Reply)
{
    Usb.Answer = [Reply](const QByteArray&) { return Reply; };
}

}  // namespace

TEST_F(ExpressDocks, EachKindReadsTheEventsThatDifferItsOwnWay)
{
    const struct {
        TKeloDock* Dock;
        QByteArray Chunk;
        QStringList Expected;
    } rows[] = {
        {&express, "EVT9\xFF\xFE", {"express gas -2"}},       // signed, most significant byte first
        {&express, "EVT9\x01\x02", {"express gas 258"}},
        {&express, "EVTE\x40\x90", {"express audio 64 144"}},
        {&express, "EVTEC0A1F", {"express audio 67 48"}},    // an audio test here, never a battery report
        {&express, "EVTB\x03", {"express span 3"}},
        {&express, "EVT3\x0D", {"express test 13"}},
        {&express, "EVT7\x18", {"express state 24"}},
        {&express, "EVTA1EVT1", {"express connected"}},       // "A" means nothing to this dock
        {&express, "EVT9\xFF", {}},                           // cut short: dropped, not read past
        {&express, "EVTE\x40", {}},
        {&mp, "EVT9\x01\x02\x03\x04\x05\x06\x07\x08", {"mp gas 0807060504030201"}},
        {&mp, "EVT9\x01\x02\x03\x04\x05\x06\x07", {}},
        {&mp, "EVTA", {"mp inserted"}},                       // no payload to wait for
        {&mp, "EVTAEVT1", {"mp inserted", "mp connected"}},
        {&mp, "EVTEC0A1F", {}},                               // no battery report at this dock
        {&mp, "EVTB\x01\x09", {"mp span 1 9"}},
        {&mp, "EVT3\x0D", {"mp test 13"}},
        {&mp, "EVT7\x23", {"mp state 35"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Hex(row.Chunk).toStdString());
        Events.clear();
        row.Dock->HandleControlData(row.Chunk);
        ASSERT_TRUE(WaitFor([&] { return !row.Dock->ControlWaiting(); }));  // a payload cut short is dropped
        EXPECT_EQ(Events, row.Expected);
    }
    EXPECT_EQ(express.DockState(), TKeloExpressDock::Cmd_GetSecCounter);
    EXPECT_EQ(express.TestResult(), TKeloExpressDock::DEAD_BAT);
    EXPECT_EQ(express.SpanCause(), Span_DockCalDue);
    EXPECT_EQ(mp.DockState(), TMPKeloExpressDock::Cmd_Alm2);
    EXPECT_EQ(mp.TestResult(), INST_NOT_INSERTED);
    EXPECT_EQ(mp.SpanSensors(), 9);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

// "B" after the answer to "SLV" is the express dock's busy byte; the
// multi-port dock has no busy state and is asked once.
TEST_F(ExpressDocks, OnlyTheExpressDockAnswersBusy)
{
    for (auto [dock, usb] : Docks()) {
        usb->Written.clear();
        Answering(*usb, "ACKB");
        EXPECT_EQ(AskSlave(*dock), dock == &express ? TSlaveAnswer::Busy : TSlaveAnswer::Passing);
        EXPECT_EQ(usb->Pipe(3), QList<QByteArray>{"SLV"});
    }
    Answering(mpUsb, "NAK");
    EXPECT_EQ(AskSlave(mp), TSlaveAnswer::Refused);
}

// Each kind's own texts where its control-channel send cannot go as asked.
TEST_F(ExpressDocks, TheExpressDockSpeaksItsOwnTextsOverUsb)
{
    const struct {
        TKeloDock* Dock;
        TFakeDockUSB* Usb;
        bool Enabled;
        QString Text;
        bool HaltedAfter;
    } rows[] = {
        {&express, &expressUsb, true, "Cant Send, USB Halted!, Restarting.", false},
        {&mp, &mpUsb, true, "Cant Send, Usb Device is Halted!", true},
        {&express, &expressUsb, false, "Send Error, USB Dock not Enabled!", false},
        {&mp, &mpUsb, false, "Send Error, Dock not Enabled!", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Text.toStdString());
        dialogs->Clear();
        row.Usb->SetHalted(row.Enabled);
        if (!row.Enabled) {
            ASSERT_TRUE(Closed(*row.Dock));
        }
        EXPECT_EQ(row.Dock->SendControlData("DSC"), row.Enabled) << "a halted device takes the text all the same";
        EXPECT_EQ(dialogs->Texts(), QStringList{row.Text});
        EXPECT_EQ(row.Usb->Halted(), row.HaltedAfter);
    }
}

// ---------------------------------------------------------------- network

namespace {

struct TKind {
    const char* Name;
    std::function<std::unique_ptr<TKeloDock>()> Make;
    quint16 ControlPort, DataPort;
    TDockFamily DeviceType;
};

const TKind Kinds[] = {
    {"kelo6", [] { return std::make_unique<TCorvaneKelo6Dock>(); }, 5004, 5005, TDockFamily::tpCorvaneKelo6},
    {"express", [] { return std::make_unique<TKeloExpressDock>(); }, 5000, 5001, TDockFamily::tpKeloExpress},
    {"mp", [] { return std::make_unique<TMPKeloExpressDock>(); }, 5002, 5003, TDockFamily::tpMPKeloExpress},
};

int Unread(int Fd)
{
    int count = 0;
    return ::ioctl(Fd, FIONREAD, &count) == 0 ? count : -1;
}

// Fires the dock's transport deadline once Ready holds; the interval armed
// then goes to Armed.
void FireTransportTimerWhen(TKeloDock& Dock, std::function<bool()> Ready, int& Armed)
{
    auto* poll = new QTimer(&Dock);
    QObject::connect(poll, &QTimer::timeout, [&Dock, poll, Ready, &Armed] {
        if (!Ready())
            return;
        poll->deleteLater();
        Armed = Dock.EnableTimer()->Running() ? Dock.EnableTimer()->Interval() : -1;
        Dock.EnableTimer()->Fire();
    });
    poll->start(5);
}

}  // namespace

TEST(ExpressDocksNetwork, EachKindUsesItsOwnPortsFamilyAndDataDebugEvents)
{
    TScriptedDialogsScope dialogs;
    int n = 0;
    for (const TKind& kind : Kinds) {
        SCOPED_TRACE(kind.Name);
        const QByteArray address = "127.0.45." + QByteArray::number(++n);
        std::unique_ptr<TKeloDock> dock = kind.Make();
        TFakeDockUSB usb;
        dock->SetUSBDevice(&usb);
        EXPECT_EQ(usb.DeviceType, kind.DeviceType);
        dock->SetUSBDevice(nullptr);

        TLoopbackListener control(address.constData(), kind.ControlPort), data(address.constData(), kind.DataPort);
        dock->SetEthernetAddress(address);
        ASSERT_TRUE(Opened(*dock));
        TLoopbackPeer controlPeer = control.Accept(), dataPeer = data.Accept();
        ASSERT_TRUE(controlPeer.Valid() && dataPeer.Valid());

        QStringList events;
        dock->OnDebugRcvUserData = [&](QObject*, const QByteArray& D) { events << "debug " + D; };
        dock->OnRcvUserData = [&](QObject*, const QByteArray& D) { events << "data " + D; };
        dataPeer.Write("AC");  // the dock's own two bytes
        ASSERT_TRUE(WaitFor([&] { return Unread(dock->DataSocket()->Handle()) == 0; }));
        dataPeer.Write("ACK0");
        ASSERT_TRUE(WaitFor([&] { return events.contains("data ACK0"); }));
        EXPECT_EQ(events, kind.DeviceType == TDockFamily::tpKeloExpress
                              ? QStringList({"data ACK0"})
                              : QStringList({"debug AC", "debug ACK0", "data ACK0"}));
    }
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

// With nothing at the address both connects are refused at once: the opening
// ends then, not at its deadline, and nothing is told.
TEST(ExpressDocksNetwork, RefusedConnectsEndTheOpeningAtOnce)
{
    TScriptedDialogsScope dialogs;
    int n = 10;
    for (const TKind& kind : Kinds) {
        SCOPED_TRACE(kind.Name);
        std::unique_ptr<TKeloDock> dock = kind.Make();
        dock->SetEthernetAddress("127.0.45." + QString::number(++n));
        int deadlines = 0;
        dock->EnableTimer()->OnTimer = [&deadlines](QObject*) { ++deadlines; };
        EXPECT_FALSE(Opened(*dock));
        EXPECT_EQ(deadlines, 0);
        EXPECT_FALSE(dock->EnableTimer()->Enabled());
    }
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

TEST(ExpressDocksNetwork, AnUnansweredExpressDockIsGivenTenSeconds)
{
    TScriptedDialogsScope dialogs;
    TUnansweredPort control("127.0.45.21", 5000), data("127.0.45.21", 5001);
    TKeloExpressDock dock;
    dock.SetEthernetAddress("127.0.45.21");
    int armed = 0;
    FireTransportTimerWhen(
        dock, [&] { return dock.ControlSocket()->State() == wsConnecting && dock.DataSocket()->State() == wsConnecting; },
        armed);
    EXPECT_FALSE(Opened(dock));
    EXPECT_EQ(armed, 10000);
    EXPECT_EQ(dock.ControlSocket()->State(), wsClosed) << "nothing comes up later unasked";
    EXPECT_EQ(dock.DataSocket()->State(), wsClosed);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}

// Closing sends what is queued and lets both connections go once it has
// left; a dock that takes nothing is closed at once at the deadline. An
// opening asked for meanwhile starts once the close has ended.
TEST(ExpressDocksNetwork, ClosingTheExpressDockSendsWhatIsQueuedFirst)
{
    TScriptedDialogsScope dialogs;
    TLoopbackListener control("127.0.45.31", 5000), data("127.0.45.31", 5001);
    TKeloExpressDock dock;
    dock.SetEthernetAddress("127.0.45.31");
    int closed = 0;
    dock.OnTCPClosed = [&](QObject*) { ++closed; };
    ASSERT_TRUE(Opened(dock));
    for (const bool stalled : {false, true}) {
        SCOPED_TRACE(stalled ? "the dock takes nothing" : "the dock reads");
        TLoopbackPeer controlPeer = control.Accept(), dataPeer = data.Accept();
        int armed = 0;
        if (stalled) {
            ASSERT_GT(dock.DataSocket()->SendBytes(QByteArray(24 << 20, 'w')), 0);  // more than loopback buffers hold
            FireTransportTimerWhen(dock, [] { return true; }, armed);
        } else {
            ASSERT_GT(dock.ControlSocket()->SendBytes("LCD0   Goodbye      "), 0);
        }
        QStringList steps;
        dock.Close([&] { steps << "closed"; });
        EXPECT_FALSE(dock.Enabled()) << "from the start of the close";
        dock.Open([&](bool Enabled) { steps << QString("opened %1").arg(Enabled); });
        ASSERT_TRUE(WaitFor([&] { return steps.size() == 2; }));
        EXPECT_EQ(steps, QStringList({"closed", "opened 1"}));
        EXPECT_EQ(armed, stalled ? 10000 : 0);
        if (!stalled) {
            EXPECT_EQ(controlPeer.Read(20), "LCD0   Goodbye      ") << "queued bytes went out before the close";
        }
        EXPECT_TRUE(controlPeer.WaitForEnd());
    }
    EXPECT_EQ(closed, 2);
    EXPECT_TRUE(dialogs->Records().isEmpty());
}
