// UdpSocket against raw POSIX peers on 127.0.0.1.
#include "transport/UdpSocket.h"

#include "platform/dispatch/IoRuntime.h"
#include "support/EventLoopWait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <mutex>

#include <array>
#include <functional>
#include <atomic>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

struct Event {
    QString kind; // "sent", "notsent", "recv", "close", "connect", "noconnect"
    long tag = 0;
    QByteArray data;
    QByteArray address;
    SocketError error;
    std::shared_ptr<void> context;
};

class Recorder : public UdpSocketDelegate {
public:
    std::vector<Event> events;

    void udpSocketDidSendDataWithTag(const std::shared_ptr<UdpSocket> &, long tag) override {
        events.push_back({"sent", tag, {}, {}, {}, {}});
    }
    void udpSocketDidNotSendDataWithTag(const std::shared_ptr<UdpSocket> &, long tag,
                                        const SocketError &err) override {
        events.push_back({"notsent", tag, {}, {}, err, {}});
    }
    void udpSocketDidReceiveData(const std::shared_ptr<UdpSocket> &, QByteArray data, QByteArray from,
                                 std::shared_ptr<void> context) override {
        events.push_back({"recv", 0, data, from, {}, context});
    }
    void udpSocketDidClose(const std::shared_ptr<UdpSocket> &, const SocketError &err) override {
        events.push_back({"close", 0, {}, {}, err, {}});
    }
    void udpSocketDidConnectToAddress(const std::shared_ptr<UdpSocket> &, QByteArray address) override {
        events.push_back({"connect", 0, {}, address, {}, {}});
    }
    void udpSocketDidNotConnect(const std::shared_ptr<UdpSocket> &, const SocketError &err) override {
        events.push_back({"noconnect", 0, {}, {}, err, {}});
    }

    int count(const QString &kind) const {
        return int(
            std::count_if(events.begin(), events.end(), [&](const Event &e) { return e.kind == kind; }));
    }
    std::vector<Event> of(const QString &kind) const {
        std::vector<Event> out;
        for (const auto &e : events)
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    // "kind:tag" of every event in order, space-separated.
    std::string kinds() const {
        QStringList out;
        for (const auto &e : events) out << e.kind + ":" + QString::number(e.tag);
        return out.join(' ').toStdString();
    }
};

QByteArray loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return QByteArray(reinterpret_cast<const char *>(&sa), sizeof sa);
}

// A plain blocking datagram socket on 127.0.0.1 with an ephemeral port.
class RawPeer {
public:
    RawPeer() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const QByteArray a = loopback(0);
        ::bind(fd_, reinterpret_cast<const sockaddr *>(a.constData()), socklen_t(a.size()));
        int big = 4 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~RawPeer() { ::close(fd_); }
    uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    ssize_t sendTo(uint16_t port, const QByteArray &data) const {
        const QByteArray a = loopback(port);
        return ::sendto(fd_, data.constData(), size_t(data.size()), 0,
                        reinterpret_cast<const sockaddr *>(a.constData()), socklen_t(a.size()));
    }
    // The next datagram within the bound, or nullopt.
    std::optional<QByteArray> receive(int timeoutMs = 3000) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        QByteArray buffer(70000, Qt::Uninitialized);
        const ssize_t n = ::recv(fd_, buffer.data(), size_t(buffer.size()), 0);
        if (n < 0) return std::nullopt;
        buffer.resize(int(n));
        return buffer;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

class UdpSocketTest : public ::testing::Test {
protected:
    void TearDown() override { UdpSocket::setLookupFunction({}); }

    std::shared_ptr<UdpSocket> makeSocket() { return UdpSocket::create(recorder, dispatch::Queue::main()); }

