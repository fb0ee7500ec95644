#include "PresenceTestSupport.h"
#include "support/EventLoopWait.h"

#include "core/net/BroadcastItem.h"
#include "core/wire/KDTAES.h"
#include "core/wire/TextCodec.h"
#include "platform/runloop/Timer.h"
#include "platform/system/SystemIdentity.h"
#include "transport/SocketError.h"

#include <QMap>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kStar = QStringLiteral("*");

QStringList texts(const PacketArray &array) {
    QStringList out;
    for (const PacketField &f : array) out << f.toString();
    return out;
}

// The joined fields of a frame before encryption: the bytes each field went out as.
QByteArray plainOf(const QByteArray &frame) {
    const QByteArray ciphertext = QByteArray::fromBase64(frame.chopped(2));
    return KDTAES::decryptDataToData(ciphertext).left(ciphertext.size());
}

PacketArray decode(const QByteArray &frame) {
    KDTPacket::resetRecentIds();
    std::optional<PacketArray> array = KDTPacket::ArrayFromBase64AESdata(frame);
    return array ? *array : PacketArray{};
}

class UDPserverTest : public PresenceFixture {
protected:
    void SetUp() override {
        PresenceFixture::SetUp();
        me->setValue(QStringLiteral("pc"), QStringLiteral("desk-7"));
        me->setSessionId(424242);
        ASSERT_TRUE(peer.ok());
    }
    void startServer() {
        UDPserver::setDefaultBroadcastsFunction([] { return QStringList{QStringLiteral("127.0.0.1")}; });
        server = std::make_unique<UDPserver>(0, peer.port());
        ASSERT_EQ(UDPserver::shared(), server.get());
        ASSERT_NE(server->receivePort(), 0);
    }
    User *utfPeer() {
        User *u = addUser(QStringLiteral("A111111111"), QStringLiteral("127.0.0.1"), QStringLiteral("0"),
                          QStringLiteral("Peer"));
        u->setVersion(QStringLiteral("5.2"));
        u->setOSversion(QStringLiteral("Mac OS X Debian GNU/Linux 12 (bookworm)"));
        return u;
    }
    User *legacyPeer() {
        User *u = addUser(QStringLiteral("A222222222"), QStringLiteral("127.0.0.2"), QStringLiteral("0"),
                          QStringLiteral("Legacy"));
        u->setVersion(QStringLiteral("3.1"));
        u->setOSversion(QStringLiteral("Windows XP 5.1 "));
        return u;
    }
    // A frame as a peer sends it.
    static QByteArray frameOf(const QStringList &fields) {
        PacketArray array;
        for (const QString &f : fields) array << PacketField(f);
        return KDTPacket::PlainPackeFromArray(array);
    }
    QStringList peerPacket(const QString &word, const QString &status, const QString &id, const QString &to,
                           const QString &name) {
        QStringList p = presence(word, status, id, to, name, QStringLiteral("99"), QString());
        p.removeLast();
        return p;
    }

    RawPeer peer;
};

struct FieldCase {
    const char *name;
    QString word;
    int to; // 0 everyone, 1 UTF-8 peer, 2 legacy peer
    QString oldName;
    QString newName;
    QStringList fields;
    QList<int> dataFields; // fields sent as UTF-8 data
};

