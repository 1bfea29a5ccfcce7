#include "link/ApdComPort.h"
#include "link/ComPorts.h"
#include "tests/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct ComPortOnPty : ::testing::Test {
    void SetUp() override
    {
        qputenv("KT4_COM7", pty.SlavePath().toLocal8Bit());
        port.SetComNumber(7);
        port.OnPortOpen = [this](QObject*) { order << "open"; };
        port.OnPortClose = [this](QObject*) { order << "close"; };
        port.OnTriggerAvail = [this](QObject*, quint16 count) {
            order << QString("avail %1").arg(count);
            received += port.GetBlock(count);
        };
    }
    void TearDown() override { qunsetenv("KT4_COM7"); }
    TScriptedDialogsScope dialogs;
    TPtyPair pty;
    QStringList order;  // before the port: its closing event still writes here
    QByteArray received;
    TApdComPort port;
};

}  // namespace

TEST(ComPorts, NumbersMapToLinuxDevices)
{
    EXPECT_EQ(ComDevicePath(1), "/dev/ttyS0");
    EXPECT_EQ(ComDevicePath(16), "/dev/ttyS15");
    EXPECT_EQ(ComDevicePath(17), "/dev/ttyUSB0");
    EXPECT_EQ(ComDevicePath(33), "/dev/ttyACM0");
    EXPECT_EQ(ComDevicePath(48), "/dev/ttyACM15");
    EXPECT_EQ(ComDevicePath(50), "/dev/rfcomm1");
    EXPECT_EQ(ComDevicePath(51), "");
    qputenv("KT4_COM6", "/dev/ttyUSB0");
    EXPECT_EQ(ComDevicePath(6), "/dev/ttyUSB0");
    qunsetenv("KT4_COM6");
    EXPECT_FALSE(IsPortAvailable(0));
}

TEST_F(ComPortOnPty, EventsInOrderAndBytesBothWays)
{
    port.SetBaud(115200);
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    port.PutString(QByteArray("ENQ0\x00\xFF", 6));
    EXPECT_EQ(Hex(pty.Read(6)), "45 4E 51 30 00 FF");
    pty.Write("ACK0");
    ASSERT_TRUE(WaitFor([&] { return received.size() == 4; }));
    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(received, "ACK0");
    ASSERT_GE(order.size(), 3);
    EXPECT_EQ(order.first(), "open");
    EXPECT_EQ(order.last(), "close");
    EXPECT_TRUE(order[1].startsWith("avail"));
    QList<int> errors;
    port.OnError = [&](QObject*, const TErrorInfo& Error) { errors << Error.Code; };
    port.PutString("x");  // to the closed port: told from the event loop
    EXPECT_TRUE(WaitFor([&] { return errors == QList<int>{ecLinkPortWrite}; }));
}

TEST_F(ComPortOnPty, AHeldPortIsStillListed)
{
    port.SetOpen(true);
    EXPECT_TRUE(IsPortAvailable(7));
    EXPECT_TRUE(AvailableComPorts().contains(7));
    qputenv("KT4_COM8", "/dev/kt4-missing");
    EXPECT_FALSE(IsPortAvailable(8));
    qunsetenv("KT4_COM8");
}

TEST_F(ComPortOnPty, TraceIsDumpedInHexadecimal)
{
    QTemporaryDir dir;
    const QString log = dir.filePath("KeskLink.Log");
    port.SetLogName(log);
    port.SetLogging(tlDump);
    EXPECT_EQ(port.Logging(), tlOff) << "only on and off are kept while closed";
    port.SetLogging(tlOn);
    port.SetOpen(true);
    port.PutString("ENQ0");
    pty.Write("ACK0");
    ASSERT_TRUE(WaitFor([&] { return received.size() == 4; }));
    port.SetLogging(tlPause);
    port.PutString("not recorded");
    port.SetLogging(tlDump);
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    ASSERT_EQ(lines.size(), 3);  // two lines, each ended
    const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
    EXPECT_TRUE(stamp.match(QString::fromLatin1(lines[0])).hasMatch()) << lines[0].constData();
    EXPECT_TRUE(lines[0].endsWith(" SND    4 45 4E 51 30")) << lines[0].constData();
    EXPECT_TRUE(lines[1].endsWith(" RCV    4 41 43 4B 30")) << lines[1].constData();

    port.SetLogging(tlAppend);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().count('\n'), 4);
    file.close();
    port.SetLogging(tlClear);
    port.SetLogging(tlDump);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().isEmpty());
}