    // A socket bound to 127.0.0.1 on an ephemeral port, receiving continuously.
    std::shared_ptr<UdpSocket> makeReceiver() {
        auto sock = makeSocket();
        sock->setIPv6Enabled(false);
        SocketError err;
        EXPECT_TRUE(sock->bindToPort(0, QStringLiteral("127.0.0.1"), &err))
            << err.localizedDescription().toStdString();
        EXPECT_TRUE(sock->beginReceiving(&err)) << err.localizedDescription().toStdString();
        EXPECT_NE(sock->localPort(), 0);
        return sock;
    }

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST_F(UdpSocketTest, AddressHelpersReadBothFamiliesAndRejectShortData) {
    sockaddr_in6 sa6{};
    sa6.sin6_family = AF_INET6;
    sa6.sin6_port = htons(19771);
    sa6.sin6_addr = in6addr_loopback;
    const QByteArray six(reinterpret_cast<const char *>(&sa6), sizeof sa6);
    struct Case {
        QByteArray address;
        QString host;
        uint16_t port;
        int family;
    } cases[] = {
        {loopback(19771), "127.0.0.1", 19771, AF_INET},
        {six, "::1", 19771, AF_INET6},
        {loopback(5).left(15), QString(), 0, 0},
        {six.left(20), QString(), 0, 0}, // an IPv6 family needs the whole structure
        {QByteArray(), QString(), 0, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(UdpSocket::hostFromAddress(c.address), c.host);
        EXPECT_EQ(UdpSocket::hostFromAddress(c.address).isNull(), c.host.isNull());
        EXPECT_EQ(UdpSocket::portFromAddress(c.address), c.port);
        EXPECT_EQ(UdpSocket::familyFromAddress(c.address), c.family);
    }
}

TEST_F(UdpSocketTest, LifecycleOfCloseAndReceiveChecks) {
    auto sock = makeSocket();
    sock->setIPv6Enabled(false);
    EXPECT_TRUE(sock->isClosed());
    SocketError err;
    EXPECT_FALSE(sock->beginReceiving(&err));
    EXPECT_EQ(err.code(), UdpSocket::BadConfigError);
    EXPECT_EQ(
        err.localizedDescription(),
        "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly "
        "via connect or by sending data.");
    sock->close(); // never opened: silent
    ASSERT_TRUE(sock->enableReusePort(true, &err));
    EXPECT_FALSE(sock->isClosed());
    EXPECT_TRUE(sock->beginReceiving(&err)); // sockets exist, no bind needed
    EXPECT_TRUE(sock->isIPv4());
    EXPECT_FALSE(sock->isIPv6());
    sock->close();
    EXPECT_TRUE(sock->isClosed());
    ASSERT_TRUE(waitUntil([&] { return recorder->count("close") == 1; }));
    spinFor(50);
    ASSERT_EQ(recorder->events.size(), 1u);
    EXPECT_TRUE(recorder->events[0].error.isNull());
}

TEST_F(UdpSocketTest, ConfigurationErrorsCarryTheirTexts) {
    struct Case {
        const char *name;
        std::function<bool(UdpSocket &, SocketError *)> op;
        int code;
        QString text;
    } cases[] = {
        {"second bind",
         [](UdpSocket &s, SocketError *e) {
             s.setIPv6Enabled(false);
             return s.bindToPort(0, QStringLiteral("127.0.0.1"), e) && s.bindToPort(0, e);
         },
         UdpSocket::BadConfigError, "Cannot bind a socket more than once."},
        {"bind with both families off",
         [](UdpSocket &s, SocketError *e) {
             s.setIPv4Enabled(false);
             s.setIPv6Enabled(false);
             return s.bindToPort(0, e);
         },
         UdpSocket::BadConfigError,
         "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"reuse port with both families off",
         [](UdpSocket &s, SocketError *e) {
             s.setIPv4Enabled(false);
             s.setIPv6Enabled(false);
             return s.enableReusePort(true, e);
         },
         UdpSocket::BadConfigError,
         "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"unknown interface",
         [](UdpSocket &s, SocketError *e) { return s.bindToPort(0, QStringLiteral("no-such-if0"), e); },
         UdpSocket::BadParamError,
         "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"IPv6 off, IPv6 interface",
         [](UdpSocket &s, SocketError *e) {
             s.setIPv6Enabled(false);
             return s.bindToPort(0, QStringLiteral("::1"), e);
         },
         UdpSocket::BadParamError, "IPv6 has been disabled and specified interface doesn't support IPv4."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto sock = makeSocket();
        SocketError err;
        EXPECT_FALSE(c.op(*sock, &err));
        EXPECT_EQ(err.domain(), "UdpSocketErrorDomain");
        EXPECT_EQ(err.code(), c.code);
        EXPECT_EQ(err.localizedDescription(), c.text);
    }
    // Without a delegate nothing opens.
    auto orphan = UdpSocket::create(std::weak_ptr<UdpSocketDelegate>(), dispatch::Queue::main());
    SocketError err;
    EXPECT_FALSE(orphan->enableBroadcast(true, &err));
    EXPECT_EQ(err.localizedDescription(),
              "Attempting to use socket without a delegate. Set a delegate first.");
    EXPECT_TRUE(orphan->isClosed());
}

TEST_F(UdpSocketTest, BurstArrivesInOrderWithTheSendersAddress) {
    auto sock = makeReceiver();
    RawPeer peer;
    for (int i = 0; i < 100; ++i)
        ASSERT_GT(peer.sendTo(sock->localPort(), "datagram " + QByteArray::number(i)), 0);
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 100; })) << recorder->count("recv");
    const auto got = recorder->of("recv");
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(got[i].data, "datagram " + QByteArray::number(i));
        EXPECT_EQ(UdpSocket::hostFromAddress(got[i].address), "127.0.0.1");
        EXPECT_EQ(UdpSocket::portFromAddress(got[i].address), peer.port());
        EXPECT_EQ(got[i].context, nullptr);
    }
    EXPECT_EQ(recorder->count("close"), 0);
}

