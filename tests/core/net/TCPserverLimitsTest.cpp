// What one host, or a flood of made-up ids, can make the messaging server hold: connections per
// address both ways, information requests under way, and users made for unknown senders.
#include "core/net/TCPserver.h"
#include "core/net/TCPserverTestSupport.h"
#include "core/wire/TextCodec.h"
#include "core/wire/UserInfoPacket.h"
#include "platform/store/Clock.h"

#include <QTimeZone>

#include <fcntl.h>

#include <map>
#include <mutex>
#include <set>

namespace {

const QString kBob = QStringLiteral("A000000002");

QByteArray line(const PacketArray &fields) { return KDTPacket::PlainPackeFromArray(fields) + "\r\n"; }

PacketArray tsm(const QString &from, const QString &id) {
    return {"TSM", id, "pc", from, "*", "A000000001", encodeTextField(QStringLiteral("hi")), "*"};
}

bool isReceipt(const QByteArray &reply) {
    const std::optional<PacketArray> fields = KDTPacket::ArrayFromBase64AESdata(reply);
    return fields && !fields->isEmpty() && fields->at(0).toString() == QLatin1String("TMR");
}

// A presence "UI" from a new copy, with its address appended as the roster takes it.
QStringList hello(const QString &id, const QString &address) {
    return {"UI", "0", "pc-" + id, id,  "*", "*", "x",   "User " + id,
            "5",  "0", "1",        "0", "1", "*", "1.0", address};
}

// Many peers at once on one port, each on its own loopback address: reads a request line,
// holds the connection, answers with what `replyFor(local address)` gives (nothing: closes)
// and closes. Counts the connections open at once.
class CrowdPeer {
public:
    CrowdPeer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(fd_, 4096);
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~CrowdPeer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (auto &[fd, c] : open_) ::close(fd);
        ::close(fd_);
    }
    void start(std::function<QByteArray(const QString &)> replyFor, int holdMs) {
        replyFor_ = std::move(replyFor);
        holdMs_ = holdMs;
        thread_ = std::thread([this] { run(); });
    }
    std::uint16_t port() const { return port_; }
    int maxOpen() const { return maxOpen_; }
    int served() const { return served_; }
    int maxOpenFromOneAddress() const { return maxPerAddress_; }

private:
    struct Conn {
        QString local;
        QByteArray line;
        std::chrono::steady_clock::time_point since;
    };
    void run() {
        while (!stop_) {
            for (;;) {
                sockaddr_in local{};
                const int c = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK);
                if (c < 0) break;
                socklen_t len = sizeof local;
                ::getsockname(c, reinterpret_cast<sockaddr *>(&local), &len);
                char text[INET_ADDRSTRLEN] = {};
                ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
                open_[c] = {QString::fromLatin1(text), {}, std::chrono::steady_clock::now()};
                const int perAddress = ++perAddress_[open_[c].local];
                maxPerAddress_ = std::max(maxPerAddress_.load(), perAddress);
            }
            maxOpen_ = std::max(maxOpen_.load(), int(open_.size()));
            std::vector<int> done;
            for (auto &[fd, c] : open_) {
                char buf[4096];
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n > 0) c.line.append(buf, n);
                const bool ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
                const bool held =
                    std::chrono::steady_clock::now() - c.since >= std::chrono::milliseconds(holdMs_);
                if (!ended && !(c.line.contains("\r\n") && held)) continue;
                if (!ended) {
                    const QByteArray answer = replyFor_(c.local);
                    if (!answer.isEmpty()) rawnet::sendAll(fd, answer);
                    ++served_;
                }
                done.push_back(fd);
            }
            for (int fd : done) {
                --perAddress_[open_[fd].local];
                open_.erase(fd);
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::function<QByteArray(const QString &)> replyFor_;
    int holdMs_ = 0;
    std::map<int, Conn> open_;
    std::map<QString, int> perAddress_;
    std::atomic<int> maxOpen_{0};
    std::atomic<int> maxPerAddress_{0};
    std::atomic<int> served_{0};
};

QString crowdAddress(int i) { return QStringLiteral("127.1.%1.%2").arg(i / 250).arg(i % 250 + 1); }

class TCPserverLimitsTest : public MessagingFixture {
protected:
    void SetUp() override {
        MessagingFixture::SetUp();
        server = std::make_unique<TCPserver>(0, TCPserver::DefaultPort, false);
        TCPserver::setShared(server.get());
        ASSERT_TRUE(server->isListening());
        port = server->listeningPort();
    }
    void TearDown() override {
        Clock::setNowFunction({});
        TCPserver::setShared(nullptr);
        server.reset();
        MessagingFixture::TearDown();
    }
    std::unique_ptr<TCPserver> server;
    std::uint16_t port = 0;
};

// One host holding idle connections takes only its own few places: its further connections are
// closed at once, while another host's message is still taken and confirmed.
TEST_F(TCPserverLimitsTest, OneHostHoldsAtMostItsOwnFewConnections) {
    peer(kBob, QStringLiteral("Bob"));
    std::vector<int> idle;
    for (int i = 0; i < TCPserver::MaxConnectionsPerPeer; ++i)
        idle.push_back(rawnet::connectLoopbackFrom(port, "127.0.0.5"));
    ASSERT_TRUE(
        waitUntil([&] { return server->acceptedConnectionCount() == TCPserver::MaxConnectionsPerPeer; }));

    // More from that host: let go at once, without waiting for the time-out.
    auto beyond = std::async(std::launch::async, [this] {
        std::vector<bool> closed;
        for (int i = 0; i < 3; ++i) {
            const int fd = rawnet::connectLoopbackFrom(port, "127.0.0.5");
            const auto began = std::chrono::steady_clock::now();
            const QByteArray got = rawnet::readUntilClosed(fd, 5000);
            closed.push_back(got.isEmpty() &&
                             std::chrono::steady_clock::now() - began < std::chrono::seconds(4));
            ::close(fd);
        }
        return closed;
    });
    ASSERT_TRUE(waitUntil(
        [&] { return beyond.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
    EXPECT_EQ(beyond.get(), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(server->acceptedConnectionCount(), TCPserver::MaxConnectionsPerPeer);

    // Another host is served meanwhile.
    auto other = std::async(std::launch::async, [this] {
        const int fd = rawnet::connectLoopbackFrom(port, "127.0.0.6");
        rawnet::sendAll(fd, line(tsm(kBob, "7001")));
        const QByteArray reply = rawnet::readUntilClosed(fd, 5000);
        ::close(fd);
        return reply;
    });
    ASSERT_TRUE(waitUntil(
        [&] { return other.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000));
    EXPECT_TRUE(isReceipt(other.get()));
    EXPECT_NE(Message::findByMessageId(ctx, 7001), nullptr);

    // Once its connections end, the first host is served again.
    for (int fd : idle) ::close(fd);
    ASSERT_TRUE(waitUntil([&] { return server->acceptedConnectionCount() == 0; }));
    auto again = std::async(std::launch::async, [this] {
        const int fd = rawnet::connectLoopbackFrom(port, "127.0.0.5");
        rawnet::sendAll(fd, line(tsm(kBob, "7002")));
        const QByteArray reply = rawnet::readUntilClosed(fd, 5000);
        ::close(fd);
        return reply;
    });
    ASSERT_TRUE(waitUntil(
        [&] { return again.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000));
    EXPECT_TRUE(isReceipt(again.get()));
}

// Packets to one peer beyond its few places wait for one to end, and all arrive.
TEST_F(TCPserverLimitsTest, PacketsToOnePeerWaitForItsPlacesAndAllArrive) {
    User *bob = peer(kBob, QStringLiteral("Bob"), QStringLiteral("127.1.0.1"));
    CrowdPeer peerSide;
    peerSide.start(
        [](const QString &) {
            return line({"TMR", "*", "pc-bob", kBob, "*", "A000000001", "*", "*"});
        },
        100);
    server->setConnectPort(peerSide.port());
    int delivered = 0, failed = 0;
    QObject::connect(server.get(), &TCPserver::delivered, [&] { ++delivered; });
    QObject::connect(server.get(), &TCPserver::deliveryFailed, [&] { ++failed; });
    constexpr int count = 30;
    for (int i = 0; i < count; ++i) bob->SendMessage(QStringLiteral("line %1").arg(i));
    EXPECT_LE(server->outgoingConnectionCount(), TCPserver::MaxConnectionsPerPeer);
    EXPECT_GT(server->waitingPacketCount(), 0);
    ASSERT_TRUE(waitUntil([&] { return delivered + failed == count; }, 20000));
    EXPECT_EQ(delivered, count);
    EXPECT_EQ(peerSide.maxOpenFromOneAddress(), TCPserver::MaxConnectionsPerPeer);
    EXPECT_EQ(server->waitingPacketCount(), 0);
}

// A thousand copies starting at once are all made known and asked for their details within
// seconds, never more than the cap of requests at once; a user asked again while its request
// waits is asked once.
TEST_F(TCPserverLimitsTest, AThousandNewcomersAreAllSeenWithFewRequestsAtOnce) {
    UserList::setInfoRequestFunction({});
    constexpr int count = 1000;
    std::map<QString, QByteArray> answers;
    for (int i = 0; i < count; ++i) {
        const QString id = QStringLiteral("B%1").arg(i, 9, 10, QLatin1Char('0'));
        const auto values = [id](const QString &key) {
            if (key == QLatin1String("userId")) return id;
            if (key == QLatin1String("status")) return QStringLiteral("0");
            if (key == QLatin1String("pc")) return QStringLiteral("pc");
            return QString();
        };
        answers[crowdAddress(i)] = line(UserInfoPacket::MyUserInfoFor(values, me->userId(), true));
    }
    CrowdPeer crowd;
    crowd.start([&answers](const QString &local) { return answers.at(local); }, 20);
    server->setConnectPort(crowd.port());

    for (int i = 0; i < count; ++i) {
        const QString id = QStringLiteral("B%1").arg(i, 9, 10, QLatin1Char('0'));
        ASSERT_NE(roster->UpdateUserDataWithUDP(hello(id, crowdAddress(i))), nullptr) << i;
        roster->UpdateUserDataWithUDP(hello(id, crowdAddress(i))); // heard twice, asked once
    }
    const auto online = [&] {
        int n = 0;
        for (User *u : all<User>())
            if (u != me && !u->userOffline()) ++n;
        return n;
    };
    EXPECT_TRUE(waitUntil([&] { return online() == count; }, 30000)) << online();
    EXPECT_LE(crowd.maxOpen(), TCPserver::MaxInfoRequestsInFlight);
    EXPECT_EQ(crowd.served(), count);
    EXPECT_TRUE(waitUntil([&] { return server->outgoingConnectionCount() == 0; }));
}

// Made-up ids in a flood: a burst of users is made, then only a few a second; each user costs
// one waiting request, never a connection of its own at once.
TEST_F(TCPserverLimitsTest, AFloodOfUnknownIdsMakesUsersAtABoundedRate) {
    UserList::setInfoRequestFunction({});
    QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, QTimeZone::utc());
    Clock::setNowFunction([&now] { return now; });
    CrowdPeer silent; // takes the requests and never answers
    silent.start([](const QString &) { return QByteArray(); }, 60000);
    server->setConnectPort(silent.port());

    const int burst = int(UserList::UnknownUserBurst);
    int made = 0, next = 0;
    const auto flood = [&](int n) {
        for (int i = 0; i < n; ++i, ++next)
            if (roster->UpdateUserDataWithUDP(
                    hello(QStringLiteral("F%1").arg(next), crowdAddress(next % 2000))))
                ++made;
    };
    flood(3 * burst);
    EXPECT_EQ(made, burst);
    now = now.addMSecs(500);
    flood(100);
    EXPECT_EQ(made, burst + int(UserList::UnknownUsersPerSecond / 2));
    now = now.addSecs(3600);
    flood(2 * burst);
    EXPECT_EQ(made, 2 * burst + int(UserList::UnknownUsersPerSecond / 2));
    // A known user is never refused.
    EXPECT_NE(roster->UpdateUserDataWithUDP(hello(QStringLiteral("F0"), crowdAddress(0))), nullptr);

    spinFor(1000);
    EXPECT_LE(server->outgoingConnectionCount(), TCPserver::MaxInfoRequestsInFlight);
    EXPECT_LE(silent.maxOpen(), TCPserver::MaxInfoRequestsInFlight);
    EXPECT_GE(server->waitingPacketCount(), made - TCPserver::MaxInfoRequestsInFlight);
}

// A message from an unknown sender while no user can be made is refused with a reset, so its
// sender keeps it; it is taken once a place is free again.
TEST_F(TCPserverLimitsTest, AMessageFromAnUnknownSenderWithNoPlaceLeftIsRefusedNotLost) {
    QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, QTimeZone::utc());
    Clock::setNowFunction([&now] { return now; });
    for (int i = 0; i < int(UserList::UnknownUserBurst); ++i) ASSERT_TRUE(roster->admitUnknownUser());
    const rawnet::ExchangeEnd refused = rawnet::exchangeWithEnd(port, line(tsm("A000000077", "8001")));
    EXPECT_TRUE(refused.reset);
    EXPECT_TRUE(refused.reply.isEmpty());
    EXPECT_EQ(Message::findByMessageId(ctx, 8001), nullptr);

    now = now.addSecs(1);
    const rawnet::ExchangeEnd taken = rawnet::exchangeWithEnd(port, line(tsm("A000000077", "8001")));
    EXPECT_FALSE(taken.reset);
    EXPECT_TRUE(isReceipt(taken.reply));
    EXPECT_NE(Message::findByMessageId(ctx, 8001), nullptr);
}

// A benchmark of a larger office raises the burst of its own roster; the rate stays, and the
// product's roster keeps its burst.
TEST(UnknownUserBurstTest, ARaisedBurstAdmitsThatManyAtOnceAndRefillsAtTheSameRate) {
    QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, QTimeZone::utc());
    Clock::setNowFunction([&now] { return now; });
    UserList plain, raised;
    raised.setUnknownUserBurst(2.5 * UserList::UnknownUserBurst);
    EXPECT_EQ(plain.unknownUserBurst(), UserList::UnknownUserBurst);
    const auto admitAll = [](UserList &list) {
        int n = 0;
        while (n < 100000 && list.admitUnknownUser()) ++n;
        return n;
    };
    EXPECT_EQ(admitAll(plain), int(UserList::UnknownUserBurst));
    EXPECT_EQ(admitAll(raised), int(2.5 * UserList::UnknownUserBurst));
    now = now.addSecs(1);
    EXPECT_EQ(admitAll(raised), int(UserList::UnknownUsersPerSecond));
    now = now.addSecs(3600);
    EXPECT_EQ(admitAll(raised), int(2.5 * UserList::UnknownUserBurst));
    Clock::setNowFunction({});
}

} // namespace