TEST_F(UDPserverTest, PresenceArrayForEachWordFieldByField) {
    User *utf = utfPeer();
    User *legacy = legacyPeer();
    ASSERT_TRUE(utf->UTF8compatible());
    ASSERT_FALSE(legacy->UTF8compatible());
    me->setStatus(QStringLiteral("1"));
    const QString id = me->userId();
    const QString v = me->version();
    const QString major = UDPserver::majorVersion(v);
    ASSERT_GE(major.toInt(), 4);
    const auto tail = [&](const QString &session) {
        return QStringList{session, "0", major, "0", "1", "*", v};
    };
    const QString s = QStringLiteral("424242");
    const QList<FieldCase> cases = {
        {"UI",
         "UI",
         0,
         "",
         "",
         QStringList{"UI", "1", "desk-7", id, "*", "*", "1", "Local Person"} + tail(s),
         {}},
        {"RL",
         "RL",
         0,
         "",
         "",
         QStringList{"RL", "1", "desk-7", id, "*", "*", "1", "Local Person"} + tail(s),
         {}},
        {"RL to one",
         "RL",
         1,
         "",
         "",
         QStringList{"RL", "1", "desk-7", id, "*", "*", "1", "Local Person"} + tail(s),
         {}},
        {"AL UTF-8",
         "AL",
         1,
         "",
         "",
         QStringList{"AL", "1", "desk-7", id, "127.0.0.1", "A111111111", "1", "Local Person"} + tail(s),
         {7}},
        {"AL legacy",
         "AL",
         2,
         "",
         "",
         QStringList{"AL", "1", "desk-7", id, "127.0.0.2", "A222222222", "1", "Local Person"} + tail(s),
         {}},
        {"TP UTF-8",
         "TP",
         1,
         "",
         "",
         QStringList{"TP", "*", "desk-7", id, "127.0.0.1", "A111111111", "*", "Local Person"} + tail("*"),
         {7}},
        {"TP legacy",
         "TP",
         2,
         "",
         "",
         QStringList{"TP", "*", "desk-7", id, "127.0.0.2", "A222222222", "*", "Local Person"} + tail("*"),
         {}},
        {"SS",
         "SS",
         0,
         "",
         "",
         QStringList{"SS", "1", "desk-7", id, "*", "*", "*", "Local Person"} + tail(s),
         {}},
        {"UO",
         "UO",
         0,
         "",
         "",
         QStringList{"UO", "1", "desk-7", id, "*", "*", "*", "Local Person"} + tail(s),
         {}},
        {"UC UTF-8",
         "UC",
         1,
         "Old N\u00e4me",
         "New N\u00e4me",
         QStringList{"UC", "1", "desk-7", id, "*", "*", "Old N\u00e4me", "New N\u00e4me"} + tail(s),
         {6, 7}},
        {"UC legacy",
         "UC",
         2,
         "Old N\u00e4me",
         "New N\u00e4me",
         QStringList{"UC", "1", "desk-7", id, "*", "*", "Old N\u00e4me", "New N\u00e4me"} + tail(s),
         {}},
    };
    for (const FieldCase &c : cases) {
        User *to = c.to == 1 ? utf : c.to == 2 ? legacy : nullptr;
        const PacketArray array = UDPserver::presencePacket(me, c.word, to, c.oldName, c.newName);
        ASSERT_EQ(array.size(), 15) << c.name;
        EXPECT_EQ(texts(array), c.fields) << c.name;
        for (int i = 0; i < array.size(); ++i)
            EXPECT_EQ(array.at(i).isData(), c.dataFields.contains(i)) << c.name << " field " << i;
        // And the frame carries them: the legacy form of a name is its code-page bytes.
        const PacketArray back = decode(KDTPacket::PlainPackeFromArray(array));
        EXPECT_EQ(texts(back), c.fields) << c.name;
    }
}

TEST_F(UDPserverTest, EmptyPresenceFieldsFallBackSoTheCopyStaysVisible) {
    me->setValue(QStringLiteral("status"), QString());
    me->setValue(QStringLiteral("pc"), QString());
    me->setValue(QStringLiteral("name"), QString());
    for (const char *word : {"UI", "RL", "SS", "UO"}) {
        const PacketArray array = UDPserver::presencePacket(me, QString::fromLatin1(word), nullptr, {}, {});
        const QStringList f = texts(array);
        EXPECT_EQ(f.at(1), QStringLiteral("0")) << word;
        EXPECT_EQ(f.at(2), SystemIdentity::shortHostName()) << word;
        EXPECT_FALSE(f.at(7).isEmpty()) << word;
        EXPECT_FALSE(KDTPacket::PlainPackeFromArray(array).isEmpty()) << word << " must be sendable";
    }
}