TEST_F(UdpSocketTest, EmptyDatagramIsDroppedAndReceivingGoesOn) {
    auto sock = makeReceiver();
    RawPeer peer;
    ASSERT_EQ(peer.sendTo(sock->localPort(), QByteArray()), 0);
    spinFor(100);
    ASSERT_EQ(peer.sendTo(sock->localPort(), QByteArray()), 0);
    ASSERT_GT(peer.sendTo(sock->localPort(), "after"), 0);
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 1; }));
    spinFor(50);
    ASSERT_EQ(recorder->events.size(), 1u) << recorder->kinds();
    EXPECT_EQ(recorder->events[0].data, "after");
    EXPECT_FALSE(sock->isClosed());
}

TEST_F(UdpSocketTest, MaxReceiveSizeCutsLongDatagrams) {
    auto sock = makeReceiver();
    sock->setMax4ReceiveSize(100);
    RawPeer peer;
    QByteArray payload(300, '\0');
    for (int i = 0; i < payload.size(); ++i) payload[i] = char(i);
    ASSERT_GT(peer.sendTo(sock->localPort(), payload), 0);
    ASSERT_GT(peer.sendTo(sock->localPort(), "short"), 0);
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 2; }));
    EXPECT_EQ(recorder->events[0].data, payload.left(100));
    EXPECT_EQ(recorder->events[1].data, "short");
}

TEST_F(UdpSocketTest, NumericAndLoopbackHostsNeedNoLookup) {
    std::atomic<int> lookups{0};
    UdpSocket::setLookupFunction([&](const QString &host, uint16_t port) {
        ++lookups;
        return UdpSocket::systemLookup(host, port);
    });
    RawPeer peer;
    auto sock = makeSocket();
    sock->sendData("one", QStringLiteral("localhost"), peer.port(), -1, 1);
    sock->sendData("two", QStringLiteral("127.0.0.1"), peer.port(), -1, 2);
    sock->sendData(QByteArray(), QStringLiteral("127.0.0.1"), peer.port(), -1, 3); // ignored
    EXPECT_EQ(peer.receive(), QByteArray("one"));
    EXPECT_EQ(peer.receive(), QByteArray("two"));
    ASSERT_TRUE(waitUntil([&] { return recorder->count("sent") == 2; }));
    spinFor(50);
    EXPECT_EQ(recorder->kinds(), "sent:1 sent:2");
    EXPECT_EQ(lookups.load(), 0);
}

TEST_F(UdpSocketTest, DisabledFamilyGivesAddressChoiceError) {
    auto sock = makeSocket();
    sock->setIPv6Enabled(false);
    RawPeer peer;
    sock->sendData("v6", QStringLiteral("::1"), 19771, -1, 7);
    sock->sendData("v4", QStringLiteral("127.0.0.1"), peer.port(), -1, 8);
    ASSERT_TRUE(waitUntil([&] { return recorder->events.size() == 2; }));
    EXPECT_EQ(recorder->kinds(), "notsent:7 sent:8");
    EXPECT_EQ(recorder->events[0].error.code(), UdpSocket::OtherError);
    EXPECT_EQ(recorder->events[0].error.localizedDescription(),
              "IPv6 has been disabled and DNS lookup found no IPv4 address(es).");
    EXPECT_EQ(peer.receive(), QByteArray("v4"));
}

TEST_F(UdpSocketTest, QueueOrderHoldsWhenAnEarlierLookupIsSlowest) {
    std::atomic<bool> offIoThread{true};
    UdpSocket::setLookupFunction([&](const QString &host, uint16_t port) {
        if (dispatch::IoRuntime::onIoThread()) offIoThread = false;
        if (host == "slow.test") std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::pair<QList<QByteArray>, SocketError> result;
        result.first = {loopback(port)};
        return result;
    });
    RawPeer peer;
    auto sock = makeSocket();
    sock->sendData("first", QStringLiteral("slow.test"), peer.port(), -1, 1);
    sock->sendData("second", QStringLiteral("fast.test"), peer.port(), -1, 2);
    sock->sendData("third", QStringLiteral("127.0.0.1"), peer.port(), -1, 3);
    EXPECT_EQ(peer.receive(), QByteArray("first"));
    EXPECT_EQ(peer.receive(), QByteArray("second"));
    EXPECT_EQ(peer.receive(), QByteArray("third"));
    ASSERT_TRUE(waitUntil([&] { return recorder->events.size() == 3; }));
    EXPECT_EQ(recorder->kinds(), "sent:1 sent:2 sent:3");
    EXPECT_TRUE(offIoThread.load());
}

