#include "core/net/TCPserverTestSupport.h"
#include "core/wire/TextCodec.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/store/Clock.h"

namespace {

class UserOperationsTest : public MessagingFixture {};

struct PeerCase {
    const char *version;
    const char *os;
    bool utf8;
    bool canCall;
};

TEST_F(UserOperationsTest, WhatAPeerTakesFollowsItsVersionAndSystem) {
    const QList<PeerCase> cases = {
        {"", "", false, false},
        {"9.1", "Microsoft Windows 7 Professional", false, false},
        {"10.0", "Microsoft Windows 7 Professional", true, true},
        {"10.2", "Windows Server 2008 R2 Standard", true, true},
        {"10.2", "Windows 6 x", true, false},
        {"10", "Windows 10", true, false}, // no blank after the number: no match
        {"5.2", "Mac OS X Version 10.14.6 (Build 18G103)", true, false},
        {"5.2", "Mac OS X Version 10.15.7 (Build 19H2)", true, true},
        {"5.2", "Mac OS X Version 11.2 (Build 20D64)", true, true},
        {"3.9", "Mac OS X Version 12.1 (Build 21C52)", false, false},
        {"", "Mac OS X Version 12.1 (Build 21C52)", false, false},
        {"12", "Linux 6.1 x", false, false},
    };
    for (const PeerCase &c : cases) {
        SCOPED_TRACE(std::string(c.version) + " / " + c.os);
        User *u = peer(QStringLiteral("A000000009"), QStringLiteral("P"));
        u->setVersion(QString::fromUtf8(c.version));
        u->setOSversion(QString::fromUtf8(c.os));
        EXPECT_EQ(u->UTF8compatible(), c.utf8);
        EXPECT_EQ(u->canCall(), c.canCall);
        EXPECT_EQ(u->canCallCache(), (c.version[0] || c.os[0]) ? int(c.canCall) : -1);
    }
}

TEST_F(UserOperationsTest, CanCallIsCachedUntilReset) {
    User *u = peer(QStringLiteral("A000000009"), QStringLiteral("P"));
    EXPECT_FALSE(u->canCall()); // nothing known: asked again next time
    u->setVersion(QStringLiteral("10.1"));
    u->setOSversion(QStringLiteral("Windows 10 Pro"));
    EXPECT_TRUE(u->canCall());
    u->setVersion(QStringLiteral("9.0"));
    EXPECT_TRUE(u->canCall());
    u->resetCanCall();
    EXPECT_FALSE(u->canCall());
}

TEST_F(UserOperationsTest, MessageIdsJoinTwoDecimals) {
    QList<quint32> draws = {123, 4567, 0, 0, 9999998, 9999998, 10, 5};
    User::setRandomSource([&](quint32 bound) {
        EXPECT_EQ(bound, 9999999u);
        return draws.takeFirst();
    });
    EXPECT_EQ(User::genInt64random(), 1234567);
    EXPECT_EQ(User::genInt64random(), 0);
    EXPECT_EQ(User::genInt64random(), Q_INT64_C(99999989999998));
    EXPECT_EQ(User::genInt64random(), 105);
    User::setRandomSource({});
    for (int i = 0; i < 100; ++i) {
        const qint64 id = User::genInt64random();
        EXPECT_GE(id, 0);
        EXPECT_LE(id, Q_INT64_C(99999989999998));
    }
}

TEST_F(UserOperationsTest, TypingNoticesAreThrottledToOneEachTwoSeconds) {
    QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000);
    Clock::setNowFunction([&] { return now; });
    int notices = 0;
    User::setTypingNoticeSender([&](User *) { ++notices; });
    User *u = peer(QStringLiteral("A000000009"), QStringLiteral("P"));
    const QDateTime start = now;
    u->sendIsTyping();
    now = start.addMSecs(1000);
    u->sendIsTyping();
    now = start.addMSecs(2000);
    u->sendIsTyping();
    EXPECT_EQ(notices, 1);
    now = start.addMSecs(2500);
    u->sendIsTyping();
    EXPECT_EQ(notices, 2);
    User::setTypingNoticeSender({});
    Clock::setNowFunction({});
}

TEST_F(UserOperationsTest, PacketsOfTheUserOperations) {
    User *bob = peer(QStringLiteral("A000000002"), QStringLiteral("Bob"));
    auto *m = ctx->insert<Message>();
    m->setMessageId(Q_INT64_C(12345678901234));
    m->setMessage(QStringLiteral("a\u00a6b Ω"));
    const PacketArray tsm = User::messagePacket(m, bob);
    ASSERT_EQ(tsm.size(), 8);
    EXPECT_EQ(tsm.at(0).toString(), QStringLiteral("TSM"));
    EXPECT_EQ(tsm.at(1).toString(), QStringLiteral("12345678901234"));
    EXPECT_EQ(tsm.at(2).toString(), QStringLiteral("pc-alice"));
    EXPECT_EQ(tsm.at(3).toString(), QStringLiteral("A000000001"));
    EXPECT_EQ(tsm.at(4).toString(), QStringLiteral("*"));
    EXPECT_EQ(tsm.at(5).toString(), QStringLiteral("A000000002"));
    EXPECT_TRUE(tsm.at(6).isData());
    EXPECT_EQ(tsm.at(6).toData(), QByteArray("a\xc2\x01"
                                             "b \xce\xa9\x1f"));
    EXPECT_EQ(tsm.at(7).toString(), QStringLiteral("*"));
    m->setMass(true);
    EXPECT_EQ(User::messagePacket(m, bob).at(0).toString(), QStringLiteral("TMM"));

    const PacketArray tri = User::infoRequestPacket(bob);
    QStringList fields;
    for (const PacketField &f : tri) fields.append(f.toString());
    EXPECT_EQ(fields, (QStringList{"TRI", "*", "pc-alice", "A000000001", "*", "A000000002", "*", "*"}));
}

TEST_F(UserOperationsTest, AMassMessageIsStoredOnceAndOfflineUsersAreHandedOver) {
    User *bob = peer(QStringLiteral("A000000002"), QStringLiteral("Bob"));
    User *carol =
        peer(QStringLiteral("A000000003"), QStringLiteral("Carol"), QStringLiteral("127.0.0.3"), false);
    std::vector<const void *> updated;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("logUpdated"), nullptr, [&](const Notification &n) { updated.push_back(n.object); });
    Message *m = bob->SendMessage(QStringLiteral("to both"), QList<User *>{bob, carol});
    NotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->mass());
    EXPECT_FALSE(m->incoming());
    EXPECT_EQ(m->originalSenderName(), QStringLiteral("Alice"));
    EXPECT_EQ(m->user(), (QList<User *>{bob, carol}));
    EXPECT_FALSE(m->isInserted()); // saved before anything is sent
    ASSERT_EQ(handOvers.size(), 1u);
    EXPECT_EQ(handOvers[0].second, m);
    EXPECT_EQ(updated, (std::vector<const void *>{bob, carol}));
    EXPECT_EQ(all<Message>().size(), 1);
}

TEST_F(UserOperationsTest, AMessageToOneselfIsShownAtOnce) {
    Message *m = me->SendMessage(QStringLiteral("note to self"));
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(m->mass());
    EXPECT_EQ(m->user(), QList<User *>{me});
    ASSERT_EQ(ui.conversations.size(), 1u);
    EXPECT_EQ(ui.conversations[0].first, me);
    EXPECT_TRUE(ui.conversations[0].second);
    EXPECT_EQ(ui.sounds, QStringList{QStringLiteral("Message")});
}

} // namespace