TEST_F(UDPserverTest, NamesWhoseBytesHoldTheFrameSeparatorArriveInEveryForm) {
    User *utf = utfPeer();
    User *legacy = legacyPeer();
    struct Case {
        const char *what;
        QString name;
        QString arrives;    // as a UTF-8 peer reads it
        QString arrivesOld; // as a legacy peer reads it
    };
    // U+0426 is D0 A6 and U+4E26 is E4 B8 A6 in UTF-8; the code pages write U+00A6 as 0xA6.
    const QList<Case> cases = {
        {"Cyrillic", QStringLiteral("Цветана"), QStringLiteral("Цветана"), QStringLiteral("Цветана")},
        {"CJK", QStringLiteral("並木 花"), QStringLiteral("並木 花"), QStringLiteral("    ")},
        {"broken bar", QStringLiteral("A¦B"), QStringLiteral("A¦B"), QStringLiteral("A|B")},
        {"outside the BMP", QStringLiteral("Sun 🌞"), QStringLiteral("Sun 🌞"), QStringLiteral("Sun  ")},
        {"U+0000 and U+0001",
         QStringLiteral("a") + QChar(0) + QStringLiteral("b") + QChar(1) + QStringLiteral("c"),
         QStringLiteral("a b c"), QStringLiteral("a b c")},
    };
    for (const Case &c : cases) {
        for (User *to : {utf, legacy}) {
            const bool wide = to == utf;
            SCOPED_TRACE(std::string(c.what) + (wide ? " to a UTF-8 peer" : " to a legacy peer"));
            me->User::setName(c.name);
            const PacketArray al = UDPserver::presencePacket(me, QStringLiteral("AL"), to, {}, {});
            const PacketArray tp = UDPserver::presencePacket(me, QStringLiteral("TP"), to, {}, {});
            const PacketArray uc = UDPserver::presencePacket(me, QStringLiteral("UC"), to,
                                                             QStringLiteral("Old ") + c.name, c.name);
            for (const PacketArray &array : {al, tp, uc}) {
                const QByteArray frame = KDTPacket::PlainPackeFromArray(array);
                const PacketArray back = decode(frame);
                ASSERT_EQ(back.size(), 15) << qPrintable(array.first().toString()) << " was rejected";
                EXPECT_EQ(back.at(7).toString(), wide ? c.arrives : c.arrivesOld);
                EXPECT_EQ(back.at(8).toString(), array.at(8).toString());
            }
            EXPECT_EQ(decode(KDTPacket::PlainPackeFromArray(uc)).at(6).toString(),
                      QStringLiteral("Old ") + (wide ? c.arrives : c.arrivesOld));
        }
    }
}

TEST_F(UDPserverTest, AnAnswerWithAUtf8NameThatHoldsTheSeparatorRenamesThePeer) {
    startServer();
    User *known = utfPeer();
    PacketArray al;
    for (const QString &f : peerPacket("AL", "0", known->userId(), me->userId(), "x")) al << PacketField(f);
    const QString name = QStringLiteral("Царь 並");
    al[7] = PacketField(encodeUtf8DataField(name));
    peer.sendTo(server->receivePort(), KDTPacket::PlainPackeFromArray(al));
    EXPECT_TRUE(waitUntil([&] { return known->name() == name; })) << qPrintable(known->name());
}

TEST_F(UDPserverTest, BroadcastGoesToEveryTargetFramedOnce) {
    // Two more loopback addresses from a stored range; the peer listens on all of them.
    RawPeer any("0.0.0.0");
    ASSERT_TRUE(any.ok());
    BroadcastItem range;
    range.setType(BroadcastItem::kRange);
    range.setFirstValue(QStringLiteral("127.0.0.2"));
    range.setSecondValue(QStringLiteral("127.0.0.3"));
    ASSERT_TRUE(range.validate());
    Defaults::standard().setValue(QStringLiteral("broadcasts"),
                                  QVariantList{range.dictionary(), QStringLiteral("not a target")});
    UDPserver::setDefaultBroadcastsFunction([] { return QStringList{QStringLiteral("127.0.0.1")}; });
    server = std::make_unique<UDPserver>(0, any.port());
    server->SendUDPpacketTo(nullptr, QStringLiteral("UI"));
    const QList<QByteArray> got = any.collect(3);
    ASSERT_EQ(got.size(), 3);
    EXPECT_EQ(got.at(0), got.at(1));
    EXPECT_EQ(got.at(1), got.at(2));
    EXPECT_EQ(texts(decode(got.at(0))).first(), QStringLiteral("UI"));
    spinFor(100);
    EXPECT_TRUE(any.take().isEmpty());
}