TEST_F(UdpSocketTest, FailedLookupCostsOnlyItsDatagram) {
    UdpSocket::setLookupFunction([](const QString &host, uint16_t port) {
        std::pair<QList<QByteArray>, SocketError> result;
        if (host == "nowhere.test")
            result.second =
                SocketError(UdpSocket::kResolverErrorDomain, EAI_NONAME, "Name or service not known");
        else
            result.first = {loopback(port)};
        return result;
    });
    RawPeer peer;
    auto sock = makeSocket();
    sock->sendData("lost", QStringLiteral("nowhere.test"), peer.port(), -1, 1);
    sock->sendData("kept", QStringLiteral("peer.test"), peer.port(), -1, 2);
    sock->sendData("nohost", QString(), peer.port(), -1, 3);
    EXPECT_EQ(peer.receive(), QByteArray("kept"));
    ASSERT_TRUE(waitUntil([&] { return recorder->events.size() == 3; }));
    EXPECT_EQ(recorder->kinds(), "notsent:1 sent:2 notsent:3");
    EXPECT_EQ(recorder->events[0].error.domain(), "kCFStreamErrorDomainNetDB");
    EXPECT_EQ(recorder->events[0].error.code(), EAI_NONAME);
    EXPECT_EQ(recorder->events[2].error.code(), UdpSocket::BadParamError);
    EXPECT_EQ(recorder->events[2].error.localizedDescription(),
              "The host param is nil. Should be domain name or IP address string.");
}

TEST_F(UdpSocketTest, RefusedTargetMidQueueDoesNotStopTheRest) {
    struct Case {
        const char *name;
        QByteArray payload;
        bool portZero;
        int errnoCode;
    } cases[] = {
        {"no port", "to port 0", true, EINVAL},
        {"too long for the system", QByteArray(65600, 'x'), false, EMSGSIZE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        recorder->events.clear();
        RawPeer peer;
        auto sock = makeSocket();
        sock->setIPv6Enabled(false);
        sock->sendData("before", QStringLiteral("127.0.0.1"), peer.port(), -1, 1);
        sock->sendData(c.payload, QStringLiteral("127.0.0.1"), c.portZero ? 0 : peer.port(), -1, 2);
        sock->sendData("after", QStringLiteral("127.0.0.1"), peer.port(), -1, 3);
        EXPECT_EQ(peer.receive(), QByteArray("before"));
        EXPECT_EQ(peer.receive(), QByteArray("after"));
        ASSERT_TRUE(waitUntil([&] { return recorder->events.size() == 3; }));
        spinFor(30);
        EXPECT_EQ(recorder->kinds(), "sent:1 notsent:2 sent:3");
        const SocketError &err = recorder->events[1].error;
        EXPECT_EQ(err.domain(), "POSIXErrorDomain");
        EXPECT_EQ(err.code(), c.errnoCode);
        EXPECT_EQ(err.userInfo().value(UdpSocket::kFailureReasonKey).toString(), "Error in send() function.");
        EXPECT_FALSE(sock->isClosed());
    }
}

TEST_F(UdpSocketTest, CloseAfterSendingFlushesThenClosesAndTheObjectWorksAgain) {
    // "b" waits for a slow lookup, so the queue is still busy when the close is asked for and
    // when "c" arrives.
    UdpSocket::setLookupFunction([](const QString &, uint16_t port) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::pair<QList<QByteArray>, SocketError> result;
        result.first = {loopback(port)};
        return result;
    });
    RawPeer peer;
    auto sock = makeSocket();
    sock->setIPv6Enabled(false);
    ASSERT_TRUE(sock->enableBroadcast(true));
    sock->sendData("a", QStringLiteral("127.0.0.1"), peer.port(), -1, 1);
    sock->sendData("b", QStringLiteral("slow.test"), peer.port(), -1, 2);
    sock->closeAfterSending();
    sock->sendData("c", QStringLiteral("127.0.0.1"), peer.port(), -1, 3);
    for (const char *want : {"a", "b", "c"}) EXPECT_EQ(peer.receive(), QByteArray(want));
    ASSERT_TRUE(waitUntil([&] { return recorder->count("close") == 1; }));
    spinFor(30);
    EXPECT_EQ(recorder->kinds(), "sent:1 sent:2 sent:3 close:0");
    EXPECT_TRUE(recorder->events.back().error.isNull());
    EXPECT_TRUE(sock->isClosed());

    // Reopened by the next configuration call, with the configuration kept (IPv6 stays off).
    recorder->events.clear();
    ASSERT_TRUE(sock->enableBroadcast(true));
    EXPECT_FALSE(sock->isIPv6());
    sock->sendData("again", QStringLiteral("127.0.0.1"), peer.port(), -1, 4);
    EXPECT_EQ(peer.receive(), QByteArray("again"));
    ASSERT_TRUE(waitUntil([&] { return recorder->count("sent") == 1; }));
    sock->close();
    ASSERT_TRUE(waitUntil([&] { return recorder->count("close") == 1; }));
    EXPECT_EQ(recorder->kinds(), "sent:4 close:0");
}

