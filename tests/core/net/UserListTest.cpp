#include "PresenceTestSupport.h"

#include "core/app/AppInterface.h"
#include "core/model/LogEntry.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"

namespace {

class UserListTest : public PresenceFixture {};

const QString kStar = QStringLiteral("*");

// The sender before the packet: unknown, or known with a status.
enum class Known { No, Online0, Online1, Offline };

struct UpdateCase {
    const char *name;
    Known known;
    QString word;
    QString status;
    QString to;      // "*", "me" or another id
    QString session; // "*", "own" (the local session) or a number
    // expected
    bool result;
    QString statusAfter; // empty: no user stored
    int infoRequests;
};

TEST_F(UserListTest, UpdateUserDataWithUDPAppliesEachWord) {
    const QList<UpdateCase> cases = {
        // Unknown senders are created offline and asked for their details.
        {"UI from unknown", Known::No, "UI", "0", "*", "77", true, "10", 2},
        {"RL from unknown", Known::No, "RL", "0", "*", "77", true, "0", 1},
        {"SS busy from unknown", Known::No, "SS", "1", "*", "77", true, "10", 2},
        {"TP from unknown", Known::No, "TP", "*", "me", "*", true, "10", 1},
        {"UO from unknown", Known::No, "UO", "0", "*", "77", true, "10", 1},
        // A known user.
        {"UI available, was available", Known::Online0, "UI", "0", "*", "77", true, "0", 0},
        {"UI available, was offline", Known::Offline, "UI", "0", "*", "77", true, "10", 1},
        {"RL available, was offline", Known::Offline, "RL", "0", "*", "77", true, "0", 0},
        {"AL available, was offline", Known::Offline, "AL", "0", "me", "77", true, "0", 0},
        {"SS busy, was available", Known::Online0, "SS", "1", "*", "77", true, "0", 1},
        {"SS available, was busy", Known::Online1, "SS", "0", "*", "77", true, "0", 0},
        {"SS busy, was busy", Known::Online1, "SS", "1", "*", "77", true, "1", 0},
        {"UO, was available", Known::Online0, "UO", "0", "*", "77", true, "10", 0},
        {"UO under the local session", Known::Online0, "UO", "0", "*", "own", false, "0", 0},
        {"TP keeps the status", Known::Online1, "TP", "*", "me", "*", true, "1", 0},
        // Addressed to someone else: ignored, nothing created.
        {"AL for another user", Known::No, "AL", "0", "A222222222", "77", false, "", 0},
        {"TP for another user", Known::Online0, "TP", "*", "A222222222", "*", false, "0", 0},
        {"AL for me", Known::Online1, "AL", "0", "me", "77", true, "0", 0},
    };
    for (const UpdateCase &c : cases) {
        SCOPED_TRACE(c.name);
        requests.clear();
        const QString id = QStringLiteral("A1%1").arg(qHash(QString::fromLatin1(c.name)) % 100000000, 8, 10,
                                                      QLatin1Char('0'));
        User *before = nullptr;
        if (c.known != Known::No) {
            before = addUser(id, QStringLiteral("198.18.0.9"),
                             c.known == Known::Offline   ? QStringLiteral("10")
                             : c.known == Known::Online1 ? QStringLiteral("1")
                                                         : QStringLiteral("0"),
                             QStringLiteral("Known"));
        }
        const QString to = c.to == QLatin1String("me") ? me->userId() : c.to;
        const QString session =
            c.session == QLatin1String("own") ? QString::number(me->sessionId()) : c.session;
        User *got = list->UpdateUserDataWithUDP(presence(c.word, c.status, id, to, QStringLiteral("Peer"),
                                                         session, QStringLiteral("198.18.0.7")));
        settle();
        EXPECT_EQ(got != nullptr, c.result);
        User *stored = User::findByUserId(ctx.get(), id);
        if (c.statusAfter.isEmpty()) {
            EXPECT_EQ(stored, nullptr);
            continue;
        }
        ASSERT_NE(stored, nullptr);
        if (before) {
            EXPECT_EQ(stored, before);
        }
        if (got) {
            EXPECT_EQ(got, stored);
        }
        EXPECT_EQ(stored->status(), c.statusAfter);
        EXPECT_EQ(int(requests.size()), c.infoRequests);
        if (c.result) {
            EXPECT_EQ(stored->ip(), QStringLiteral("198.18.0.7")) << "the address follows the sender";
            EXPECT_EQ(stored->pc(), QStringLiteral("pc-") + id);
            EXPECT_EQ(stored->version(), QStringLiteral("5.1.0"));
            EXPECT_EQ(stored->seenLastTime(), now);
        }
        if (!before && c.result) {
            EXPECT_EQ(stored->group(), Group::general(ctx.get()));
        }
    }
}

struct OwnIdCase {
    const char *name;
    QString session; // "own" for the local session number
    bool stops;
};

TEST_F(UserListTest, OwnIdFromAnotherSessionStopsNetworking) {
    const QList<OwnIdCase> cases = {
        {"own broadcast heard back", "own", false},
        {"no session", "*", false},
        {"session 0", "0", false},
        {"another session", "123456789", true},
    };
    for (const OwnIdCase &c : cases) {
        SCOPED_TRACE(c.name);
        list->startEverything();
        std::vector<bool> switched;
        UserList::setNetworkingSwitch([&](bool on) { switched.push_back(on); });
        me->setIp(QStringLiteral("127.0.0.1"));
        const QString session =
            c.session == QLatin1String("own") ? QString::number(me->sessionId()) : c.session;
        const QString statusBefore = me->status();
        User *got = list->UpdateUserDataWithUDP(presence(QStringLiteral("UI"), QStringLiteral("1"),
                                                         me->userId(), kStar, QStringLiteral("Other"),
                                                         session, QStringLiteral("198.18.0.4")));
        EXPECT_EQ(list->networkingStopped(), c.stops);
        if (c.stops) {
            EXPECT_EQ(got, nullptr);
            EXPECT_EQ(switched, std::vector<bool>{false});
            EXPECT_EQ(me->ip(), QStringLiteral("127.0.0.1"));
        } else {
            EXPECT_EQ(got, me);
            EXPECT_TRUE(switched.empty());
            EXPECT_EQ(me->ip(), QStringLiteral("198.18.0.4")) << "the copy learns its own address";
        }
        EXPECT_EQ(me->status(), statusBefore) << "nothing else of the local user changes";
        EXPECT_EQ(me->name(), QStringLiteral("Local Person"));
        settle();
        EXPECT_TRUE(requests.empty());
    }
    UserList::setNetworkingSwitch({});
}

TEST_F(UserListTest, ShortArraysAreIgnored) {
    for (int fields = 0; fields <= 9; ++fields) {
        QStringList packet =
            presence(QStringLiteral("RL"), QStringLiteral("0"), QStringLiteral("A300000001"), kStar,
                     QStringLiteral("Peer"), QStringLiteral("5"), QStringLiteral("198.18.0.3"));
        const QString address = packet.takeLast();
        packet = packet.mid(0, fields);
        packet.append(address);
        User *got = list->UpdateUserDataWithUDP(packet);
        if (fields < 9) {
            EXPECT_EQ(got, nullptr) << fields << " fields";
            EXPECT_EQ(User::findByUserId(ctx.get(), QStringLiteral("A300000001")), nullptr)
                << fields << " fields";
        } else {
            ASSERT_NE(got, nullptr) << "nine fields are enough";
            EXPECT_TRUE(got->version().isEmpty()) << "field 14 is read only when it is there";
        }
    }
}

TEST_F(UserListTest, NoIdMeansNoUser) {
    for (const char *id : {"*", ""}) {
        EXPECT_EQ(list->UpdateUserDataWithUDP(presence(QStringLiteral("UI"), QStringLiteral("0"),
                                                       QString::fromLatin1(id), kStar, QStringLiteral("X"),
                                                       QStringLiteral("5"), QStringLiteral("198.18.0.3"))),
                  nullptr)
            << id;
    }
    EXPECT_EQ(list->allUsersWithoutOffline(false, true).size(), 0);
}

TEST_F(UserListTest, OnlyAnAnswerRenamesAKnownUser) {
    User *peer = addUser(QStringLiteral("A400000001"), QStringLiteral("198.18.0.5"), QStringLiteral("0"),
                         QStringLiteral("Old Name"));
    for (const char *word : {"SS", "UI", "RL", "UC", "UO", "TP"}) {
        list->UpdateUserDataWithUDP(presence(QString::fromLatin1(word), QStringLiteral("0"), peer->userId(),
                                             word == QByteArray("TP") ? me->userId() : kStar,
                                             QStringLiteral("New Name"), QStringLiteral("5"),
                                             QStringLiteral("198.18.0.5")));
        EXPECT_EQ(peer->name(), QStringLiteral("Old Name")) << word;
    }
    list->UpdateUserDataWithUDP(presence(QStringLiteral("AL"), QStringLiteral("0"), peer->userId(),
                                         me->userId(), QStringLiteral("New Name"), QStringLiteral("5"),
                                         QStringLiteral("198.18.0.5")));
    EXPECT_EQ(peer->name(), QStringLiteral("New Name"));
    // A user without a name takes it from any word.
    list->UpdateUserDataWithUDP(presence(QStringLiteral("SS"), QStringLiteral("0"),
                                         QStringLiteral("A400000002"), kStar, QStringLiteral("First"),
                                         QStringLiteral("5"), QStringLiteral("198.18.0.6")));
    EXPECT_EQ(User::findByUserId(ctx.get(), QStringLiteral("A400000002"))->name(), QStringLiteral("First"));
}

class SoundRecorder : public AppInterface {
public:
    void playSound(const QString &name) override { sounds << name; }
    QStringList sounds;
};

TEST_F(UserListTest, EveryAnnouncementOfAnotherUserPlaysTheOnlineSoundLater) {
    SoundRecorder ui;
    AppInterface::install(&ui);
    User *peer =
        addUser(QStringLiteral("A450000001"), QStringLiteral("198.18.0.5"), QStringLiteral("0"), "P");
    for (const char *word : {"UI", "RL", "SS", "UI"}) {
        const qsizetype before = ui.sounds.size();
        list->UpdateUserDataWithUDP(presence(QString::fromLatin1(word), QStringLiteral("0"), peer->userId(),
                                             kStar, QStringLiteral("P"), QStringLiteral("5"),
                                             QStringLiteral("198.18.0.5")));
        EXPECT_EQ(ui.sounds.size(), before) << "in a later turn";
        settle();
    }
    // The local user's own announcement is no newcomer.
    list->UpdateUserDataWithUDP(presence(QStringLiteral("UI"), QStringLiteral("0"), me->userId(), kStar,
                                         QStringLiteral("Me"), QString::number(me->sessionId()),
                                         QStringLiteral("198.18.0.1")));
    settle();
    EXPECT_EQ(ui.sounds, (QStringList{"Online", "Online"}));
    Defaults::standard().setValue(QStringLiteral("sounds.onUserOnline"), false);
    list->UpdateUserDataWithUDP(presence(QStringLiteral("UI"), QStringLiteral("0"), peer->userId(), kStar,
                                         QStringLiteral("P"), QStringLiteral("5"),
                                         QStringLiteral("198.18.0.5")));
    settle();
    EXPECT_EQ(ui.sounds.size(), 2);
    Defaults::standard().removeObject(QStringLiteral("sounds.onUserOnline"));
    AppInterface::install(nullptr);
}

TEST_F(UserListTest, KnownIdFromNewAddressKeepsItsRow) {
    User *first = list->getUserById(QStringLiteral("A500000001"), QStringLiteral("10.0.0.5"));
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(requests.empty()) << "asked on the next turn";
    settle();
    EXPECT_EQ(first->status(), QStringLiteral("10"));
    EXPECT_EQ(requests, std::vector<QString>{QStringLiteral("A500000001")});
    EXPECT_TRUE(list->someUsersExceptMeEverSeen());
    User *again = list->UpdateUserDataWithUDP(
        presence(QStringLiteral("RL"), QStringLiteral("0"), QStringLiteral("A500000001"), kStar,
                 QStringLiteral("P"), QStringLiteral("5"), QStringLiteral("10.0.0.6")));
    EXPECT_EQ(again, first);
    EXPECT_EQ(first->ip(), QStringLiteral("10.0.0.6"));
    EXPECT_EQ(list->getUserById(QStringLiteral("A500000009"), QString()), nullptr)
        << "no address: known only";
    EXPECT_EQ(list->getUserById(QString(), QStringLiteral("10.0.0.7")), nullptr);
    EXPECT_EQ(list->getUserById(me->userId(), QStringLiteral("10.0.0.7")), me);
}

TEST_F(UserListTest, FormerLocalUserBecomesAnOrdinaryUserWithItsHistory) {
    Me *former = ctx->insert<Me>();
    former->User::setUserId(QStringLiteral("A600000001"));
    former->User::setName(QStringLiteral("Earlier Me"));
    former->User::setPc(QStringLiteral("old-pc"));
    Message *line = ctx->insert<Message>();
    line->setMessage(QStringLiteral("kept"));
    line->addUserObject(former);
    // A copy it wrote for someone offline, and one held for it.
    User *carol = addUser(QStringLiteral("A600000003"), QStringLiteral("198.18.0.3"), QStringLiteral("10"));
    auto *written = ctx->insert<MessageForForwarding>();
    written->setMessageId(601);
    written->setSender(former);
    written->addRecipientsObject(carol);
    auto *forIt = ctx->insert<MessageForForwarding>();
    forIt->setMessageId(602);
    forIt->setSender(carol);
    forIt->addRecipientsObject(former);
    ASSERT_TRUE(ctx->save());

    User *user = list->getUserById(QStringLiteral("A600000001"), QString());
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(dynamic_cast<Me *>(user), nullptr);
    EXPECT_TRUE(former->isDeleted());
    EXPECT_EQ(user->name(), QStringLiteral("Earlier Me"));
    EXPECT_EQ(user->pc(), QStringLiteral("old-pc"));
    EXPECT_EQ(user->logEntriesNumber(), 1);
    ASSERT_TRUE(ctx->save());
    EXPECT_EQ(ctx->fetch<Me>().size(), 1) << "only the current local user is left";
    // Both copies are still there, with the user in the former row's place.
    EXPECT_FALSE(written->isDeleted());
    EXPECT_EQ(written->sender(), user);
    EXPECT_FALSE(forIt->isDeleted());
    EXPECT_EQ(forIt->recipients(), QList<User *>{user});
}

TEST_F(UserListTest, AllUsersWithoutOfflineFollowsItsFourPredicates) {
    User *online = addUser(QStringLiteral("A700000001"), QStringLiteral("198.18.0.2"), QStringLiteral("0"));
    User *offline = addUser(QStringLiteral("A700000002"), QStringLiteral("198.18.0.3"), QStringLiteral("10"));
    User *removed = addUser(QStringLiteral("A700000003"), QStringLiteral("198.18.0.4"), QStringLiteral("0"));
    removed->setRemoved(true);
    const auto ids = [](const QList<User *> &users) {
        QStringList out;
        for (User *u : users) out << u->userId();
        out.sort();
        return out;
    };
    QStringList all = {me->userId(), online->userId(), offline->userId(), removed->userId()};
    all.sort();
    EXPECT_EQ(ids(list->allUsersWithoutOffline(true, true)), QStringList{online->userId()});
    QStringList onlineAndMe = {me->userId(), online->userId()};
    onlineAndMe.sort();
    EXPECT_EQ(ids(list->allUsersWithoutOffline(true, false)), onlineAndMe);
    EXPECT_EQ(ids(list->allUsersWithoutOffline(false, true)),
              (QStringList{online->userId(), offline->userId()}));
    EXPECT_EQ(ids(list->allUsersWithoutOffline(false, false)), all);
}

TEST_F(UserListTest, GoOfflineMarksEveryOnlineUserOffline) {
    User *a = addUser(QStringLiteral("A800000001"), QStringLiteral("198.18.0.2"), QStringLiteral("0"));
    User *b = addUser(QStringLiteral("A800000002"), QStringLiteral("198.18.0.3"), QStringLiteral("2"));
    list->goOffline();
    EXPECT_EQ(a->status(), QStringLiteral("10"));
    EXPECT_EQ(b->status(), QStringLiteral("10"));
    EXPECT_EQ(me->status(), QStringLiteral("0")) << "the local user never goes offline by status";
}

} // namespace
