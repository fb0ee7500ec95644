// Messages for offline recipients at the author: which held copies it keeps, and the "TSOM" and
// "TSOMM" hand-overs to every online user; a holder storing one and delivering it again.
#include "core/model/OfflineForwardingSupport.h"

#include "core/app/ErrorPresenter.h"
#include "platform/store/Clock.h"
#include "support/FileSizeLimit.h"

#include <QSet>

namespace {

const QString kBob = QStringLiteral("A000000002");
const QString kCarol = QStringLiteral("A000000003");
const QString kDave = QStringLiteral("A000000004");
const QString kErin = QStringLiteral("A000000005");

class OfflineForwardingHandOverTest : public ForwardingFixture {
protected:
    void SetUp() override {
        ForwardingFixture::SetUp();
        bob = peer(kBob, QStringLiteral("Bob"));
        carol = peer(kCarol, QStringLiteral("Carol"), QStringLiteral("127.0.0.3"), false);
        dave = peer(kDave, QStringLiteral("Dave"), QStringLiteral("127.0.0.4"));
        erin = peer(kErin, QStringLiteral("Erin"), QStringLiteral("127.0.0.5"), false);
    }
    User *bob = nullptr, *carol = nullptr, *dave = nullptr, *erin = nullptr;
};

struct SendCase {
    const char *what;
    QStringList to;       // recipients by name; more than one makes a mass message
    QStringList offline;  // users offline when it is sent
    QStringList heldFor;  // offline recipients, each with a held copy at the author
    QStringList holders;  // who gets each hand-over
    QStringList awaiting; // online recipients the author holds it for until they confirm
};

TEST_F(OfflineForwardingHandOverTest, OfflineRecipientsAreHeldAndHandedToEveryOnlineUser) {
    const QList<SendCase> cases = {
        {"one offline recipient, two online users",
         {"Carol"},
         {"Carol", "Erin"},
         {"Carol"},
         {"Bob", "Dave"},
         {}},
        {"mass with two offline recipients",
         {"Bob", "Carol", "Erin"},
         {"Carol", "Erin"},
         {"Carol", "Erin"},
         {"Bob", "Dave"},
         {"Bob"}},
        {"nobody else online", {"Carol"}, {"Bob", "Carol", "Dave", "Erin"}, {"Carol"}, {}, {}},
        {"an online recipient", {"Bob"}, {"Carol", "Erin"}, {}, {}, {"Bob"}},
        {"mass, everyone online", {"Bob", "Dave"}, {"Carol", "Erin"}, {}, {}, {"Bob", "Dave"}},
    };
    const QHash<QString, User *> byName = {{"Bob", bob}, {"Carol", carol}, {"Dave", dave}, {"Erin", erin}};
    for (const SendCase &c : cases) {
        SCOPED_TRACE(c.what);
        for (MessageForForwarding *m : held()) ctx->deleteObject(m);
        sent.clear();
        for (auto it = byName.begin(); it != byName.end(); ++it)
            it.value()->setStatus(c.offline.contains(it.key()) ? QStringLiteral("10") : QStringLiteral("0"));
        QList<User *> to;
        for (const QString &n : c.to) to.append(byName.value(n));
        Message *m = to.size() > 1 ? to.first()->SendMessage(QStringLiteral("while you were out"), to)
                                   : to.first()->SendMessage(QStringLiteral("while you were out"));
        ASSERT_NE(m, nullptr);

        // One copy per offline recipient, kept by the author under the id its holders got.
        QHash<QString, qint64> idFor;
        QStringList awaiting;
        for (MessageForForwarding *h : held()) {
            // The author's copy for the online recipients, under the message's own id, saved
            // with the message before any packet left.
            const QList<User *> waiting = h->recipients();
            const bool forOnline =
                std::none_of(waiting.begin(), waiting.end(), [](const User *u) { return u->userOffline(); });
            if (forOnline) {
                EXPECT_EQ(h->messageId(), m->messageId());
                EXPECT_EQ(h->sender(), me);
                EXPECT_FALSE(h->isInserted());
                for (const User *u : h->recipients()) awaiting.append(u->name());
                continue;
            }
            ASSERT_EQ(h->recipients().size(), 1);
            EXPECT_EQ(h->sender(), me);
            EXPECT_EQ(h->mass(), m->mass());
            EXPECT_EQ(h->time(), m->time());
            EXPECT_EQ(KDTAES::decryptString(h->message(), true), QStringLiteral("while you were out"));
            idFor.insert(h->recipients().first()->name(), h->messageId());
        }
        QStringList heldFor = idFor.keys();
        heldFor.sort();
        EXPECT_EQ(heldFor, c.heldFor);
        awaiting.sort();
        EXPECT_EQ(awaiting, c.awaiting);
        if (c.to.size() == 1 && !c.heldFor.isEmpty()) {
            EXPECT_EQ(idFor.value(c.heldFor.first()), m->messageId());
        }
        if (c.to.size() > 1) {
            const QList<qint64> ids = idFor.values();
            EXPECT_EQ(QSet<qint64>(ids.begin(), ids.end()).size(), ids.size()); // a new id each
            EXPECT_FALSE(ids.contains(m->messageId()));
        }

        // Each holder gets one hand-over per offline recipient, under that recipient's id.
        ASSERT_EQ(sent.size(), size_t(c.heldFor.size() * c.holders.size()));
        for (const SentPacket &p : sent) {
            ASSERT_EQ(p.fields.size(), 8);
            EXPECT_EQ(p.attached, nullptr);
            EXPECT_TRUE(c.holders.contains(p.to->name()));
            EXPECT_EQ(p.fields[0], m->mass() ? "TSOMM" : "TSOM");
            EXPECT_EQ(p.fields[5], p.to->userId());
            User *waiting = roster->getUserById(p.fields[1], QString());
            ASSERT_NE(waiting, nullptr);
            EXPECT_EQ(p.fields[2], QString::number(idFor.value(waiting->name())));
        }
    }
}

TEST_F(OfflineForwardingHandOverTest, TheHandOverFieldByField) {
    Message *m = ctx->insert<Message>();
    m->setMessageId(12345678901234);
    m->setMessage(QStringLiteral("a\u00a6b Ω"));
    m->setTime(QDateTime::fromMSecsSinceEpoch(1'700'000'000'250, QTimeZone::utc()));
    m->addUserObject(carol);
    offset = 7200.0;
    const PacketArray a = User::handOverPacket(m, carol, 555, bob);
    ASSERT_EQ(a.size(), 8);
    EXPECT_EQ(a[0].toString(), "TSOM");
    EXPECT_EQ(a[1].toString(), kCarol);
    EXPECT_EQ(a[2].toString(), "555");
    EXPECT_EQ(a[3].toString(), "A000000001");
    EXPECT_EQ(a[4].toString(), "1700007200.25"); // the author's wall clock, with its fraction
    EXPECT_EQ(a[5].toString(), kBob);
    ASSERT_TRUE(a[6].isData());
    EXPECT_EQ(a[6].toData(), QByteArray("a\xc2\x01"
                                        "b \xce\xa9\x1f"));
    EXPECT_EQ(a[7].toString(), "Alice");
    m->setMass(true);
    EXPECT_EQ(User::handOverPacket(m, carol, 555, bob)[0].toString(), "TSOMM");
    // The offset is read at each use: a change of the zone shows in the next packet.
    offset = -3600.0;
    EXPECT_EQ(User::handOverPacket(m, carol, 555, bob)[4].toString(), "1699996400.25");
    // An author without a name still hands over: "*" is the empty field.
    me->User::setName(QString());
    EXPECT_EQ(User::handOverPacket(m, carol, 555, bob)[7].toString(), "*");
}

TEST_F(OfflineForwardingHandOverTest, DeliveriesThatFailOneAfterAnotherHandEachRecipientOverOnce) {
    Message *m = bob->SendMessage(QStringLiteral("to both"), QList<User *>{bob, dave});
    ASSERT_NE(m, nullptr);
    // Only the author's copy that waits for both receipts.
    ASSERT_EQ(held().size(), 1);
    EXPECT_EQ(held()[0]->messageId(), m->messageId());
    EXPECT_EQ(held()[0]->recipients(), (QList<User *>{bob, dave}));
    // Dave's delivery fails: the TCP server sets him offline and hands the message over; the
    // waiting copy lets him go to a copy of his own.
    dave->setStatus(QStringLiteral("10"));
    dave->SendOfflineMessageIfNeeded(m);
    ASSERT_EQ(held().size(), 2);
    EXPECT_EQ(held()[0]->recipients(), QList<User *>{bob});
    EXPECT_EQ(held()[1]->recipients(), QList<User *>{dave});
    EXPECT_NE(held()[1]->messageId(), m->messageId());
    ASSERT_EQ(sent.size(), 1u); // to Bob, the one online
    // Then Bob's fails too: only Bob is new, and nothing waits for a receipt any more.
    bob->setStatus(QStringLiteral("10"));
    sent.clear();
    bob->SendOfflineMessageIfNeeded(m);
    ASSERT_EQ(held().size(), 2);
    EXPECT_EQ(held()[0]->recipients(), QList<User *>{dave});
    EXPECT_EQ(held()[1]->recipients(), QList<User *>{bob});
    EXPECT_TRUE(sent.empty()); // nobody left online to hold it
    // A one-user message handed over a second time is held once.
    Message *single = carol->SendMessage(QStringLiteral("once"));
    EXPECT_EQ(held().size(), 3);
    carol->SendOfflineMessageIfNeeded(single);
    EXPECT_EQ(held().size(), 3);
}

// Two messages to one offline user with the same text in the same millisecond (the pieces of a
// long paste of one repeated character) are two messages: each is held and handed over.
TEST_F(OfflineForwardingHandOverTest, TwoMessagesWithOneTextAndTimeAreEachHeld) {
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(1700000000250, QTimeZone::utc());
    Clock::setNowFunction([now] { return now; });
    Message *first = carol->SendMessage(QStringLiteral("===="));
    Message *second = carol->SendMessage(QStringLiteral("===="));
    Clock::setNowFunction({});
    ASSERT_TRUE(first && second);
    ASSERT_EQ(first->time(), second->time());
    QSet<qint64> heldIds;
    for (const MessageForForwarding *h : held())
        if (h->recipients() == QList<User *>{carol}) heldIds.insert(h->messageId());
    EXPECT_EQ(heldIds, (QSet<qint64>{first->messageId(), second->messageId()}));
    int handOvers = 0;
    for (const auto &s : sent) handOvers += s.fields.value(0) == QStringLiteral("TSOM");
    EXPECT_EQ(handOvers, 4); // each message to Bob and Dave
}

// A sent line shows as sent even when the disk is full; the user is told once that it lives only
// in memory, and told again after a message was stored in between.
TEST_F(OfflineForwardingHandOverTest, ASentMessageThatCannotBeStoredIsReportedOnceUntilOneIsStored) {
    struct Recorder : ErrorPresenter {
        void presentError(const AppError &error) override { errors.push_back(error); }
        std::vector<AppError> errors;
    } presented;
    ErrorPresenter::install(&presented);
    ASSERT_TRUE(saveContextIfChanged());
    const auto sendWithDiskFull = [&](const QString &text) {
        FileSizeLimit diskFull;
        ASSERT_TRUE(diskFull.active());
        ASSERT_NE(carol->SendMessage(text), nullptr);
    };
    sendWithDiskFull(QStringLiteral("one"));
    sendWithDiskFull(QStringLiteral("two"));
    EXPECT_TRUE(waitUntil([&] { return !presented.errors.empty(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(presented.errors.size(), 1u);
    // Room again: this one and the two before it are stored, and the next failure is told anew.
    ASSERT_NE(carol->SendMessage(QStringLiteral("three")), nullptr);
    EXPECT_FALSE(ctx->hasChanges());
    sendWithDiskFull(QStringLiteral("four"));
    EXPECT_TRUE(waitUntil([&] { return presented.errors.size() == 2u; }));
    EXPECT_EQ(presented.errors.back().domain, KDTAppDelegate::storeErrorDomain);
    ErrorPresenter::install(nullptr);
}

TEST_F(OfflineForwardingHandOverTest, AHolderStoresTheHandOverAndDeliversItAsTheAuthorsMessage) {
    // Bob (in another time zone, +1 h) hands over a message for Carol; this copy holds it.
    const PacketArray handOver = {"TSOM",
                                  kCarol,
                                  "777",
                                  kBob,
                                  "1700003600.75",
                                  me->userId(),
                                  encodeTextField(QStringLiteral("for Carol ✓")),
                                  "Bob"};
    const std::optional<PacketArray> onWire =
        KDTPacket::ArrayFromBase64AESdata(KDTPacket::PlainPackeFromArray(handOver));
    ASSERT_TRUE(onWire);
    offset = 0.0; // this copy is on GMT
    const PacketArray reply = Message::gotMessage(*onWire, QStringLiteral("127.0.0.1"));
    ASSERT_FALSE(reply.isEmpty());
    EXPECT_EQ(reply[0].toString(), "TMR");
    ASSERT_EQ(held().size(), 1);
    MessageForForwarding *copy = held()[0];
    EXPECT_EQ(copy->messageId(), 777);
    EXPECT_EQ(copy->sender(), bob);
    EXPECT_EQ(copy->recipients(), QList<User *>{carol});
    EXPECT_EQ(copy->time().toSecsSinceEpoch(), 1700003600);
    EXPECT_EQ(KDTAES::decryptString(copy->message(), true), QStringLiteral("for Carol ✓"));
    // Carol is back: the delivery carries the author's identity and this copy's wall clock.
    carol->setStatus(QStringLiteral("0"));
    runScheduled(); // the arrival delay
    ASSERT_EQ(scheduled.size(), 1u);
    runScheduled();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, carol);
    EXPECT_EQ(sent[0].attached, copy);
    EXPECT_EQ(sent[0].fields,
              (QStringList{"TSFM", "777", "1700003600", me->userId(), "Bob", kCarol, "for Carol ✓", kBob}));
}

} // namespace
