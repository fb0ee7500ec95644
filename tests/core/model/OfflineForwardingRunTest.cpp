// Delivery runs of held copies: the "TSFM" and "TSFMM" fields, the 350 ms spacing, what a run
// skips or drops, the 70 s retry and the arrival delay; "UOMFR" from the recipient; a delivery
// from an author this copy never met.
#include "core/model/OfflineForwardingSupport.h"
#include "core/net/UDPserver.h"

namespace {

const QString kBob = QStringLiteral("A000000002");
const QString kCarol = QStringLiteral("A000000003");
const QString kDave = QStringLiteral("A000000004");

class OfflineForwardingRunTest : public ForwardingFixture {
protected:
    void SetUp() override {
        ForwardingFixture::SetUp();
        bob = peer(kBob, QStringLiteral("Bob"));
        carol = peer(kCarol, QStringLiteral("Carol"), QStringLiteral("127.0.0.3"));
        dave = peer(kDave, QStringLiteral("Dave"), QStringLiteral("127.0.0.4"), false);
        scheduled.clear();
    }
    User *bob = nullptr, *carol = nullptr, *dave = nullptr;
};

TEST_F(OfflineForwardingRunTest, ARunDeliversOldestFirstToOnlineRecipients350msApart) {
    // Held for Bob by the author Carol; for Carol and Dave (offline) by Bob; a mass one for both.
    MessageForForwarding *late = hold(30, carol, {bob}, 1'700'000'300, QStringLiteral("third"));
    MessageForForwarding *early = hold(10, bob, {carol, dave}, 1'700'000'100, QStringLiteral("first"));
    MessageForForwarding *mass = hold(20, bob, {carol, bob}, 1'700'000'200, QStringLiteral("second"), true);
    hold(40, bob, {dave}, 1'700'000'050); // Dave is offline: not matched by the timer run
    MessageForForwarding *last = hold(50, carol, {bob}, 1'700'000'400, QStringLiteral("fourth"));
    MessageForForwarding::sendOnTimer();
    EXPECT_EQ(delays(), (std::vector<int>{0, 350, 700, 1050, 1400}));
    EXPECT_TRUE(sent.empty()); // each one waits for its turn
    runScheduled();
    ASSERT_EQ(sent.size(), 5u);
    const QString my = me->userId();
    const QList<std::tuple<QStringList, User *, MessageForForwarding *>> expected = {
        {{"TSFM", "10", "1700003700", my, "Bob", kCarol, "first", kBob}, carol, early},
        {{"TSFMM", "20", "1700003800", my, "Bob", kCarol, "second", kBob}, carol, mass},
        {{"TSFMM", "20", "1700003800", my, "Bob", kBob, "second", kBob}, bob, mass},
        {{"TSFM", "30", "1700003900", my, "Carol", kBob, "third", kCarol}, bob, late},
        {{"TSFM", "50", "1700004000", my, "Carol", kBob, "fourth", kCarol}, bob, last},
    };
    for (size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sent[i].fields, std::get<0>(expected[int(i)]));
        EXPECT_EQ(sent[i].to, std::get<1>(expected[int(i)]));
        EXPECT_EQ(sent[i].attached, std::get<2>(expected[int(i)]));
    }
    EXPECT_EQ(held().size(), 5); // nothing goes before a recipient confirms
}

TEST_F(OfflineForwardingRunTest, WhatARunSkipsKeepsOrDrops) {
    MessageForForwarding *nameless = hold(1, peer("A000000009", QString()), {carol}, 1'700'000'001);
    MessageForForwarding *orphan = hold(2, nullptr, {carol}, 1'700'000'002); // its author was deleted
    MessageForForwarding *garbled = hold(3, bob, {carol}, 1'700'000'003);
    garbled->setMessage(QByteArray("not a ciphertext"));
    MessageForForwarding *fine = hold(4, bob, {carol}, 1'700'000'004);
    scheduled.clear();
    MessageForForwarding::sendOnTimer();
    // The nameless author's copy goes out with "*"; the two that cannot be framed are dropped,
    // and still count in the spacing.
    EXPECT_FALSE(nameless->isDeleted());
    EXPECT_TRUE(orphan->isDeleted());
    EXPECT_TRUE(garbled->isDeleted());
    EXPECT_FALSE(fine->isDeleted());
    EXPECT_EQ(delays(), (std::vector<int>{0, 1050}));
    EXPECT_FALSE(ctx->hasChanges()); // the drop is saved
    // A second run while those wait queues nothing twice.
    MessageForForwarding::sendOnTimer();
    EXPECT_EQ(scheduled.size(), 2u);
    // Confirmed meanwhile (another holder's delivery announced), or gone offline: not sent.
    nameless->removeRecipientsObject(carol);
    runScheduled();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].fields[1], "4");
    EXPECT_EQ(MessageForForwarding::pendingDeliveries(), 0);
    sent.clear();
    MessageForForwarding::sendOnTimer();
    ASSERT_EQ(scheduled.size(), 1u);
    carol->setStatus(QStringLiteral("10"));
    runScheduled();
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(fine->isDeleted());
}

TEST_F(OfflineForwardingRunTest, OneRunIsBoundedAndTheRestGoInTheNext) {
    for (int i = 0; i < MessageForForwarding::MaxDeliveriesPerRun + 50; ++i)
        hold(1000 + i, bob, {carol}, 1'700'000'000 + i);
    MessageForForwarding::sendOnTimer();
    ASSERT_EQ(int(scheduled.size()), MessageForForwarding::MaxDeliveriesPerRun);
    EXPECT_EQ(scheduled.back().delayMs, (MessageForForwarding::MaxDeliveriesPerRun - 1) * 350);
    EXPECT_LE(scheduled.back().delayMs, int(MessageForForwarding::RetryInterval * 1000));
    runScheduled();
    EXPECT_EQ(sent.front().fields[1], "1000"); // oldest first
    EXPECT_EQ(sent.back().fields[1], QString::number(1000 + MessageForForwarding::MaxDeliveriesPerRun - 1));
    // Nothing was confirmed: the next run goes on behind the last one, then from the front.
    sent.clear();
    MessageForForwarding::sendOnTimer();
    ASSERT_EQ(int(scheduled.size()), MessageForForwarding::MaxDeliveriesPerRun);
    runScheduled();
    EXPECT_EQ(sent.front().fields[1], QString::number(1000 + MessageForForwarding::MaxDeliveriesPerRun));
    EXPECT_EQ(sent[50].fields[1], "1000");
}

TEST_F(OfflineForwardingRunTest, TheRetryTimerRunsEvery70Seconds) {
    hold(5, bob, {carol}, 1'700'000'000);
    MessageForForwarding::ensureRetryTimer();
    Timer *timer = MessageForForwarding::retryTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_DOUBLE_EQ(timer->interval(), 70.0);
    // The date of the next run is 70 s from its start on the injected wall clock.
    const QDateTime t0 = QDateTime::fromMSecsSinceEpoch(1'800'000'000'000, QTimeZone::utc());
    Timer::setNowFunction([t0] { return t0; });
    timer->fire();
    EXPECT_TRUE(timer->isValid()); // it repeats
    EXPECT_EQ(timer->fireDate(), t0.addSecs(70));
    Timer::setNowFunction({});
    ASSERT_EQ(delays(), std::vector<int>{0});
    runScheduled();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, carol);
    EXPECT_EQ(MessageForForwarding::retryTimer(), timer); // one for the process
}

TEST_F(OfflineForwardingRunTest, AUserComingOnlineReleasesCopiesForItsNameAfterARandomDelay) {
    User *otherCarol = peer("A000000008", QStringLiteral("Carol"), QStringLiteral("127.0.0.8"));
    hold(6, bob, {dave}, 1'700'000'000);
    hold(7, bob, {otherCarol, dave}, 1'700'000'001);
    std::vector<quint32> bounds;
    MessageForForwarding::setRandomSource([&](quint32 bound) {
        bounds.push_back(bound);
        return bound - 1;
    });
    scheduled.clear();
    dave->setStatus(QStringLiteral("0"));
    // Bob, Carol, the other Carol and Dave are online: up to 4 s.
    EXPECT_EQ(bounds, std::vector<quint32>{4000});
    EXPECT_EQ(delays(), std::vector<int>{3999});
    runScheduled();
    // Both copies wait for a "Dave"; the second goes to all its online recipients.
    EXPECT_EQ(delays(), (std::vector<int>{0, 350, 700}));
    runScheduled();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].to, dave);
    EXPECT_EQ(sent[1].to, otherCarol);
    EXPECT_EQ(sent[2].to, dave);
    // Matching is by name: a "Carol" coming online releases the copy of the other Carol too.
    bounds.clear();
    carol->setStatus(QStringLiteral("0"));
    runScheduled();
    EXPECT_EQ(delays(), (std::vector<int>{0, 350}));
    // Dave alone online: below one second.
    for (User *u : {bob, carol, otherCarol}) u->setStatus(QStringLiteral("10"));
    scheduled.clear();
    bounds.clear();
    dave->setStatus(QStringLiteral("0"));
    EXPECT_EQ(bounds, std::vector<quint32>{1000});
    EXPECT_EQ(delays(), std::vector<int>{999});
}

TEST_F(OfflineForwardingRunTest, UomfrDropsOnlyTheAnnouncingUserFromCopiesOfThatId) {
    UDPserver udp(0, 0);
    MessageForForwarding *forCarol = hold(88, bob, {carol}, 1'700'000'000);
    MessageForForwarding *forBoth = hold(88, bob, {carol, dave}, 1'700'000'001);
    MessageForForwarding *other = hold(89, bob, {carol}, 1'700'000'002);
    MessageForForwarding *forDave = hold(90, bob, {dave}, 1'700'000'003);
    saveContextIfChanged();
    const auto uomfr = [](const QString &id, const QString &from, int fields = 9) {
        PacketArray a = {"UOMFR", id, "pc", from, "*", "*", "*", "*", "4242"};
        a.resize(fields);
        return KDTPacket::PlainPackeFromArray(a);
    };
    struct Case {
        const char *what;
        QByteArray datagram;
    };
    // None of these drops anything.
    const QList<Case> ignored = {
        {"an id that is no number", uomfr("x88", kCarol)},
        {"an empty id", uomfr("*", kCarol)},
        {"eight fields", uomfr("88", kCarol, 8)},
        {"Dave for an id he is not waiting for", uomfr("89", kDave)},
        {"garbage", QByteArray("nonsense\x1f\x1f")},
    };
    for (const Case &c : ignored) {
        SCOPED_TRACE(c.what);
        udp.handleDatagram(c.datagram, QStringLiteral("127.0.0.3"));
        EXPECT_EQ(forCarol->recipients(), QList<User *>{carol});
        EXPECT_EQ(forBoth->recipients(), (QList<User *>{carol, dave}));
        EXPECT_EQ(other->recipients(), QList<User *>{carol});
        EXPECT_EQ(forDave->recipients(), QList<User *>{dave});
    }
    // Carol announces 88: she leaves both copies of 88; the one left without anyone goes.
    udp.handleDatagram(uomfr("88", kCarol), QStringLiteral("127.0.0.3"));
    EXPECT_TRUE(forCarol->isDeleted());
    EXPECT_FALSE(forBoth->isDeleted());
    EXPECT_EQ(forBoth->recipients(), QList<User *>{dave});
    EXPECT_EQ(other->recipients(), QList<User *>{carol});
    EXPECT_EQ(forDave->recipients(), QList<User *>{dave});
    EXPECT_FALSE(ctx->hasChanges()); // saved
}

TEST_F(OfflineForwardingRunTest, ADeliveryFromAnUnknownAuthorIsStoredNotLost) {
    const PacketArray delivery = {"TSFM", "901",        "1700003600", kBob,
                                  "Zed",  me->userId(), "from Zed",   "A000000077"};
    const PacketArray reply = Message::gotMessage(delivery, QStringLiteral("127.0.0.2"));
    ASSERT_EQ(reply.size(), 8);
    EXPECT_EQ(reply[0].toString(), "TMR");
    Message *m = Message::findByMessageId(ctx, 901);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->offline());
    EXPECT_EQ(m->message(), QStringLiteral("from Zed"));
    User *zed = roster->getUserById(QStringLiteral("A000000077"), QString());
    ASSERT_NE(zed, nullptr);
    EXPECT_EQ(m->user(), QList<User *>{zed});
    EXPECT_EQ(zed->name(), QStringLiteral("Zed"));
    EXPECT_TRUE(zed->userOffline());
    EXPECT_EQ(m->time().toSecsSinceEpoch(), 1700000000);
    EXPECT_EQ(announced, std::vector<qint64>{901});
    // Before the roster is set up nothing can be stored, so there is no receipt either.
    UserList::setShared(nullptr);
    const PacketArray early = {"TSFM", "903", "1700003600", kBob, "Bob", me->userId(), "too early", kBob};
    EXPECT_TRUE(Message::gotMessage(early, QStringLiteral("127.0.0.2")).isEmpty());
    UserList::setShared(roster.get());
    EXPECT_EQ(Message::findByMessageId(ctx, 903), nullptr);
    // Times far out of range are bounded, not overflowed.
    const PacketArray wild = {"TSFM", "902",       "99999999999999999999999", kBob, "Zed", me->userId(),
                              "x",    "A000000077"};
    Message::gotMessage(wild, QStringLiteral("127.0.0.2"));
    ASSERT_NE(Message::findByMessageId(ctx, 902), nullptr);
    EXPECT_TRUE(Message::findByMessageId(ctx, 902)->time().isValid());
}

} // namespace
