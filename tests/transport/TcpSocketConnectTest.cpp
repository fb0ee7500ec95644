// Listening, accepting, connecting and closing against raw POSIX peers on 127.0.0.1.
#include "TcpTestSupport.h"

#include "platform/dispatch/Queue.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cmath>
#include <sys/resource.h>
#include <sys/time.h>

using namespace tcptest;

namespace {

std::shared_ptr<TcpSocket> makeSocket(const std::shared_ptr<Recorder> &rec) {
    return TcpSocket::create(rec, dispatch::Queue::main());
}

QString reasonOf(const SocketError &e) { return e.userInfo().value("NSLocalizedFailureReason").toString(); }

TEST(TcpSocketConnect, RefusedEndsInExactlyOneDisconnect) {
    auto rec = std::make_shared<Recorder>();
    auto sock = makeSocket(rec);
    const uint16_t port = refusedPort();
    sock->readDataToData(TcpSocket::CRLFData(), -1, 1); // before the connect: dropped
    SocketError err;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", port, 5, &err));
    sock->writeData("never", -1, 2);
    sock->readDataToData(TcpSocket::CRLFData(), -1, 3);
    ASSERT_TRUE(rec->waitDisconnect());
    spinFor(300);
    EXPECT_EQ(rec->events, QStringList({QString("disconnect:POSIXErrorDomain:%1").arg(ECONNREFUSED)}));
    EXPECT_EQ(reasonOf(rec->lastError), QString("Error in connect() function"));
    EXPECT_TRUE(sock->isDisconnected());
}

TEST(TcpSocketConnect, QueuedRequestsRunOnceConnected) {
    auto rec = std::make_shared<Recorder>();
    auto sock = makeSocket(rec);
    RawServer server;
    SocketError err;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
    sock->writeData("ping\r\n", 5, 1);
    sock->readDataToData(TcpSocket::CRLFData(), 5, 2);
    ASSERT_TRUE(server.accept());
    ASSERT_TRUE(waitUntil([&] { return rec->events.contains("write:1"); }));
    server.send("pong\r\n");
    ASSERT_TRUE(waitUntil([&] { return !rec->reads.empty(); }));
    EXPECT_EQ(rec->reads.front(), QByteArray("pong\r\n"));
    EXPECT_EQ(rec->events.first(), QString("connect:127.0.0.1"));
    char buf[16] = {};
    EXPECT_EQ(::recv(server.peer(), buf, sizeof buf, MSG_DONTWAIT), 6);
}

TEST(TcpSocketConnect, SynchronousChecksFailWithoutChangingState) {
    auto rec = std::make_shared<Recorder>();
    auto sock = makeSocket(rec);
    SocketError err;
    EXPECT_FALSE(sock->connectToHost("", 1, 5, &err));
    EXPECT_EQ(err.code(), TcpSocketBadParamError);
    RawServer server;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
    ASSERT_TRUE(server.accept());
    ASSERT_TRUE(waitUntil([&] { return sock->isConnected(); }));
    EXPECT_FALSE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
    EXPECT_EQ(err.domain(), QString(kTcpSocketErrorDomain));
    EXPECT_EQ(err.code(), TcpSocketBadConfigError);
    EXPECT_EQ(err.localizedDescription(),
              QString("Attempting to connect while connected or accepting connections. Disconnect first."));
    EXPECT_TRUE(sock->isConnected());

    auto orphan = TcpSocket::create(std::weak_ptr<TcpSocketDelegate>(), dispatch::Queue::main());
    EXPECT_FALSE(orphan->connectToHost("127.0.0.1", server.port(), 5, &err));
    EXPECT_EQ(err.localizedDescription(),
              QString("Attempting to connect without a delegate. Set a delegate first."));
}

TEST(TcpSocketConnect, DisconnectReportsOnlyStartedSockets) {
    auto rec = std::make_shared<Recorder>();
    auto sock = makeSocket(rec);
    sock->disconnect();
    spinFor(100);
    EXPECT_TRUE(rec->events.isEmpty());

    RawServer server;
    SocketError err;
    sock->setUserData(std::make_shared<int>(42));
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
    ASSERT_TRUE(server.accept());
    ASSERT_TRUE(waitUntil([&] { return sock->isConnected(); }));
    sock->disconnect();
    sock->disconnect();
    ASSERT_TRUE(rec->waitDisconnect());
    spinFor(100);
    EXPECT_EQ(rec->events, QStringList({"connect:127.0.0.1", "disconnect"}));
    ASSERT_TRUE(sock->userData());
    EXPECT_EQ(*std::static_pointer_cast<int>(sock->userData()), 42);
}

TEST(TcpSocketConnect, DisabledFamilyIsNeverConnectedTo) {
    // An IPv6 peer on ::1 at the same port where IPv4 refuses.
    const int fd6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_loopback;
    int on = 1;
    ::setsockopt(fd6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(fd6, reinterpret_cast<sockaddr *>(&sin6), sizeof sin6) < 0) {
        ::close(fd6);
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    ::listen(fd6, 8);
    socklen_t len = sizeof sin6;
    ::getsockname(fd6, reinterpret_cast<sockaddr *>(&sin6), &len);
    const uint16_t port = ntohs(sin6.sin6_port);
    auto pending = [fd6] {
        pollfd p{fd6, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    };

    auto rec = std::make_shared<Recorder>();
    auto sock = makeSocket(rec);
    sock->setIPv6Enabled(false);
    sock->setAlternateAddressDelay(0.05);
    SocketError err;
    ASSERT_TRUE(sock->connectToHost("localhost", port, 5, &err));
    ASSERT_TRUE(rec->waitDisconnect());
    spinFor(200);
    EXPECT_FALSE(pending()) << "an IPv6 connect was made although IPv6 is disabled";
    EXPECT_EQ(rec->lastError.code(), ECONNREFUSED);

    auto rec2 = std::make_shared<Recorder>();
    auto only6 = makeSocket(rec2);
    only6->setIPv6Enabled(false);
    ASSERT_TRUE(only6->connectToHost("::1", port, 5, &err));
    ASSERT_TRUE(rec2->waitDisconnect());
    EXPECT_EQ(rec2->lastError.code(), TcpSocketOtherError);
    EXPECT_EQ(rec2->lastError.localizedDescription(),
              QString("IPv6 has been disabled and DNS lookup found no IPv4 address."));
    EXPECT_FALSE(pending());

    // Enabled, the same host reaches the IPv6 peer after the IPv4 refusal.
    auto rec3 = std::make_shared<Recorder>();
    auto both = makeSocket(rec3);
    both->setAlternateAddressDelay(0.05);
    ASSERT_TRUE(both->connectToHost("localhost", port, 5, &err));
    EXPECT_TRUE(waitUntil([&] { return rec3->events.contains("connect:::1"); }))
        << rec3->events.join(" ").toStdString();
    ::close(fd6);
}

TEST(TcpSocketConnect, RefusedCyclesLeaveNoDescriptorBehind) {
    const uint16_t port = refusedPort();
    const int before = baselineDescriptors();
    int failures = 0;
    for (int i = 0; i < 500; ++i) {
        auto rec = std::make_shared<Recorder>();
        auto sock = makeSocket(rec);
        SocketError err;
        if (!sock->connectToHost("127.0.0.1", port, 1, &err) || !rec->waitDisconnect(2000) ||
            rec->disconnects != 1)
            ++failures;
    }
    spinFor(50);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(TcpSocketAccept, ChildHasDelegateIsConnectedAndReadsInTheCallbackRun) {
    auto rec = std::make_shared<Recorder>();
    auto listener = makeSocket(rec);
    SocketError err;
    ASSERT_TRUE(listener->acceptOnInterface("127.0.0.1", 0, &err))
        << err.localizedDescription().toStdString();
    const uint16_t port = listener->localPort();
    ASSERT_NE(port, 0);
    QString hostSeen;
    bool connectedSeen = false;
    rec->onAccept = [&](const std::shared_ptr<TcpSocket> &child) {
        hostSeen = child->connectedHost();
        connectedSeen = child->isConnected();
        child->readDataToData(TcpSocket::CRLFData(), 5, 1);
    };
    const int client = rawConnect(port);
    ASSERT_GE(client, 0);
    // Sent at once: the bytes may arrive before the delegate hears of the child.
    ::send(client, "hi\r\n", 4, MSG_NOSIGNAL);
    ASSERT_TRUE(waitUntil([&] { return !rec->reads.empty(); }));
    EXPECT_EQ(rec->reads.front(), QByteArray("hi\r\n"));
    EXPECT_EQ(hostSeen, QString("127.0.0.1"));
    EXPECT_TRUE(connectedSeen);
    ASSERT_EQ(rec->children.size(), 1u);
    EXPECT_EQ(rec->children.front()->delegate(), rec);
    EXPECT_EQ(TcpSocket::hostFromAddress(rec->children.front()->connectedAddress()), QString("127.0.0.1"));
    ::close(client);
    ASSERT_TRUE(rec->waitDisconnect());
    EXPECT_EQ(rec->lastError.code(), 7);
}

TEST(TcpSocketAccept, RelistenOnTheSamePortAtOnce) {
    auto rec = std::make_shared<Recorder>();
    auto listener = makeSocket(rec);
    SocketError err;
    ASSERT_TRUE(listener->acceptOnPort(0, &err));
    const uint16_t port = listener->localPort();
    // A connection in the backlog at the close, too.
    const int client = rawConnect(port);
    listener->disconnect();
    EXPECT_TRUE(listener->acceptOnPort(port, &err)) << err.localizedDescription().toStdString();
    auto otherRec = std::make_shared<Recorder>();
    auto other = makeSocket(otherRec);
    EXPECT_FALSE(other->acceptOnPort(port, &err));
    EXPECT_EQ(err.domain(), QString(kTcpSocketPosixErrorDomain));
    EXPECT_EQ(err.code(), EADDRINUSE);
    EXPECT_EQ(reasonOf(err), QString("Error in bind() function"));
    EXPECT_TRUE(other->isDisconnected());
    EXPECT_FALSE(listener->acceptOnPort(port, &err));
    EXPECT_EQ(err.localizedDescription(),
              QString("Attempting to accept while connected or accepting connections. Disconnect first."));
    if (client >= 0) ::close(client);
}

TEST(TcpSocketAccept, OutOfDescriptorsBacksOffAndGoesOn) {
    auto rec = std::make_shared<Recorder>();
    auto listener = makeSocket(rec);
    SocketError err;
    ASSERT_TRUE(listener->acceptOnInterface("127.0.0.1", 0, &err));
    const uint16_t port = listener->localPort();
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    spinFor(50);

    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    rlimit tight = old;
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    tight.rlim_cur = rlim_t(lowestFree); // no descriptor number left: accept() gets EMFILE
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    sockaddr_in sin = loopback(port);
    const int rc = ::connect(client, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    rusage r0{}, r1{};
    ::getrusage(RUSAGE_SELF, &r0);
    spinFor(400);
    ::getrusage(RUSAGE_SELF, &r1);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_EQ(rc, 0);
    auto cpuMs = [](const rusage &r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
    };
    // A listener spinning on EMFILE would burn a core for the whole 400 ms.
    EXPECT_LT(cpuMs(r1) - cpuMs(r0), 250.0);
    EXPECT_TRUE(rec->children.empty());
    ASSERT_TRUE(waitUntil([&] { return rec->children.size() == 1; }, 3000));
    ::close(client);
}

TEST(TcpSocketGetters, NeverDeadlockFromCallbacksOrTheSocketQueue) {
    auto rec = std::make_shared<Recorder>();
    // Delegate queue = socket queue: callbacks run on the socket queue itself.
    auto queue = dispatch::Queue::create("tcp-getters");
    auto sock = TcpSocket::create(rec, queue, queue);
    RawServer server;
    std::atomic<int> seen{0};
    QString host;
    uint16_t localPort = 0;
    rec->onConnect = [&](const std::shared_ptr<TcpSocket> &s) {
        host = s->connectedHost();
        localPort = s->localPort();
        if (s->isConnected() && !s->isDisconnected() && s->delegate() == rec && s->isIPv4()) ++seen;
        float p = s->progressOfReadReturningTag(nullptr, nullptr, nullptr);
        if (std::isnan(p)) ++seen;
    };
    SocketError err;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err));
    ASSERT_TRUE(server.accept());
    ASSERT_TRUE(waitUntil([&] { return seen.load() == 2; }));
    EXPECT_EQ(host, QString("127.0.0.1"));
    EXPECT_NE(localPort, 0);
    int fdInside = -2;
    QString hostInside;
    sock->performBlock([&] {
        fdInside = sock->socketFD();
        hostInside = sock->connectedHost();
    });
    EXPECT_GE(fdInside, 0);
    EXPECT_EQ(hostInside, QString("127.0.0.1"));
    EXPECT_EQ(sock->socketFD(), -1);

    // And from the main queue while the socket queue is busy with callbacks.
    auto rec2 = std::make_shared<Recorder>();
    auto sock2 = makeSocket(rec2);
    RawServer server2;
    rec2->onConnect = [&](const std::shared_ptr<TcpSocket> &s) {
        if (s->connectedPort() == server2.port()) ++seen;
    };
    ASSERT_TRUE(sock2->connectToHost("127.0.0.1", server2.port(), 5, &err));
    ASSERT_TRUE(server2.accept());
    ASSERT_TRUE(waitUntil([&] { return seen.load() == 3; }));
    sock->disconnect();
}

TEST(TcpSocketUnix, PathTooLongIsAnErrorAndShortOneWorks) {
    auto rec = std::make_shared<Recorder>();
    auto sock = makeSocket(rec);
    const QString longPath = QDir::tempPath() + "/" + QString(200, 'p');
    SocketError err;
    EXPECT_TRUE(TcpSocket::getInterfaceAddressFromUrl(QUrl::fromLocalFile(longPath)).isEmpty());
    EXPECT_FALSE(sock->acceptOnUrl(QUrl::fromLocalFile(longPath), &err));
    EXPECT_EQ(err.code(), TcpSocketBadParamError);
    EXPECT_FALSE(sock->connectToUrl(QUrl::fromLocalFile(longPath), 1, &err));
    EXPECT_EQ(err.code(), TcpSocketBadParamError);

    QTemporaryDir dir;
    const QUrl url = QUrl::fromLocalFile(dir.filePath("s"));
    rec->onAccept = [](const std::shared_ptr<TcpSocket> &child) {
        child->readDataToData(TcpSocket::LFData(), 5, 1);
    };
    ASSERT_TRUE(sock->acceptOnUrl(url, &err)) << err.localizedDescription().toStdString();
    auto crec = std::make_shared<Recorder>();
    auto client = makeSocket(crec);
    ASSERT_TRUE(client->connectToUrl(url, 5, &err)) << err.localizedDescription().toStdString();
    client->writeData("unix\n", 5, 1);
    ASSERT_TRUE(waitUntil([&] { return !rec->reads.empty(); }));
    EXPECT_EQ(rec->reads.front(), QByteArray("unix\n"));
    sock->disconnect();
    EXPECT_FALSE(QFile::exists(url.toLocalFile()));
}

} // namespace

namespace {

TEST(TcpSocketConnect, AdoptsAConnectedDescriptor) {
    RawServer server;
    const int fd = rawConnect(server.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(server.accept());
    auto rec = std::make_shared<Recorder>();
    SocketError err;
    auto sock = TcpSocket::socketFromConnectedSocketFD(fd, rec, dispatch::Queue::main(), nullptr, &err);
    ASSERT_TRUE(sock);
    EXPECT_TRUE(sock->isConnected());
    sock->readDataToData(TcpSocket::LFData(), 5, 1);
    server.send("adopted\n");
    ASSERT_TRUE(waitUntil([&] { return !rec->reads.empty(); }));
    EXPECT_EQ(rec->reads.front(), QByteArray("adopted\n"));

    const int loose = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_FALSE(TcpSocket::socketFromConnectedSocketFD(loose, rec, dispatch::Queue::main(), nullptr, &err));
    EXPECT_EQ(err.code(), TcpSocketOtherError);
    ::close(loose);
}

} // namespace

namespace {

TEST(TcpSocketUnix, AConnectWithATimeoutStaysUpPastIt) {
    QTemporaryDir dir;
    const QUrl url = QUrl::fromLocalFile(dir.filePath("s"));
    auto rec = std::make_shared<Recorder>();
    auto listener = makeSocket(rec);
    SocketError err;
    ASSERT_TRUE(listener->acceptOnUrl(url, &err)) << err.localizedDescription().toStdString();
    auto crec = std::make_shared<Recorder>();
    auto client = makeSocket(crec);
    ASSERT_TRUE(client->connectToUrl(url, 0.2, &err)) << err.localizedDescription().toStdString();
    ASSERT_TRUE(waitUntil([&] { return rec->children.size() == 1; }));
    spinFor(600); // three times the connect time-out
    EXPECT_EQ(crec->disconnects, 0) << crec->events.join(' ').toStdString();
    EXPECT_TRUE(client->isConnected());
    client->disconnect();
    listener->disconnect();
}

// A connect the system refuses on the spot (TCP to the limited broadcast address): one
// disconnect with the system's error, and the socket takes the next connect.
struct ImmediateFailure {
    const char *name;
    std::function<bool(TcpSocket &, SocketError *)> connect;
};

class ImmediateFailures : public ::testing::TestWithParam<ImmediateFailure> {};

QByteArray broadcastAddress() {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(9);
    sin.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return QByteArray(reinterpret_cast<const char *>(&sin), sizeof sin);
}

TEST_P(ImmediateFailures, EndOnceAndLeaveTheSocketFreeForTheNextConnect) {
    auto rec = std::make_shared<Recorder>();
    auto sock = makeSocket(rec);
    SocketError err;
    ASSERT_TRUE(GetParam().connect(*sock, &err)) << err.localizedDescription().toStdString();
    ASSERT_TRUE(rec->waitDisconnect());
    spinFor(100);
    EXPECT_EQ(rec->events, QStringList{QString("disconnect:POSIXErrorDomain:%1").arg(ENETUNREACH)});
    EXPECT_EQ(reasonOf(rec->lastError), "Error in connect() function");
    EXPECT_TRUE(sock->isDisconnected());

    RawServer server;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", server.port(), 5, &err))
        << err.localizedDescription().toStdString();
    ASSERT_TRUE(server.accept());
    EXPECT_TRUE(waitUntil([&] { return sock->isConnected(); }));
    sock->disconnect();
}

INSTANTIATE_TEST_SUITE_P(
    EntryPoints, ImmediateFailures,
    ::testing::Values(ImmediateFailure{"AddressWithoutTimeout",
                                       [](TcpSocket &s, SocketError *e) {
                                           return s.connectToAddress(broadcastAddress(), e);
                                       }},
                      ImmediateFailure{"AddressWithTimeout",
                                       [](TcpSocket &s, SocketError *e) {
                                           return s.connectToAddress(broadcastAddress(), 5, e);
                                       }},
                      ImmediateFailure{"Host",
                                       [](TcpSocket &s, SocketError *e) {
                                           return s.connectToHost("255.255.255.255", 9, 5, e);
                                       }}),
    [](const ::testing::TestParamInfo<ImmediateFailure> &info) { return std::string(info.param.name); });

} // namespace
