// Address utilities, packets and the pre-buffer: pure functions, no traffic.
#include "TcpTestSupport.h"

#include "transport/TcpReadPacket.h"
#include "transport/TcpSocketPreBuffer.h"
#include "transport/TcpWritePacket.h"

#include <gtest/gtest.h>

#include <type_traits>

using namespace tcptest;

namespace {

// Counters that only grow never wrap within a connection's life.
static_assert(std::is_same_v<decltype(TcpReadPacket::bytesDone), uint64_t>);
static_assert(std::is_same_v<decltype(TcpWritePacket::bytesDone), uint64_t>);
static_assert(std::is_same_v<std::remove_const_t<decltype(TcpReadPacket::readLength)>, uint64_t>);

QByteArray sockaddr4(const char *ip, uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &sin.sin_addr);
    return QByteArray(reinterpret_cast<const char *>(&sin), sizeof sin);
}

TEST(TcpSocketAddress, HostAndPortFromAddress) {
    const QByteArray a = sockaddr4("192.168.1.20", 19771);
    EXPECT_EQ(TcpSocket::hostFromAddress(a), QString("192.168.1.20"));
    EXPECT_EQ(TcpSocket::portFromAddress(a), 19771);
    EXPECT_TRUE(TcpSocket::isIPv4Address(a));
    EXPECT_TRUE(TcpSocket::hostFromAddress(a.left(15)).isNull());
    EXPECT_EQ(TcpSocket::portFromAddress(a.left(15)), 0);
    EXPECT_TRUE(TcpSocket::hostFromAddress(QByteArray()).isNull());
}

TEST(TcpSocketAddress, LookupNeedsNoResolverForLoopbackNamesAndNumbers) {
    SocketError err;
    const auto local = TcpSocket::lookupHost("localhost", 80, &err);
    ASSERT_EQ(local.size(), 2);
    EXPECT_EQ(TcpSocket::hostFromAddress(local[0]), QString("127.0.0.1"));
    EXPECT_EQ(TcpSocket::hostFromAddress(local[1]), QString("::1"));
    EXPECT_EQ(TcpSocket::portFromAddress(local[1]), 80);
    const auto numeric = TcpSocket::lookupHost("198.18.0.7", 19880, &err);
    ASSERT_EQ(numeric.size(), 1);
    EXPECT_EQ(TcpSocket::hostFromAddress(numeric[0]), QString("198.18.0.7"));
    EXPECT_EQ(TcpSocket::portFromAddress(numeric[0]), 19880);
}

struct InterfaceCase {
    const char *description;
    uint16_t port;
    const char *host4;
    uint16_t expectedPort;
};

class InterfaceDescriptions : public ::testing::TestWithParam<InterfaceCase> {};

TEST_P(InterfaceDescriptions, GiveAddressAndPort) {
    const auto &c = GetParam();
    QByteArray a4, a6;
    TcpSocket::getInterfaceAddress(&a4, &a6, c.description, c.port);
    EXPECT_EQ(TcpSocket::hostFromAddress(a4), QString(c.host4));
    EXPECT_EQ(TcpSocket::portFromAddress(a4), c.expectedPort);
}

INSTANTIATE_TEST_SUITE_P(Table, InterfaceDescriptions,
                         ::testing::Values(InterfaceCase{"", 19771, "0.0.0.0", 19771},
                                           InterfaceCase{"loopback", 5, "127.0.0.1", 5},
                                           InterfaceCase{"lo:8080", 0, "127.0.0.1", 8080},
                                           InterfaceCase{"lo:8080", 7, "127.0.0.1", 7},
                                           InterfaceCase{"lo:70000", 0, "127.0.0.1", 0},
                                           InterfaceCase{"lo:0", 0, "127.0.0.1", 0},
                                           InterfaceCase{"127.0.0.1", 9, "127.0.0.1", 9}));

TEST(TcpSocketAddress, UnknownInterfaceGivesNothing) {
    QByteArray a4 = "x", a6 = "y";
    TcpSocket::getInterfaceAddress(&a4, &a6, "no-such-if0", 1);
    EXPECT_TRUE(a4.isEmpty());
    EXPECT_TRUE(a6.isEmpty());
}

TEST(TcpReadPacket, TerminatorSearchOverPacketTailAndPreBuffer) {
    // "ab\r" already in the packet, "\nxy" pre-buffered: the terminator straddles both.
    TcpReadPacket p(nullptr, 0, 0, -1, 0, "\r\n", 1);
    p.ensureCapacityForAdditionalDataOfLength(3);
    std::memcpy(p.writePointer(), "ab\r", 3);
    p.bytesDone = 3;
    TcpSocketPreBuffer pre(4);
    pre.ensureCapacityForWrite(3);
    std::memcpy(pre.writeBuffer(), "\nxy", 3);
    pre.didWrite(3);
    bool found = false;
    EXPECT_EQ(p.readLengthForTermWithPreBuffer(pre, &found), 1u);
    EXPECT_TRUE(found);

    // With a bound, the search never looks past maxLength.
    TcpReadPacket bounded(nullptr, 0, 3, -1, 0, "\r\n", 2);
    TcpSocketPreBuffer pre2(8);
    std::memcpy(pre2.writeBuffer(), "abc\r\n", 5);
    pre2.didWrite(5);
    EXPECT_EQ(bounded.readLengthForTermWithPreBuffer(pre2, &found), 3u);
    EXPECT_FALSE(found);
}

TEST(TcpReadPacket, SearchAfterReadingReportsOverflow) {
    TcpReadPacket p(nullptr, 0, 0, -1, 0, "\r\n", 1);
    p.ensureCapacityForAdditionalDataOfLength(8);
    std::memcpy(p.writePointer(), "ab\r", 3);
    EXPECT_EQ(p.searchForTermAfterPreBuffering(3), -1);
    p.bytesDone = 3;
    std::memcpy(p.writePointer(), "\ncd", 3);
    EXPECT_EQ(p.searchForTermAfterPreBuffering(3), 2); // "cd" beyond the terminator
}

TEST(TcpSocketPreBuffer, GrowsKeepsPositionsAndRewindsWhenDrained) {
    TcpSocketPreBuffer b(4);
    std::memcpy(b.writeBuffer(), "abcd", 4);
    b.didWrite(4);
    b.didRead(1);
    b.ensureCapacityForWrite(10);
    EXPECT_GE(b.availableSpace(), 10u);
    EXPECT_EQ(QByteArray(b.readBuffer(), qsizetype(b.availableBytes())), QByteArray("bcd"));
    b.didRead(3);
    EXPECT_EQ(b.availableBytes(), 0u);
    EXPECT_EQ(b.availableSpace(), 14u);
}

} // namespace