// Refreshes of a whole office arriving together: each peer gets exactly one answer, addressed
// to it, and no newcomer is asked for its details before the answers of the datagrams handed
// over with its own have gone to the socket.
TEST_F(UDPserverTest, ABurstOfRefreshesIsAnsweredOnceEachAheadOfTheRequests) {
    startServer();
    constexpr int kPeers = 60;
    int askedBeforeAnswered = 0;
    UserList::setInfoRequestFunction([&](User *u) {
        requests.push_back(u->userId());
        if (server->pendingSends() == 0 && peer.available() == 0) ++askedBeforeAnswered;
    });
    RawPeer office;
    for (int i = 0; i < kPeers; ++i)
        office.sendTo(server->receivePort(),
                      frameOf(peerPacket("RL", "0", QStringLiteral("A5%1").arg(i, 8, 10, QLatin1Char('0')), kStar,
                                         QStringLiteral("Peer %1").arg(i))));
    const QList<QByteArray> got = peer.collect(kPeers, 10000);
    ASSERT_TRUE(waitUntil([&] { return int(requests.size()) == kPeers; }));
    EXPECT_EQ(askedBeforeAnswered, 0);
    QMap<QString, int> answeredTo;
    for (const QByteArray &frame : got) {
        const QStringList answer = texts(decode(frame));
        ASSERT_GE(answer.size(), 6);
        EXPECT_EQ(answer.at(0), QStringLiteral("AL"));
        EXPECT_EQ(answer.at(4), QStringLiteral("127.0.0.1"));
        ++answeredTo[answer.at(5)];
    }
    EXPECT_EQ(answeredTo.size(), kPeers);
    for (auto it = answeredTo.cbegin(); it != answeredTo.cend(); ++it) EXPECT_EQ(it.value(), 1) << qPrintable(it.key());
    spinFor(100);
    EXPECT_TRUE(peer.take().isEmpty()) << "one answer each";
}