TEST(TraceLog, KeepsOnlyTheNewestEntries)
{
    TTraceLog log(4);
    log.Start();
    log.AddSent("ABCDEF");
    EXPECT_EQ(log.Count(), 4u);
    EXPECT_TRUE(log.Format(true).endsWith(" SND    4 43 44 45 46\n")) << log.Format(true).constData();
    EXPECT_TRUE(log.Format(false).endsWith(" SND    4 \"CDEF\"\n"));
    log.AddReceived(QByteArray("A\0", 2));  // the oldest text loses its first bytes
    const QList<QByteArray> lines = log.Format(false).split('\n');
    ASSERT_EQ(lines.size(), 3) << log.Format(false).constData();
    EXPECT_TRUE(lines[0].endsWith(" SND    2 \"EF\"")) << lines[0].constData();
    EXPECT_TRUE(lines[1].endsWith(" RCV    2 \"A\\x00\"")) << lines[1].constData();
}

// A text line holds exactly the bytes that travelled, whatever they are.
TEST(TraceLog, TextLinesEscapeWhatIsNotPrintable)
{
    const struct {
        QByteArray Bytes;
        QByteArray Shown;
    } cases[] = {
        {"ENQ1", "\"ENQ1\""},
        {QByteArray("\"\\\x00\x7F\xFF ", 6), "\"\\\"\\\\\\x00\\x7F\\xFF \""},
        {"\r\n", "\"\\x0D\\x0A\""},
    };
    for (const auto& c : cases) {
        const QByteArray line = TraceLine(0, 'R', c.Bytes, false);
        EXPECT_TRUE(line.endsWith(" RCV " + QByteArray::number(c.Bytes.size()).rightJustified(4, ' ') + ' ' + c.Shown))
            << line.constData();
    }
}

TEST(ComPort, MissingDeviceFailsCleanly)
{
    TApdComPort port;
    int opened = 0;
    port.OnPortOpen = [&](QObject*) { ++opened; };
    qputenv("KT4_COM9", "/dev/kt4-no-such-device");
    port.SetComNumber(9);
    try {
        port.SetOpen(true);
        FAIL() << "opening a missing device must fail";
    } catch (const EAPDException& e) {
        EXPECT_TRUE(e.Message().contains("/dev/kt4-no-such-device")) << e.what();
        EXPECT_TRUE(e.Message().contains("COM9")) << e.what();
    }
    qunsetenv("KT4_COM9");
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(opened, 0);
}

// The layer asks nobody for a port: without one the open fails.
TEST(ComPort, PortZeroFailsWithNoPortSelected)
{
    TScriptedDialogsScope dialogs;
    TApdComPort port;
    try {
        port.SetOpen(true);
        FAIL();
    } catch (const EAPDException& e) {
        EXPECT_EQ(e.Code(), ecNoPortSelected);
        EXPECT_EQ(e.Message(), "No serial port selected (error -2011)");
    }
    EXPECT_TRUE(dialogs->Records().isEmpty());
    EXPECT_FALSE(port.Open());
}

// The other end going away closes the port and raises an error that reaches
// the error display.
TEST(ComPort, LostDeviceClosesThePortAndReportsIt)
{
    TScriptedDialogsScope dialogs;
    auto pty = std::make_unique<TPtyPair>();
    TApdComPort port;
    port.SetDevicePath(pty->SlavePath());
    int closed = 0;
    port.OnPortClose = [&](QObject*) { ++closed; };
    port.SetOpen(true);
    pty.reset();  // master and our own slave handle closed: the terminal hangs up
    ASSERT_TRUE(WaitFor([&] { return closed == 1; }));
    EXPECT_FALSE(port.Open());
    ASSERT_TRUE(WaitFor([&] { return !dialogs->Records().isEmpty(); }));
    EXPECT_EQ(dialogs->Records()[0].Type, mtError);
    EXPECT_TRUE(dialogs->Texts()[0].contains("went away")) << dialogs->Texts()[0].toStdString();
}

// A handler that throws (a write error in a reply handler, a gauge range error)
// must not leave the port deaf to everything that follows.
TEST_F(ComPortOnPty, AHandlerThatThrowsLeavesThePortListening)
{
    port.SetOpen(true);
    int calls = 0;
    port.OnTriggerAvail = [this, &calls](QObject*, quint16 count) {
        received += port.GetBlock(count);
        if (++calls == 1)
            throw EKT4Error("the handler failed");
    };
    pty.Write("first");
    ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
    pty.Write("second");
    EXPECT_TRUE(WaitFor([&] { return received.contains("second"); }));
}