TEST_F(UdpSocketTest, ReusePortLetsTwoSocketsBindOnePort) {
    auto first = makeSocket();
    first->setIPv6Enabled(false);
    ASSERT_TRUE(first->enableReusePort(true));
    ASSERT_TRUE(first->bindToPort(0, QStringLiteral("127.0.0.1")));
    const uint16_t port = first->localPort();
    ASSERT_NE(port, 0);

    auto second = makeSocket();
    second->setIPv6Enabled(false);
    ASSERT_TRUE(second->enableReusePort(true));
    SocketError err;
    EXPECT_TRUE(second->bindToPort(port, QStringLiteral("127.0.0.1"), &err))
        << err.localizedDescription().toStdString();
    EXPECT_EQ(second->localPort(), port);

    RawPeer holder; // a socket without any reuse option holds its port alone
    auto third = makeSocket();
    third->setIPv6Enabled(false);
    ASSERT_TRUE(third->enableReusePort(true));
    EXPECT_FALSE(third->bindToPort(holder.port(), QStringLiteral("127.0.0.1"), &err));
    EXPECT_EQ(err.domain(), "POSIXErrorDomain");
    EXPECT_EQ(err.code(), EADDRINUSE);
    EXPECT_EQ(err.userInfo().value(UdpSocket::kFailureReasonKey).toString(), "Error in bind() function");
    EXPECT_TRUE(third->isClosed());
}

TEST_F(UdpSocketTest, FiltersDecideAndPassTheirContext) {
    auto sock = makeReceiver();
    auto filterQueue = dispatch::Queue::create("filter");
    for (bool async : {false, true}) {
        SCOPED_TRACE(async ? "async" : "sync");
        recorder->events.clear();
        sock->setReceiveFilter(
            [](const QByteArray &data, const QByteArray &, std::shared_ptr<void> *context) {
                *context = std::make_shared<int>(int(data.size()));
                return !data.startsWith("drop");
            },
            filterQueue, async);
        RawPeer peer;
        for (const char *d : {"keep1", "drop", "keep22"}) peer.sendTo(sock->localPort(), d);
        ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 2; }));
        spinFor(30);
        ASSERT_EQ(recorder->events.size(), 2u);
        EXPECT_EQ(recorder->events[0].data, "keep1");
        EXPECT_EQ(*std::static_pointer_cast<int>(recorder->events[0].context), 5);
        EXPECT_EQ(recorder->events[1].data, "keep22");
    }

    // A send filter that says no: reported sent, nothing on the wire.
    recorder->events.clear();
    RawPeer peer;
    auto sender = makeSocket();
    sender->setSendFilter([](const QByteArray &data, const QByteArray &, long) { return data != "secret"; },
                          filterQueue, false);
    sender->sendData("secret", QStringLiteral("127.0.0.1"), peer.port(), -1, 1);
    sender->sendData("public", QStringLiteral("127.0.0.1"), peer.port(), -1, 2);
    EXPECT_EQ(peer.receive(), QByteArray("public"));
    ASSERT_TRUE(waitUntil([&] { return recorder->count("sent") == 2; }));
    EXPECT_EQ(recorder->kinds(), "sent:1 sent:2");
}

TEST_F(UdpSocketTest, ReceiveOnceTakesOneDatagramAtATime) {
    auto sock = makeSocket();
    sock->setIPv6Enabled(false);
    ASSERT_TRUE(sock->bindToPort(0, QStringLiteral("127.0.0.1")));
    ASSERT_TRUE(sock->receiveOnce());
    RawPeer peer;
    for (const char *d : {"1", "2", "3"}) peer.sendTo(sock->localPort(), d);
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 1; }));
    spinFor(100);
    EXPECT_EQ(recorder->count("recv"), 1);
    ASSERT_TRUE(sock->receiveOnce());
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 2; }));
    ASSERT_TRUE(sock->beginReceiving());
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 3; }));
    EXPECT_EQ(recorder->events[2].data, "3");
    sock->pauseReceiving();
    peer.sendTo(sock->localPort(), "held");
    spinFor(100);
    EXPECT_EQ(recorder->count("recv"), 3);
    ASSERT_TRUE(sock->beginReceiving());
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 4; }));
    EXPECT_EQ(recorder->events[3].data, "held");
}