TEST_F(UDPserverTest, RefreshIsAnsweredToTheRecordedAddressOnTheServicePort) {
    startServer();
    // The newcomer is asked for its details only once the answer is on its way.
    bool answeredFirst = false;
    UserList::setInfoRequestFunction([&](User *u) {
        requests.push_back(u->userId());
        answeredFirst = server->pendingSends() > 0 || peer.available() > 0;
    });
    RawPeer other; // a different source port
    other.sendTo(server->receivePort(), frameOf(peerPacket("RL", "0", "A333333333", kStar, "Sender")));
    ASSERT_TRUE(waitUntil([&] { return !requests.empty(); }));
    EXPECT_TRUE(answeredFirst);
    const QList<QByteArray> got = peer.collect(1);
    ASSERT_EQ(got.size(), 1);
    const QStringList answer = texts(decode(got.first()));
    EXPECT_EQ(answer.at(0), QStringLiteral("AL"));
    EXPECT_EQ(answer.at(4), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(answer.at(5), QStringLiteral("A333333333"));
    User *sender = User::findByUserId(ctx.get(), QStringLiteral("A333333333"));
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(sender->status(), QStringLiteral("0"));
    EXPECT_EQ(sender->name(), QStringLiteral("Sender"));
    EXPECT_TRUE(other.take().isEmpty()) << "never to the datagram's source port";
}

TEST_F(UDPserverTest, AnswerToAnAnswerOnlyForUtf8WindowsPeers) {
    startServer();
    User *win =
        addUser(QStringLiteral("A444444444"), QStringLiteral("127.0.0.1"), QStringLiteral("0"), "Win");
    win->setVersion(QStringLiteral("10.2"));
    win->setOSversion(QStringLiteral("Windows 10 Pro"));
    QStringList al = peerPacket("AL", "0", win->userId(), me->userId(), "Win");
    al[14] = QStringLiteral("10.2");
    peer.sendTo(server->receivePort(), frameOf(al));
    EXPECT_EQ(texts(decode(peer.collect(1).value(0))).value(0), QStringLiteral("AL"));
    User *mac = utfPeer();
    peer.sendTo(server->receivePort(), frameOf(peerPacket("AL", "0", mac->userId(), me->userId(), "Peer")));
    spinFor(300);
    EXPECT_TRUE(peer.take().isEmpty());
}

TEST_F(UDPserverTest, NameChangeTellsEachOnlinePeerInItsOwnForm) {
    startServer();
    RawPeer second("127.0.0.2", peer.port());
    ASSERT_TRUE(second.ok());
    utfPeer();
    legacyPeer();
    User *gone =
        addUser(QStringLiteral("A555555555"), QStringLiteral("127.0.0.3"), QStringLiteral("10"), "Gone");
    (void)gone;
    me->setName(QStringLiteral("Local Person")); // the same name: nothing
    spinFor(200);
    EXPECT_TRUE(peer.take().isEmpty());
    me->setName(QStringLiteral("J\u00f6rg"));
    const QList<QByteArray> toUtf = peer.collect(1);
    const QList<QByteArray> toLegacy = second.collect(1);
    ASSERT_EQ(toUtf.size(), 1);
    ASSERT_EQ(toLegacy.size(), 1);
    EXPECT_EQ(texts(decode(toUtf.first())).mid(6, 2), (QStringList{"Local Person", "J\u00f6rg"}));
    EXPECT_EQ(texts(decode(toLegacy.first())).mid(6, 2), (QStringList{"Local Person", "J\u00f6rg"}));
    // The bytes differ: UTF-8 to one, the code page to the other.
    EXPECT_TRUE(plainOf(toUtf.first()).contains("\xa6Local Person\xa6J\xc3\xb6rg\xa6"));
    EXPECT_TRUE(plainOf(toLegacy.first()).contains("\xa6Local Person\xa6J\xf6rg\xa6"));
    EXPECT_EQ(me->name(), QStringLiteral("J\u00f6rg"));
}

TEST_F(UDPserverTest, RenameNoticeIsAnsweredWithAPersonalRefresh) {
    startServer();
    User *known = utfPeer();
    peer.sendTo(server->receivePort(), frameOf(peerPacket("UC", "0", known->userId(), kStar, "Renamed")));
    const QStringList answer = texts(decode(peer.collect(1).value(0)));
    ASSERT_FALSE(answer.isEmpty());
    EXPECT_EQ(answer.at(0), QStringLiteral("RL"));
    EXPECT_EQ(known->name(), QStringLiteral("Peer")) << "the new name comes with the answer";
}

TEST_F(UDPserverTest, LocalStatusChangesAreAnnounced) {
    startServer();
    me->setStatus(QStringLiteral("10"));
    spinFor(200);
    EXPECT_TRUE(peer.take().isEmpty()) << "offline by status is ignored and sends nothing";
    EXPECT_EQ(me->status(), QStringLiteral("0"));
    me->setStatus(QStringLiteral("2"));
    const QStringList ss = texts(decode(peer.collect(1).value(0)));
    ASSERT_FALSE(ss.isEmpty());
    EXPECT_EQ(ss.at(0), QStringLiteral("SS"));
    EXPECT_EQ(ss.at(1), QStringLiteral("2"));
    EXPECT_FALSE(me->statusString().isEmpty());
}

TEST_F(UDPserverTest, NewUserIdSaysOfflineUnderTheOldOneFirst) {
    startServer();
    const QString old = me->userId();
    me->setUserId(QStringLiteral("A987654321"));
    const QList<QByteArray> got = peer.collect(2);
    ASSERT_EQ(got.size(), 2);
    EXPECT_EQ(texts(decode(got.at(0))).mid(0, 4), (QStringList{"UO", "0", "desk-7", old}));
    EXPECT_EQ(texts(decode(got.at(1))).mid(0, 4), (QStringList{"UI", "0", "desk-7", "A987654321"}));
    EXPECT_FALSE(ctx->hasChanges()) << "saved";
}

TEST_F(UDPserverTest, TypingBlockAndForwardingNotices) {
    startServer();
    User *known = utfPeer();
    // A block word is ignored before the roster sees it.
    peer.sendTo(server->receivePort(), frameOf(peerPacket("BL", "0", "A666666666", kStar, "X")));
    // Typing.
    now = now.addSecs(5);
    peer.sendTo(server->receivePort(), frameOf(peerPacket("TP", "*", known->userId(), me->userId(), "Peer")));
    ASSERT_TRUE(waitUntil([&] { return known->typingReceived() == now; }));
    EXPECT_EQ(User::findByUserId(ctx.get(), QStringLiteral("A666666666")), nullptr);
    // A received-notice drops the announcing user from held copies of that id.
    User *other = legacyPeer();
    MessageForForwarding *both = ctx->insert<MessageForForwarding>();
    both->setMessageId(7001);
    both->addRecipientsObject(known);
    both->addRecipientsObject(other);
    MessageForForwarding *single = ctx->insert<MessageForForwarding>();
    single->setMessageId(7001);
    single->addRecipientsObject(known);
    MessageForForwarding *unrelated = ctx->insert<MessageForForwarding>();
    unrelated->setMessageId(7002);
    unrelated->addRecipientsObject(known);
    ASSERT_TRUE(ctx->save());
    const QStringList uomfr = {"UOMFR", "7001", "pc-x", known->userId(), "*", "*", "*", "*", "99"};
    peer.sendTo(server->receivePort(), frameOf(uomfr));
    ASSERT_TRUE(waitUntil([&] { return single->isDeleted(); }));
    EXPECT_EQ(both->recipients(), QList<User *>{other});
    EXPECT_EQ(unrelated->recipients(), QList<User *>{known});
    EXPECT_FALSE(ctx->hasChanges()) << "saved";
}

TEST_F(UDPserverTest, ForwardingNoticeTakesTheIntegerValueOfItsMessageId) {
    startServer();
    User *known = utfPeer();
    struct Case {
        const char *field;
        bool dropsTheCopy;
    };
    int heard = 0;
    QObject::connect(server.get(), &UDPserver::presenceReceived, server.get(), [&] { ++heard; });
    const QList<Case> cases = {{"7001", true},  {" 7001", true},  {"+7001", true},  {"7001 ", true},
                               {"7001x", true}, {"x7001", false}, {"70 01", false}, {"*", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        MessageForForwarding *held = ctx->insert<MessageForForwarding>();
        held->setMessageId(7001);
        held->addRecipientsObject(known);
        ASSERT_TRUE(ctx->save());
        KDTPacket::resetRecentIds();
        const QStringList uomfr = {
            "UOMFR", QString::fromLatin1(c.field), "pc-x", known->userId(), "*", "*", "*", "*", "99"};
        const int before = heard;
        peer.sendTo(server->receivePort(), frameOf(uomfr));
        // The datagram was handled once the roster has taken it.
        ASSERT_TRUE(waitUntil([&] { return heard > before; }));
        EXPECT_EQ(held->isDeleted(), c.dropsTheCopy);
        if (!held->isDeleted()) {
            ctx->deleteObject(held);
            ASSERT_TRUE(ctx->save());
        }
    }
}

TEST_F(UDPserverTest, DatagramBeforeTheRosterIsPublishedIsDropped) {
    startServer();
    UserList::setShared(nullptr);
    peer.sendTo(server->receivePort(), frameOf(peerPacket("RL", "0", "A777777777", kStar, "Early")));
    spinFor(300);
    EXPECT_TRUE(peer.take().isEmpty());
    UserList::setShared(list.get());
    EXPECT_EQ(User::findByUserId(ctx.get(), QStringLiteral("A777777777")), nullptr);
}

TEST_F(UDPserverTest, FollowUpAsksOnlineUsersAndRemovesLongUnseenOnes) {
    startServer();
    User *online = utfPeer();
    User *recent = addUser(QStringLiteral("A800000029"), QStringLiteral("127.0.0.9"), QStringLiteral("10"));
    recent->setSeenLastTime(now.addDays(-29));
    User *old = addUser(QStringLiteral("A800000031"), QStringLiteral("127.0.0.9"), QStringLiteral("10"));
    old->setSeenLastTime(now.addDays(-31));
    // Copies held for others go after 30 days like the users; the local user's own stay.
    const auto held = [&](qint64 id, User *author, int daysAgo) {
        auto *m = ctx->insert<MessageForForwarding>();
        m->setMessageId(id);
        m->setMessage(KDTAES::encryptString(QStringLiteral("held"), true));
        m->setTime(now.addDays(-daysAgo));
        m->setSender(author);
        m->addRecipientsObject(recent);
        return QPointer<MessageForForwarding>(m);
    };
    const QPointer<MessageForForwarding> oldCopy = held(1, old, 31), recentCopy = held(2, old, 29),
                                         ownCopy = held(3, me, 365);
    server->RefreshUserList(true);
    EXPECT_EQ(texts(decode(peer.collect(1).value(0))).value(0), QStringLiteral("RL"));
    ASSERT_NE(server->sixSecTimer(), nullptr);
    EXPECT_DOUBLE_EQ(server->sixSecTimer()->interval(), 6.0);
    settle();
    requests.clear();
    server->sixSecTimer()->fire();
    settle();
    EXPECT_EQ(requests, std::vector<QString>{online->userId()});
    EXPECT_EQ(server->sixSecTimer(), nullptr);
    EXPECT_TRUE(old->removed());
    EXPECT_FALSE(recent->removed());
    EXPECT_FALSE(me->removed());
    EXPECT_TRUE(oldCopy->isDeleted());
    EXPECT_FALSE(recentCopy->isDeleted());
    EXPECT_FALSE(ownCopy->isDeleted());
}

TEST_F(UDPserverTest, FiredOneShotTimersDoNotPileUp) {
    startServer();
    const auto timers = [&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return server->findChildren<Timer *>().size();
    };
    const qsizetype before = timers();
    for (int i = 0; i < 5; ++i) {
        server->RefreshUserList(false);
        server->sixSecTimer()->fire();
        server->resetSocketsWithDelay();
        server->resetTimer()->fire();
    }
    settle();
    EXPECT_EQ(timers(), before);
}

TEST_F(UDPserverTest, WorkStartsAndStops) {
    startServer();
    EXPECT_FALSE(server->isWorking());
    server->beginWork();
    EXPECT_TRUE(server->isWorking());
    ASSERT_NE(server->refreshTimer(), nullptr);
    EXPECT_DOUBLE_EQ(server->refreshTimer()->interval(), 360.0);
    EXPECT_EQ(texts(decode(peer.collect(1).value(0))).value(0), QStringLiteral("UI"));
    // A "UO" queued just before the stop still leaves.
    me->goOffline();
    server->endWork();
    EXPECT_FALSE(server->isWorking());
    EXPECT_EQ(texts(decode(peer.collect(1).value(0))).value(0), QStringLiteral("UO"));
    me->setStatus(QStringLiteral("1"));
    spinFor(300);
    EXPECT_TRUE(peer.take().isEmpty()) << "nothing is sent while stopped";
    EXPECT_FALSE(server->resetPending()) << "and no rebuild is asked for";
    server->beginWork();
    EXPECT_EQ(texts(decode(peer.collect(1).value(0))).value(0), QStringLiteral("UI"));
}

TEST_F(UDPserverTest, SocketErrorsInABurstGiveOneRebuild) {
    startServer();
    const int before = server->socketGenerations();
    const SocketError error(QStringLiteral("UdpSocketErrorDomain"), 5, QStringLiteral("boom"));
    server->onDidNotSend(nullptr, 1, error);
    Timer *rebuild = server->resetTimer();
    ASSERT_NE(rebuild, nullptr);
    EXPECT_DOUBLE_EQ(rebuild->interval(), 2.0);
    server->onDidNotSend(nullptr, 2, error);
    server->onClose(nullptr, error);
    EXPECT_EQ(server->resetTimer(), rebuild) << "the later errors add no rebuild";
    EXPECT_EQ(server->socketGenerations(), before);
    rebuild->fire();
    EXPECT_EQ(server->socketGenerations(), before + 1);
    EXPECT_FALSE(server->resetPending());
    EXPECT_EQ(server->resetTimer(), nullptr);
    // The rebuilt sockets work.
    peer.sendTo(server->receivePort(), frameOf(peerPacket("RL", "0", "A888888888", kStar, "After")));
    EXPECT_EQ(texts(decode(peer.collect(1).value(0))).value(0), QStringLiteral("AL"));
    // A close without an error changes nothing.
    server->onClose(nullptr, SocketError());
    EXPECT_FALSE(server->resetPending());
}

TEST_F(UDPserverTest, FailedRebuildKeepsTrying) {
    // The port is taken by a socket without port reuse: binding fails until it goes.
    RawPeer squatter("0.0.0.0");
    ASSERT_TRUE(squatter.ok());
    const std::uint16_t port = squatter.port();
    server = std::make_unique<UDPserver>(port, peer.port());
    ASSERT_NE(server->resetTimer(), nullptr);
    server->resetTimer()->fire();
    EXPECT_EQ(server->socketGenerations(), 2);
    ASSERT_NE(server->resetTimer(), nullptr) << "the failed rebuild asked for another";
    squatter.close();
    server->resetTimer()->fire();
    EXPECT_EQ(server->socketGenerations(), 3);
    EXPECT_FALSE(server->resetPending());
    RawPeer sender;
    sender.sendTo(port, frameOf(peerPacket("RL", "0", "A999999999", kStar, "Late")));
    EXPECT_EQ(texts(decode(peer.collect(1).value(0))).value(0), QStringLiteral("AL"));
}

} // namespace
