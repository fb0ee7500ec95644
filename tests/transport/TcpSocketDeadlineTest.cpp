// The callbacks a delegate declares, and the one deadline that times a socket's connect, read
// and write, against raw POSIX peers on 127.0.0.1.
#include "TcpTestSupport.h"

#include "platform/dispatch/Queue.h"

#include <gtest/gtest.h>

using namespace tcptest;

namespace {

// Overrides read, write, connect and both time-out questions, but says it implements only what
// `declared` holds: the socket must go by what it says.
class Declaring : public Recorder {
public:
    explicit Declaring(uint32_t declared) : declared_(declared) {}
    uint32_t implementedCallbacks() const override { return declared_; }

private:
    uint32_t declared_;
};

class OnlyReadsAndCloses : public TcpSocketDelegate {
public:
    void socketDidReadData(const std::shared_ptr<TcpSocket> &, const QByteArray &, long) override {}
    void socketDidDisconnect(const std::shared_ptr<TcpSocket> &, const SocketError &) override {}
};

class ThroughAnIntermediate : public OnlyReadsAndCloses {
public:
    void socketDidSecure(const std::shared_ptr<TcpSocket> &) override {}
};

TEST(TcpSocketDelegateCallbacks, FoundFromTheOverridesOfTheClassAndItsBases) {
    using D = TcpSocketDelegate;
    EXPECT_EQ(D::callbacksImplementedBy<OnlyReadsAndCloses>(), uint32_t(D::DidReadData | D::DidDisconnect));
    EXPECT_EQ(D::callbacksImplementedBy<ThroughAnIntermediate>(),
              uint32_t(D::DidReadData | D::DidDisconnect | D::DidSecure));
    EXPECT_EQ(D::callbacksImplementedBy<D>(), 0u);
    // A delegate that declares nothing gets every callback, as before the declaration existed.
    EXPECT_EQ(OnlyReadsAndCloses().implementedCallbacks(), uint32_t(D::AllCallbacks));
}

struct CallbackCase {
    const char *name;
    uint32_t declared;
    double readTimeout; // for a read the peer never answers (negative: none, the peer answers)
    QStringList expected;
};

class DeclaredCallbacks : public ::testing::TestWithParam<CallbackCase> {};

TEST_P(DeclaredCallbacks, AreTheOnlyOnesPosted) {
    const CallbackCase &c = GetParam();
    auto rec = std::make_shared<Declaring>(c.declared);
    rec->readTimeoutAnswer = [](long, double) { return 0.0; };
    auto sock = TcpSocket::create(rec, dispatch::Queue::main());
    RawServer server;
    SocketError err;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
    ASSERT_TRUE(server.accept());
    sock->writeData("ping\r\n", 5, 1);
    sock->readDataToData(TcpSocket::CRLFData(), c.readTimeout, 2);
    if (c.readTimeout < 0) {
        server.send("pong\r\n");
        // The peer's line is there once the peer has read ours; then it closes.
        char buf[6];
        ASSERT_EQ(::recv(server.peer(), buf, sizeof buf, MSG_WAITALL), 6);
        server.closePeer();
    }
    ASSERT_TRUE(waitUntil([&] { return sock->isDisconnected(); }));
    // What could still come is on the main queue by now.
    spinFor(50);
    EXPECT_EQ(rec->events, c.expected);
}

using D = TcpSocketDelegate;
INSTANTIATE_TEST_SUITE_P(
    Table, DeclaredCallbacks,
    ::testing::Values(
        CallbackCase{
            "All",
            D::AllCallbacks,
            -1,
            {"connect:127.0.0.1", "write:1", "read:2:pong%0D%0A", "disconnect:TcpSocketErrorDomain:7"}},
        CallbackCase{"AsTheMessagingServer",
                     D::DidAcceptNewSocket | D::DidReadData | D::DidWriteData | D::DidDisconnect,
                     -1,
                     {"write:1", "read:2:pong%0D%0A", "disconnect:TcpSocketErrorDomain:7"}},
        CallbackCase{"ReadsOnly", D::DidReadData, -1, {"read:2:pong%0D%0A"}},
        // A time-out nobody is asked about closes at once.
        CallbackCase{"TimeoutAsked",
                     D::ShouldTimeoutRead | D::DidDisconnect,
                     0.2,
                     {"readTimeout:2:0.2", "disconnect:TcpSocketErrorDomain:4"}},
        CallbackCase{"TimeoutNotAsked", D::DidDisconnect, 0.2, {"disconnect:TcpSocketErrorDomain:4"}}),
    [](const ::testing::TestParamInfo<CallbackCase> &info) { return std::string(info.param.name); });

struct DeadlineCase {
    const char *name;
    double longRead; // a read the peer answers first, timed generously (negative: none)
    double readTimeout;
    double writeTimeout; // of a write the peer never takes (negative: no such write)
    QString ending;      // the error that closes the socket
};

class OneDeadline : public ::testing::TestWithParam<DeadlineCase> {};

// Connect, read and write share one timer per socket: whichever request is due first ends the
// socket, also when the timer was armed for a later time before.
TEST_P(OneDeadline, TheEarliestRequestTimesOut) {
    const DeadlineCase &c = GetParam();
    auto rec = std::make_shared<Recorder>();
    auto sock = TcpSocket::create(rec, dispatch::Queue::main());
    RawServer server;
    SocketError err;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 60, &err));
    ASSERT_TRUE(server.accept());
    if (c.longRead >= 0) {
        sock->readDataToData(TcpSocket::CRLFData(), c.longRead, 1);
        server.send("first\r\n");
        ASSERT_TRUE(waitUntil([&] { return !rec->reads.empty(); }));
    }
    // The peer never reads: the kernel's buffers fill and the write cannot finish.
    if (c.writeTimeout >= 0) sock->writeData(QByteArray(64 * 1024 * 1024, 'w'), c.writeTimeout, 7);
    sock->readDataToData(TcpSocket::CRLFData(), c.readTimeout, 2);
    ASSERT_TRUE(rec->waitDisconnect(10000));
    EXPECT_EQ(rec->events.last(), c.ending);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OneDeadline,
    ::testing::Values(
        DeadlineCase{"ReadBeforeTheConnectDeadline", -1, 0.2, -1, "disconnect:TcpSocketErrorDomain:4"},
        DeadlineCase{"ReadAfterALongerRead", 60, 0.2, -1, "disconnect:TcpSocketErrorDomain:4"},
        DeadlineCase{"ReadBeforeWrite", -1, 0.2, 60, "disconnect:TcpSocketErrorDomain:4"},
        DeadlineCase{"WriteBeforeRead", -1, 60, 0.2, "disconnect:TcpSocketErrorDomain:5"},
        // Too long for the clock to count: no time-out at all, never one at once.
        DeadlineCase{"EnormousReadTimeoutIsNone", -1, 1e300, 0.2, "disconnect:TcpSocketErrorDomain:5"}),
    [](const ::testing::TestParamInfo<DeadlineCase> &info) { return std::string(info.param.name); });

// The peer's address stays readable from any thread while connected, and is gone after the close.
TEST(TcpSocketGetters, PeerIsKnownOffTheSocketQueueUntilTheClose) {
    auto rec = std::make_shared<Recorder>();
    auto sock = TcpSocket::create(rec, dispatch::Queue::main());
    RawServer server;
    EXPECT_EQ(sock->connectedHost(), QString());
    SocketError err;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
    ASSERT_TRUE(server.accept());
    ASSERT_TRUE(waitUntil([&] { return sock->isConnected(); }));
    EXPECT_EQ(sock->connectedHost(), QString("127.0.0.1"));
    EXPECT_EQ(sock->connectedPort(), server.port());
    EXPECT_EQ(TcpSocket::portFromAddress(sock->connectedAddress()), server.port());
    server.closePeer();
    ASSERT_TRUE(rec->waitDisconnect());
    EXPECT_EQ(sock->connectedHost(), QString());
    EXPECT_EQ(sock->connectedPort(), 0);
    EXPECT_TRUE(sock->connectedAddress().isEmpty());
}

} // namespace