TEST_F(UdpSocketTest, ConnectedSocketTalksToItsPeerOnly) {
    RawPeer peer;
    RawPeer stranger;
    auto sock = makeSocket();
    sock->setIPv6Enabled(false);
    ASSERT_TRUE(sock->connectToAddress(loopback(peer.port())));
    ASSERT_TRUE(waitUntil([&] { return recorder->count("connect") == 1; }));
    EXPECT_EQ(UdpSocket::portFromAddress(recorder->events[0].address), peer.port());
    EXPECT_TRUE(sock->isConnected());
    ASSERT_TRUE(sock->beginReceiving());
    sock->sendData("hello", -1, 1);
    sock->sendData("named", QStringLiteral("127.0.0.1"), peer.port(), -1, 2); // a host is refused
    EXPECT_EQ(peer.receive(), QByteArray("hello"));
    const uint16_t local = sock->localPort();
    stranger.sendTo(local, "from a stranger");
    peer.sendTo(local, "from the peer");
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 1; }));
    spinFor(50);
    EXPECT_EQ(recorder->kinds(), "connect:0 sent:1 notsent:2 recv:0");
    EXPECT_EQ(recorder->events[2].error.localizedDescription(),
              "Cannot specify destination of packet for connected socket");
    EXPECT_EQ(recorder->events[3].data, "from the peer");
}

TEST_F(UdpSocketTest, DestroyedSocketStaysSilent) {
    RawPeer peer;
    {
        auto sock = makeReceiver();
        sock->sendData("x", QStringLiteral("127.0.0.1"), peer.port(), -1, 1);
        sock->close();
        ASSERT_TRUE(waitUntil([&] { return recorder->count("close") == 1; }));
        recorder->events.clear();
        ASSERT_TRUE(sock->enableReusePort(true));
    }
    spinFor(50);
    EXPECT_TRUE(recorder->events.empty());
}

TEST_F(UdpSocketTest, BuffersAreNeverLoweredBelowTheSystemDefault) {
    RawPeer plain; // the system's defaults
    int defaultReceive = 0, defaultSend = 0;
    socklen_t len = sizeof(int);
    ::getsockopt(plain.fd(), SOL_SOCKET, SO_SNDBUF, &defaultSend, &len);
    auto sock = makeSocket();
    sock->setIPv6Enabled(false);
    sock->setMax4ReceiveSize(1000);
    ASSERT_TRUE(sock->bindToPort(0, QStringLiteral("lo")));
    int receive = 0, send = 0;
    sock->performBlock([&] {
        socklen_t l = sizeof(int);
        ::getsockopt(sock->socket4FD(), SOL_SOCKET, SO_RCVBUF, &receive, &l);
        l = sizeof(int);
        ::getsockopt(sock->socket4FD(), SOL_SOCKET, SO_SNDBUF, &send, &l);
    });
    const int fresh = ::socket(AF_INET, SOCK_DGRAM, 0);
    len = sizeof(int);
    ::getsockopt(fresh, SOL_SOCKET, SO_RCVBUF, &defaultReceive, &len);
    ::close(fresh);
    EXPECT_GE(receive, defaultReceive);
    EXPECT_GE(receive, 65535);
    EXPECT_GE(send, defaultSend);
    EXPECT_EQ(UdpSocket::hostFromAddress(sock->localAddress()), "127.0.0.1"); // "lo" by name
    EXPECT_EQ(sock->socket4FD(), -1); // descriptors only on the socket queue
}

// isClosed() answers without waiting for the socket queue, but never misses a request of the
// caller's own that opens or closes the sockets and is still on its way there.
TEST_F(UdpSocketTest, IsClosedSeesTheCallersOwnOpeningAndClosingRequests) {
    RawPeer peer;
    struct Case {
        const char *name;
        std::function<void(UdpSocket &)> before; // leaves the socket open or closed
        std::function<void(UdpSocket &)> request;
        bool closedAfter;
    };
    const auto send = [&](UdpSocket &s) { s.sendData("x", QStringLiteral("127.0.0.1"), peer.port(), -1, 1); };
    const std::vector<Case> cases = {
        {"first datagram opens", [](UdpSocket &) {}, send, false},
        {"datagram after a close opens again", [](UdpSocket &s) { s.enableBroadcast(true); s.close(); }, send,
         false},
        {"close after sending, nothing queued", [](UdpSocket &s) { s.enableBroadcast(true); },
         [](UdpSocket &s) { s.closeAfterSending(); }, true},
        {"datagram on open sockets", [](UdpSocket &s) { s.enableBroadcast(true); }, send, false},
    };
    for (const Case &c : cases) {
        for (int round = 0; round < 20; ++round) {
            auto sock = makeSocket();
            sock->setIPv6Enabled(false);
            c.before(*sock);
            // Another thread holds the socket queue, so the request still waits there when
            // isClosed() asks; a third lets it go a little later.
            std::atomic<bool> holding{false}, release{false};
            std::thread holder([&, q = sock->socketQueue()] {
                q->sync([&] {
                    holding = true;
                    while (!release) std::this_thread::yield();
                });
            });
            while (!holding) std::this_thread::yield();
            c.request(*sock);
            std::thread releaser([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                release = true;
            });
            const bool closed = sock->isClosed();
            releaser.join();
            holder.join();
            ASSERT_EQ(closed, c.closedAfter) << c.name << ", round " << round;
            sock->close();
        }
    }
}

