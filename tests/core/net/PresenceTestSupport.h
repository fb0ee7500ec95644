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
