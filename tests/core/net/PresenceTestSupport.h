#pragma once

#include "core/model/Group.h"
#include "core/model/Me.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "core/wire/KDTPacket.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/Clock.h"
#include "platform/store/ManagedObjectContext.h"
#include "platform/system/IdleTime.h"
#include "support/EventLoopWait.h"

#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A plain datagram socket standing in for a peer copy.
class RawPeer {
public:
    explicit RawPeer(const char *address = "127.0.0.1", std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = inet_addr(address);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        socklen_t len = sizeof sa;
        if (ok_) ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~RawPeer() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }
    void close() {
        ::close(fd_);
        fd_ = -1;
    }

    void sendTo(std::uint16_t port, const QByteArray &bytes, const char *address = "127.0.0.1") const {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = inet_addr(address);
        ::sendto(fd_, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<sockaddr *>(&sa),
                 sizeof sa);
    }
    // Datagrams received while the main loop runs, until `count` arrived or the bound passed.
    QList<QByteArray> collect(int count, int timeoutMs = 3000) {
        waitUntil(
            [&] {
                drain();
                return received_.size() >= count;
            },
            timeoutMs);
        return take();
    }
    // How many arrived so far, keeping them for take().
    int available() {
        drain();
        return int(received_.size());
    }
    QList<QByteArray> take() {
        drain();
        QList<QByteArray> out = received_;
        received_.clear();
        return out;
    }

private:
    void drain() {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n < 0) break;
            received_.append(QByteArray(buffer, int(n)));
        }
    }
    int fd_ = -1;
    bool ok_ = false;
    std::uint16_t port_ = 0;
    QList<QByteArray> received_;
};

// A roster over its own store file with a local user, a fixed clock, no input idleness and
// information requests recorded instead of sent.
class PresenceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000);
        Clock::setNowFunction([this] { return now; });
        IdleTime::setSource([] { return std::optional<double>(0.0); });
        KDTPacket::resetRecentIds();
        Defaults::standard().setValue(QStringLiteral("autoAwayEnabled"), false);
        Defaults::standard().removeObject(QStringLiteral("broadcasts"));
        MessageForForwarding::setSendOnUserInHandler([](User *) {});
        UserList::setInfoRequestFunction([this](User *u) { requests.push_back(u->userId()); });
        ctx = std::make_unique<ManagedObjectContext>(UserListModel::model());
        StoreError error;
        ASSERT_TRUE(ctx->open(dir.filePath(QStringLiteral("presence.storedata")), &error));
        list = std::make_unique<UserList>();
        list->setContext(ctx.get());
        UserList::setShared(list.get());
        list->updateMe();
        me = list->me();
        ASSERT_NE(me, nullptr);
        me->setName(QStringLiteral("Local Person"));
    }
    void TearDown() override {
        settle(); // what this test left for the main queue runs here, not in the next test
        server.reset();
        UDPserver::setDefaultBroadcastsFunction({});
        UserList::setShared(nullptr);
        UserList::setInfoRequestFunction({});
        UserList::setNetworkingSwitch({});
        list.reset();
        Me::setCurrent(nullptr);
        ctx.reset();
        MessageForForwarding::setSendOnUserInHandler({});
        IdleTime::setSource({});
        Clock::setNowFunction({});
        Defaults::standard().removeObject(QStringLiteral("broadcasts"));
    }

    // Runs what the roster left for the main queue's next turn (information requests).
    static void settle() { spinFor(30); }

    User *addUser(const QString &id, const QString &ip, const QString &status,
                  const QString &name = QString()) {
        User *u = ctx->insert<User>();
        u->setUserId(id);
        u->setIp(ip);
        u->setStatus(status);
        if (!name.isEmpty()) u->setName(name);
        u->setGroup(Group::general(ctx.get()));
        return u;
    }

    // A received presence array: the 15 fields with the sender's address appended.
    static QStringList presence(const QString &word, const QString &status, const QString &id,
                                const QString &to, const QString &name, const QString &session,
                                const QString &address, const QString &version = QStringLiteral("5.1.0")) {
        return {word,
                status,
                QStringLiteral("pc-") + id,
                id,
                QStringLiteral("*"),
                to,
                QStringLiteral("1"),
                name,
                session,
                QStringLiteral("0"),
                QStringLiteral("5"),
                QStringLiteral("0"),
                QStringLiteral("1"),
                QStringLiteral("*"),
                version,
                address};
    }

    QTemporaryDir dir;
    QDateTime now;
    std::unique_ptr<ManagedObjectContext> ctx;
    std::unique_ptr<UserList> list;
    std::unique_ptr<UDPserver> server;
    Me *me = nullptr;
    std::vector<QString> requests;
};
