// Socket error texts, the Linux error numbers behind them, and addresses.

#include "net/WSocketAddress.h"
#include "net/WSocketErrors.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <netdb.h>

TEST(WSocketErrorTextTest, KnownCodesHaveTheirTexts)
{
    EXPECT_EQ(WSocketErrorDesc(0), "No Error");
    EXPECT_EQ(WSocketErrorDesc(10040), "Message too long");
    EXPECT_EQ(WSocketErrorDesc(10054), "Connection reset by peer");
    EXPECT_EQ(WSocketErrorDesc(10057), "Socket is not connected");
    EXPECT_EQ(WSocketErrorDesc(10061), "Connection refused");
    EXPECT_EQ(WSocketErrorDesc(11004), "No Data");
}

TEST(WSocketErrorTextTest, OtherCodesAreNotWinSockErrors)
{
    EXPECT_EQ(WSocketErrorDesc(1), "Not a WinSock error");
    EXPECT_EQ(WSocketErrorDesc(10072), "Not a WinSock error");
    EXPECT_EQ(WSocketErrorDesc(-1), "Not a WinSock error");
}

TEST(WSocketErrorTextTest, LinuxErrorNumbersMapOntoTheCodes)
{
    EXPECT_EQ(WSocketErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WSocketErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(WSocketErrorFromErrno(EPIPE), 10054);
    EXPECT_EQ(WSocketErrorFromErrno(EMSGSIZE), 10040);
    EXPECT_EQ(WSocketErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WSocketErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WSocketErrorFromResolver(EAI_NONAME, 0), 11001);
    EXPECT_EQ(WSocketErrorFromResolver(EAI_SERVICE, 0), 10022);
}


TEST(WSocketErrorTextTest, NumericAddressesAndDecimalPortsOnly)
{
    sockaddr_in address{};
    ASSERT_EQ(NumericIPv4("127.0.0.1", "6459", address), 0);
    EXPECT_EQ(DottedDecimal(address), "127.0.0.1");
    EXPECT_EQ(PortOf(address), 6459);
    EXPECT_EQ(NumericIPv4("", "6459", address), 11001);
    EXPECT_EQ(NumericIPv4("localhost", "6459", address), 11001);  // names are the socket's to look up
    EXPECT_EQ(NumericIPv4("127.0.0.1", "", address), 10022);
    quint16 port = 1;
    EXPECT_TRUE(ParsePort(" 65535 ", port));
    EXPECT_EQ(port, 65535);
    EXPECT_TRUE(ParsePort("0", port));
    EXPECT_EQ(port, 0);
    for (const char* bad : {"65536", "70000", "123456", "ftp", "0x10", "", "-5"})
        EXPECT_FALSE(ParsePort(bad, port)) << bad;
}