TEST_F(UdpSocketTest, DatagramsWithNoFamilyToGoOutOnAreReportedNotSent) {
    auto sock = makeSocket();
    sock->setIPv4Enabled(false);
    sock->setIPv6Enabled(false);
    sock->sendData("a", QStringLiteral("127.0.0.1"), 9, -1, 1);
    sock->sendData("b", QStringLiteral("127.0.0.1"), 9, -1, 2);
    ASSERT_TRUE(waitUntil([&] { return recorder->events.size() == 2; }));
    spinFor(30);
    EXPECT_EQ(recorder->kinds(), "notsent:1 notsent:2");
    EXPECT_EQ(recorder->events[0].error.localizedDescription(),
              "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
    EXPECT_TRUE(sock->isClosed());
}

// Both families bound to loopback: datagrams on either socket arrive, each with its own
// family's sender address, and a send to "::1" goes out on the IPv6 socket.
TEST_F(UdpSocketTest, DualStackReceivesOnBothFamilies) {
    const int probe = ::socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 lo6{};
    lo6.sin6_family = AF_INET6;
    lo6.sin6_addr = in6addr_loopback;
    const bool haveSix = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr *>(&lo6), sizeof lo6) == 0;
    if (probe >= 0) ::close(probe);
    if (!haveSix) GTEST_SKIP() << "no IPv6 loopback here";

    auto sock = makeSocket();
    ASSERT_TRUE(sock->bindToPort(0, QStringLiteral("localhost")));
    ASSERT_TRUE(sock->beginReceiving());
    const uint16_t port4 = sock->localPort_IPv4();
    const uint16_t port6 = sock->localPort_IPv6();
    ASSERT_NE(port4, 0);
    ASSERT_NE(port6, 0);

    auto sender = UdpSocket::create(recorder, dispatch::Queue::main());
    for (int i = 0; i < 5; ++i) {
        sender->sendData("four" + QByteArray::number(i), QStringLiteral("127.0.0.1"), port4, -1, i);
        sender->sendData("six" + QByteArray::number(i), QStringLiteral("::1"), port6, -1, 10 + i);
    }
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == 10; })) << recorder->kinds();
    QStringList four, six;
    for (const auto &e : recorder->of("recv")) {
        const QString host = UdpSocket::hostFromAddress(e.address);
        (host == "::1" ? six : four) << QString::fromLatin1(e.data);
        EXPECT_TRUE(host == "::1" || host == "127.0.0.1") << host.toStdString();
    }
    EXPECT_EQ(four.join(' '), "four0 four1 four2 four3 four4");
    EXPECT_EQ(six.join(' '), "six0 six1 six2 six3 six4");
    EXPECT_EQ(recorder->count("sent"), 10);
}

TEST_F(UdpSocketTest, BroadcastNeedsAnIPv4Socket) {
    auto sock = makeSocket();
    sock->setIPv4Enabled(false);
    SocketError err;
    EXPECT_FALSE(sock->enableBroadcast(true, &err));
    EXPECT_TRUE(err.isNull());
}

// Only an error of the descriptor itself closes the socket (here it stops being a socket).
TEST_F(UdpSocketTest, BrokenDescriptorClosesWithTheSendError) {
    RawPeer peer;
    auto sock = makeSocket();
    sock->setIPv6Enabled(false);
    ASSERT_TRUE(sock->enableBroadcast(true));
    sock->performBlock([&] {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        ::dup2(null, sock->socket4FD());
        ::close(null);
    });
    sock->sendData("x", QStringLiteral("127.0.0.1"), peer.port(), -1, 1);
    ASSERT_TRUE(waitUntil([&] { return recorder->count("close") == 1; }));
    spinFor(30);
    EXPECT_EQ(recorder->kinds(), "close:0"); // the datagram gets no callback of its own
    const SocketError err = recorder->events[0].error;
    EXPECT_EQ(err.domain(), "POSIXErrorDomain");
    EXPECT_EQ(err.code(), ENOTSOCK);
    EXPECT_EQ(err.userInfo().value(UdpSocket::kFailureReasonKey).toString(), "Error in send() function.");
    EXPECT_TRUE(sock->isClosed());
    // The next datagram opens fresh sockets.
    sock->sendData("y", QStringLiteral("127.0.0.1"), peer.port(), -1, 2);
    EXPECT_EQ(peer.receive(), QByteArray("y"));
    ASSERT_TRUE(waitUntil([&] { return recorder->count("sent") == 1; }));
    EXPECT_EQ(recorder->kinds(), "close:0 sent:2");
}

