#include "sim/PtyTransport.h"

#include "tests/sim/SimTestSupport.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct OpenPty {
    explicit OpenPty(const QString& link = {}) : transport(link)
    {
        QString error;
        opened = transport.open(&error);
        EXPECT_TRUE(opened) << error.toStdString();
        QObject::connect(&transport, &SimTransport::received,
                         [this](const QByteArray& bytes) { received += bytes; });
        QObject::connect(&transport, &SimTransport::failed, [this] { ++failed; });
        QObject::connect(&transport, &SimTransport::closed, [this] { ++closed; });
    }
    PtyTransport transport;
    bool opened = false;
    QByteArray received;
    int failed = 0;
    int closed = 0;
};

} // namespace

TEST(SimPtyTransportTest, AddressNamesTheSlave)
{
    OpenPty pty;
    EXPECT_TRUE(pty.transport.slavePath().startsWith("/dev/pts/"));
    EXPECT_EQ(pty.transport.address(), "PTY " + pty.transport.slavePath());
    EXPECT_TRUE(QFileInfo::exists(pty.transport.slavePath()));
}

TEST(SimPtyTransportTest, SlaveIsRawWithoutEcho)
{
    OpenPty pty;
    PtyClient client(pty.transport.slavePath());
    ASSERT_TRUE(client.isOpen());
    termios settings{};
    ASSERT_EQ(tcgetattr(client.fd(), &settings), 0);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

TEST(SimPtyTransportTest, BytesTravelBothWaysUnchanged)
{
    OpenPty pty;
    PtyClient client(pty.transport.slavePath());
    QByteArray all;
    for (int i = 0; i < 256; ++i) {
        all += static_cast<char>(i);
    }
    ASSERT_TRUE(client.write(all));
    ASSERT_TRUE(waitFor([&] { return pty.received.size() >= 256; }));
    EXPECT_EQ(pty.received, all);
    pty.transport.send(all);
    EXPECT_EQ(client.read(256), all);
}

TEST(SimPtyTransportTest, UtilityMayCloseAndReopenTheSlave)
{
    OpenPty pty;
    {
        PtyClient first(pty.transport.slavePath());
        ASSERT_TRUE(first.write("ENQ0"));
        ASSERT_TRUE(waitFor([&] { return pty.received == "ENQ0"; }));
    }
    EXPECT_FALSE(waitFor([&] { return pty.failed > 0 || pty.received != "ENQ0"; }, 50));
    PtyClient second(pty.transport.slavePath());
    ASSERT_TRUE(second.write("ENQ1"));
    ASSERT_TRUE(waitFor([&] { return pty.received == "ENQ0ENQ1"; }));
    pty.transport.send("ACK1");
    EXPECT_EQ(second.read(4), "ACK1");
    EXPECT_EQ(pty.failed, 0);
}

TEST(SimPtyTransportTest, LargeAnswersWaitUntilTheUtilityReads)
{
    OpenPty pty;
    PtyClient client(pty.transport.slavePath());
    const QByteArray big(200000, 'x');  // far more than the terminal buffers hold
    pty.transport.send(big);
    QByteArray got;
    ASSERT_TRUE(waitFor([&] {
        got += client.read(big.size() - got.size(), 1);
        return got.size() == big.size();
    }, 10000));
    EXPECT_EQ(got, big);
}

TEST(SimPtyTransportTest, CloseWhenDrainedDeliversTheLastAnswerThenHangsUp)
{
    OpenPty pty;
    PtyClient client(pty.transport.slavePath());
    const QByteArray last("ACK5\x00\x43", 6);
    pty.transport.send(last);
    pty.transport.closeWhenDrained(2000);
    QByteArray got;
    ASSERT_TRUE(waitFor([&] {
        got += client.read(6 - got.size(), 1);
        return pty.closed > 0;
    }));
    EXPECT_EQ(got, last);
    EXPECT_EQ(pty.closed, 1);
    EXPECT_FALSE(pty.transport.isOpen());
    EXPECT_TRUE(client.waitForHangup(1000));
}

TEST(SimPtyTransportTest, LinkPointsAtTheSlaveAndGoesAwayWithIt)
{
    const QString link = scratchDirectory() + "/kt4-head";
    {
        OpenPty pty(link);
        EXPECT_EQ(QFileInfo(link).symLinkTarget(), pty.transport.slavePath());
        PtyClient client(link);
        ASSERT_TRUE(client.write("WHO2"));
        ASSERT_TRUE(waitFor([&] { return pty.received == "WHO2"; }));
    }
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

TEST(SimPtyTransportTest, StaleLinkIsReplacedButAFileIsNot)
{
    const QString dir = scratchDirectory();
    ASSERT_EQ(::symlink("/nonexistent", QFile::encodeName(dir + "/old").constData()), 0);
    {
        OpenPty pty(dir + "/old");
        EXPECT_EQ(QFileInfo(dir + "/old").symLinkTarget(), pty.transport.slavePath());
    }
    QFile file(dir + "/plain");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    PtyTransport transport(dir + "/plain");
    QString error;
    EXPECT_FALSE(transport.open(&error));
    EXPECT_TRUE(error.contains("plain")) << error.toStdString();
    EXPECT_FALSE(transport.isOpen());
    EXPECT_TRUE(QFileInfo(dir + "/plain").isFile());
}