// Random datagrams of every size at the receive path: nothing crashes, every datagram the system
// carried arrives intact and in order, and the socket keeps receiving.
TEST_F(UdpSocketTest, RandomDatagramsNeverStopTheReceivePath) {
    auto sock = makeReceiver();
    RawPeer peer;
    std::mt19937 rng(20261210);
    std::uniform_int_distribution<int> size(0, 65535);
    std::vector<QByteArray> expected;
    for (int i = 0; i < 200; ++i) {
        const int n = i < 4 ? std::array{0, 1, 65507, 65535}[i] : size(rng);
        QByteArray d(n, Qt::Uninitialized);
        for (int k = 0; k < n; ++k) d[k] = char(rng());
        const ssize_t sent = peer.sendTo(sock->localPort(), d);
        if (sent <= 0) continue; // above 65507 the system refuses it; an empty one is dropped
        expected.push_back(d);
        // One at a time: UDP may drop a burst of 64 KiB datagrams, and every one is checked.
        ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == int(expected.size()); }))
            << "datagram " << i << " of " << n << " bytes";
    }
    peer.sendTo(sock->localPort(), "still here");
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == int(expected.size()) + 1; }, 10000))
        << recorder->count("recv") << " of " << expected.size() + 1;
    const auto got = recorder->of("recv");
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(got[i].data, expected[i]) << "datagram " << i;
    EXPECT_EQ(got.back().data, "still here");
    EXPECT_EQ(recorder->count("close"), 0);
    EXPECT_FALSE(sock->isClosed());
}

} // namespace

namespace {

// Bytes the kernel still holds in the socket's receive queue.
uint32_t kernelReceiveQueue(UdpSocket &sock) {
    uint32_t memory[SK_MEMINFO_VARS] = {};
    sock.performBlock([&] {
        socklen_t len = sizeof memory;
        ::getsockopt(sock.socketFD(), SOL_SOCKET, SO_MEMINFO, memory, &len);
    });
    return memory[SK_MEMINFO_RMEM_ALLOC];
}

} // namespace

TEST_F(UdpSocketTest, AStalledDelegateLeavesTheFloodInTheKernel) {
    // The delegate's queue does not run until the test lets it: its drain steps are held here.
    std::mutex heldMutex;
    std::vector<dispatch::Queue::Block> held;
    dispatch::Queue::setMainPoster([&](dispatch::Queue::Block block) {
        std::lock_guard lock(heldMutex);
        held.push_back(std::move(block));
    });
    struct RestorePoster {
        ~RestorePoster() { dispatch::Queue::setMainPoster(nullptr); }
    } restore;
    auto sock = makeReceiver();
    const uint16_t port = sock->localPort();
    // Room in the kernel for the whole flood, so that nothing is lost there.
    sock->performBlock([&] {
        const int big = 8 << 20;
        if (::setsockopt(sock->socketFD(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) < 0)
            ::setsockopt(sock->socketFD(), SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    });
    constexpr int kFlood = 2000;
    RawPeer peer;
    for (int i = 0; i < kFlood; ++i)
        ASSERT_GT(peer.sendTo(port, QByteArray::number(i).rightJustified(8, '0')), 0);
    spinFor(300);
    EXPECT_GT(kernelReceiveQueue(*sock), 0u) << "everything was read although nobody took it";

    dispatch::Queue::setMainPoster(nullptr);
    std::vector<dispatch::Queue::Block> release;
    {
        std::lock_guard lock(heldMutex);
        release.swap(held);
    }
    for (auto &block : release) block();
    ASSERT_TRUE(waitUntil([&] { return recorder->count("recv") == kFlood; }, 10000))
        << recorder->count("recv") << " of " << kFlood;
    const auto received = recorder->of("recv");
    for (int i = 0; i < kFlood; ++i)
        ASSERT_EQ(received[size_t(i)].data, QByteArray::number(i).rightJustified(8, '0')) << "at " << i;
}

TEST_F(UdpSocketTest, EachFamilyHoldsOneDescriptor) {
    makeReceiver()->close(); // the runtime's own descriptors exist from here on
    spinFor(20);
    const int before = int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System).size());
    auto sock = makeReceiver();
    spinFor(20);
    const int after = int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System).size());
    EXPECT_EQ(after - before, 1);
}
