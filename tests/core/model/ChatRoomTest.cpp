// Chat rooms: the packets on the wire, what each handler does to the store and answers, and
// packets that are short, hostile or about rooms and users this copy does not know.
#include "ModelTestSupport.h"
#include "core/model/Chat.h"
#include "core/model/SystemMessage.h"
#include "core/net/TCPserver.h"
#include "core/net/TCPserverTestSupport.h"
#include "core/wire/FrameTestSupport.h"
#include "core/wire/TextCodec.h"
#include "platform/notify/NotificationCenter.h"
#include "platform/store/Clock.h"

#include <QTimeZone>

#include <mutex>

namespace {

const QString kAlice = QStringLiteral("A000000001");
const QString kBob = QStringLiteral("A000000002");
const QString kCarol = QStringLiteral("A000000003");
const QString kDave = QStringLiteral("A000000004");

QStringList texts(const PacketArray &a) {
    QStringList out;
    for (const PacketField &f : a) out.append(f.toString());
    return out;
}

// Accepts any number of connections on loopback, keeps each request line and closes without
// a reply (the sender then sees an orderly close, which marks nobody offline).
class RecordingPeer {
public:
    RecordingPeer() {
        fd_ = rawnet::listenLoopback(64, &port_);
        thread_ = std::thread([this] { run(); });
    }
    ~RecordingPeer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::uint16_t port() const { return port_; }
    int count() const {
        std::lock_guard lock(mutex_);
        return int(lines_.size());
    }
    // The fields of every request as written: the plaintext between the packet id and the NUL.
    QList<QList<QByteArray>> requests() const {
        std::lock_guard lock(mutex_);
        QList<QList<QByteArray>> out;
        for (const QByteArray &line : lines_) {
            QList<QByteArray> parts = frametest::plainOf(line.chopped(2)).split('\xA6');
            if (parts.size() >= 3) parts = parts.mid(2, parts.size() - 3);
            out.append(parts);
        }
        return out;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            QByteArray line;
            char buf[4096];
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!line.endsWith("\r\n") && !stop_ && std::chrono::steady_clock::now() < deadline) {
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 20) <= 0) continue;
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                line.append(buf, n);
            }
            ::close(c);
            std::lock_guard lock(mutex_);
            lines_.append(line);
        }
    }
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    QList<QByteArray> lines_;
};

// Records what the chat code asks of the windows and calls.
class ChatInterface : public RecordingInterface {
public:
    QObject *openChatWindow(Chat *chat, bool incoming) override {
        opened.push_back({chat, incoming});
        return windowToOpen;
    }
    Chat *usersJoinedToRoom(QObject *window, const QList<User *> &users, const QString &roomId) override {
        joins.push_back({window, users, roomId});
        return chatOfWindow;
    }
    void userLeftRoom(QObject *window, User *user) override { leaves.push_back({window, user}); }
    void conversationAddedUsers(Chat *callChat, User *callUser, const QList<User *> &users,
                                Chat *toChat) override {
        calls.push_back({callChat, callUser, users, toChat});
    }

    struct Join {
        QObject *window;
        QList<User *> users;
        QString roomId;
    };
    struct CallAdd {
        Chat *callChat;
        User *callUser;
        QList<User *> users;
        Chat *toChat;
    };
    std::vector<std::pair<Chat *, bool>> opened;
    std::vector<Join> joins;
    std::vector<std::pair<QObject *, User *>> leaves;
    std::vector<CallAdd> calls;
    QObject *windowToOpen = nullptr;
    Chat *chatOfWindow = nullptr;
};

class ChatRoomTest : public MessagingFixture {
protected:
    void SetUp() override {
        MessagingFixture::SetUp();
        frametest::useWesternEncoding();
        AppInterface::install(&chatUi);
        server = std::make_unique<TCPserver>(0, wire.port(), false);
        TCPserver::setShared(server.get());
        Chat::registerHandlers(*server);
        Chat::resetRoomAdmission();
        bob = peer(kBob, QStringLiteral("Bob"));
        carol = peer(kCarol, QStringLiteral("Carol"));
    }
    void TearDown() override {
        Chat::setRandomSource({});
        TCPserver::setShared(nullptr);
        server.reset();
        MessagingFixture::TearDown();
    }
    // Waits for n requests and a little longer, so that any extra one shows too.
    QList<QList<QByteArray>> sent(int n) {
        waitUntil([&] { return wire.count() >= n; }, 5000);
        spinFor(100);
        return wire.requests();
    }
    Chat *room(qint64 id, const QList<User *> &members = {}) {
        auto *c = ctx->insert<Chat>();
        c->setRoomId(id);
        c->setCurrentUsers(members);
        return c;
    }
    PacketArray chatPacket(const char *word, const QString &roomId, const QString &from,
                           const QString &payload) {
        return {word, roomId, "pc-x", from, "*", kAlice, payload, "*"};
    }

    RecordingPeer wire;
    ChatInterface chatUi;
    std::unique_ptr<TCPserver> server;
    User *bob = nullptr;
    User *carol = nullptr;
};

QList<QByteArray> bytes(std::initializer_list<QByteArray> l) { return QList<QByteArray>(l); }

TEST_F(ChatRoomTest, EveryRequestWordGoesOutFieldByField) {
    Chat *r = room(4711, {bob});
    r->informJoin();
    r->requestRoomInfo();
    r->sendMessage(QStringLiteral("hi \u00a6 Ω"));
    r->leaveChat();
    // One connection each: they may arrive in any order.
    QMap<QByteArray, QList<QByteArray>> got;
    for (const QList<QByteArray> &fields : sent(4)) got.insert(fields.value(0), fields);
    ASSERT_EQ(got.size(), 4);
    EXPECT_EQ(got["CRJR"], bytes({"CRJR", "4711", "pc-alice", "A000000001", "*", "A000000002",
                                  "A000000001,A000000002", "*"}));
    EXPECT_EQ(got["CRGRI"], bytes({"CRGRI", "4711", "pc-alice", "A000000001", "*", "A000000002", "*", "*"}));
    EXPECT_EQ(got["CRSM"], bytes({"CRSM", "4711", "pc-alice", "A000000001", "*", "A000000002",
                                  "hi \xc2\x01 \xce\xa9\x1f", "*"}));
    EXPECT_EQ(got["CRLR"], bytes({"CRLR", "4711", "pc-alice", "A000000001", "*", "A000000002", "*", "*"}));
}

TEST_F(ChatRoomTest, EveryReplyAnswersTheSenderOfTheRequest) {
    room(31, {bob, carol});
    struct Case {
        const char *word;
        QStringList reply;
    };
    const QList<Case> cases = {
        {"CRJR", {"CRRR", "31", "pc-alice", kAlice, "*", kBob, "*", "*"}},
        {"CRLR", {"CRLRR", "31", "pc-alice", kAlice, "*", kBob, "*", "*"}},
        {"CRSM", {"CRSMR", "31", "pc-alice", kAlice, "*", kBob, "*", "*"}},
        // Bob left and wrote again: he is back, behind Carol.
        {"CRGRI", {"CRGRR", "31", "pc-alice", kAlice, "*", kBob, kAlice + "," + kCarol + "," + kBob, "*"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.word);
        const QString payload =
            QString::fromLatin1(c.word) == "CRJR" ? kBob + "," + kCarol : QStringLiteral("x");
        EXPECT_EQ(texts(server->dispatch(chatPacket(c.word, "31", kBob, payload), "127.0.0.1")), c.reply);
    }
    // An answer to our own request is read, never answered.
    EXPECT_TRUE(server->dispatch(chatPacket("CRGRR", "31", kBob, kBob), "127.0.0.1").isEmpty());
}

TEST_F(ChatRoomTest, ARepliedFrameIsWrittenOnTheSameConnection) {
    room(77, {bob});
    KDTPacket::setIdSource([] { return 1234567u; });
    const QByteArray request = KDTPacket::PlainPackeFromArray(chatPacket("CRGRI", "77", kBob, "*")) + "\r\n";
    KDTPacket::setIdSource(nullptr);
    const QByteArray answer = rawnet::exchange(server->listeningPort(), request);
    ASSERT_TRUE(answer.endsWith("\r\n"));
    const QList<QByteArray> parts = frametest::plainOf(answer.chopped(2)).split('\xA6');
    ASSERT_EQ(parts.size(), 11);
    EXPECT_EQ(parts.mid(2, 8), bytes({"CRGRR", "77", "pc-alice", "A000000001", "*", "A000000002",
                                      "A000000001,A000000002", "*"}));
    // The reply to a "CRGRR" of ours is dropped: the connection just closes.
    const QByteArray none =
        rawnet::exchange(server->listeningPort(),
                         KDTPacket::PlainPackeFromArray(chatPacket("CRGRR", "77", kBob, kBob)) + "\r\n");
    EXPECT_EQ(none, QByteArray());
}

TEST_F(ChatRoomTest, ANewRoomDrawsAFreeNumberAndTellsEveryMember) {
    carol->setStatus(QStringLiteral("10")); // told even when offline
    room(42);
    QList<quint32> draws = {0, 42, 43};
    Chat::setRandomSource([&](quint32 bound) {
        EXPECT_EQ(bound, 999999u);
        return draws.takeFirst();
    });
    QList<User *> users = {bob, me, carol, bob};
    Chat *r = Chat::createWithUsers(users);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->roomId(), 43); // 0 means "no room" to calls, 42 is taken
    EXPECT_EQ(r->currentUsers(), (QList<User *>{bob, carol}));
    EXPECT_TRUE(r->isLive());
    const QList<QList<QByteArray>> got = sent(2);
    ASSERT_EQ(got.size(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(got[i][0], "CRJR");
        EXPECT_EQ(got[i][1], "43");
        EXPECT_EQ(got[i][6], "A000000001,A000000002,A000000003");
    }
    EXPECT_EQ(QSet<QByteArray>({got[0][5], got[1][5]}), QSet<QByteArray>({"A000000002", "A000000003"}));

    Chat::setRandomSource({});
    for (int i = 0; i < 50; ++i) {
        const qint64 id = Chat::createWithUsers({}, QString())->roomId();
        EXPECT_GT(id, 0);
        EXPECT_LT(id, 999999);
    }
}

TEST_F(ChatRoomTest, JoinInfoForAnUnknownRoomCreatesItWithTheKnownMembers) {
    NoticeRecorder members(QStringLiteral("chatMembersChanged"));
    const PacketArray reply = Chat::receivedJoinInfo(
        chatPacket("CRJR", "123456", kBob, kBob + "," + kAlice + ",A999999999," + kCarol), "127.0.0.1");
    EXPECT_EQ(texts(reply), (QStringList{"CRRR", "123456", "pc-alice", kAlice, "*", kBob, "*", "*"}));
    Chat *r = Chat::findByChatRoomId(QStringLiteral("123456"));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->currentUsers(), (QList<User *>{bob, carol}));
    EXPECT_TRUE(r->isLive());
    EXPECT_EQ(members.count(r), 1);
    ASSERT_EQ(chatUi.calls.size(), 1u);
    EXPECT_EQ(chatUi.calls[0].callChat, nullptr);
    EXPECT_EQ(chatUi.calls[0].callUser, bob);
    EXPECT_EQ(chatUi.calls[0].toChat, r);
    // Two members known: nobody is asked for more.
    EXPECT_EQ(sent(0).size(), 0);
}

// A call learns a room's number before anyone joins it; the room it makes when someone does must
// be the one already stored, or its lines and its window part ways.
TEST_F(ChatRoomTest, ARoomMadeForAStoredNumberIsThatRoom) {
    Chat *first = Chat::createWithUsers({bob}, QStringLiteral("43"));
    ASSERT_NE(first, nullptr);
    Chat *again = Chat::createWithUsers({bob, carol}, QStringLiteral("43"));
    EXPECT_EQ(again, first);
    EXPECT_EQ(all<Chat>().size(), 1);
    EXPECT_EQ(first->currentUsers(), (QList<User *>{bob, carol}));
    EXPECT_TRUE(first->isLive());
    // A line for the number lands in the room the window has.
    EXPECT_EQ(texts(Chat::receivedMessage(chatPacket("CRSM", "43", kCarol, "hi"))).value(0), "CRSMR");
    const QList<Message *> lines = all<Message>();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0]->chat(), first);
}

// Join packets for ever new numbers make rooms up to a burst, then at a steady rate; each is still
// answered.
TEST_F(ChatRoomTest, RoomsMadeFromPacketsAreBoundedInRate) {
    QDateTime now = QDateTime::fromMSecsSinceEpoch(1700000000000, QTimeZone::utc());
    Clock::setNowFunction([&now] { return now; });
    const auto join = [&](int n) {
        return texts(Chat::receivedJoinInfo(chatPacket("CRJR", QString::number(500000 + n), kBob, kBob + "," + kCarol)));
    };
    for (int n = 0; n < Chat::RoomsFromNetworkBurst + 8; ++n) EXPECT_EQ(join(n).value(0), "CRRR") << n;
    EXPECT_EQ(all<Chat>().size(), Chat::RoomsFromNetworkBurst);
    now = now.addSecs(3);
    for (int n = 100; n < 110; ++n) join(n);
    EXPECT_EQ(all<Chat>().size(), Chat::RoomsFromNetworkBurst + 3);
    // A room already stored is no new room: its join is taken whatever the rate.
    EXPECT_EQ(join(0).value(0), "CRRR");
    EXPECT_EQ(all<Chat>().size(), Chat::RoomsFromNetworkBurst + 3);
    Clock::setNowFunction({});
}

TEST_F(ChatRoomTest, JoinInfoWithOneKnownMemberAsksThatMemberForTheRest) {
    Chat::receivedJoinInfo(chatPacket("CRJR", "900", kBob, kBob + "," + kAlice + ",A999999999"));
    Chat *r = Chat::findByChatRoomId(QStringLiteral("900"));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->currentUsers(), QList<User *>{bob});
    const QList<QList<QByteArray>> got = sent(1);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0], bytes({"CRGRI", "900", "pc-alice", "A000000001", "*", "A000000002", "*", "*"}));

    // Bob's answer names the whole room; it is read like a join and not answered.
    EXPECT_TRUE(
        server->dispatch(chatPacket("CRGRR", "900", kBob, kBob + "," + kCarol + "," + kAlice), "").isEmpty());
    EXPECT_EQ(r->currentUsers(), (QList<User *>{bob, carol}));
    EXPECT_EQ(all<Chat>().size(), 1);
    EXPECT_EQ(sent(1).size(), 1);
}

TEST_F(ChatRoomTest, JoinInfoGoesToTheOpenWindowOfTheRoomOrOfTheSender) {
    QObject roomWindow, bobWindow;
    User *dave = peer(kDave, QStringLiteral("Dave"));
    Chat *stored = room(5, {bob});
    stored->setConversationWindow(&roomWindow);
    Chat::receivedJoinInfo(chatPacket("CRJR", "5", kBob, kBob + "," + kCarol + "," + kDave));
    ASSERT_EQ(chatUi.joins.size(), 1u);
    EXPECT_EQ(chatUi.joins[0].window, &roomWindow);
    EXPECT_EQ(chatUi.joins[0].users, (QList<User *>{carol, dave})); // only the new ones
    EXPECT_TRUE(chatUi.joins[0].roomId.isNull());
    EXPECT_EQ(stored->currentUsers(), QList<User *>{bob}); // the window changes the members
    EXPECT_EQ(chatUi.calls.back().callChat, stored);

    // No stored room: the open conversation with the sender becomes the room's window.
    bob->setConversationWindow(&bobWindow);
    Chat *ofWindow = room(6, {bob, carol});
    chatUi.chatOfWindow = ofWindow;
    Chat::receivedJoinInfo(chatPacket("CRJR", "6000", kBob, kBob + "," + kCarol));
    ASSERT_EQ(chatUi.joins.size(), 2u);
    EXPECT_EQ(chatUi.joins[1].window, &bobWindow);
    EXPECT_EQ(chatUi.joins[1].users, (QList<User *>{bob, carol}));
    EXPECT_EQ(chatUi.joins[1].roomId, QStringLiteral("6000"));
    EXPECT_EQ(Chat::findByChatRoomId(QStringLiteral("6000")), nullptr); // the window made none here
    EXPECT_EQ(chatUi.calls.back().callUser, bob);
    EXPECT_EQ(chatUi.calls.back().toChat, ofWindow);

    // A stored room without a window takes the sender's list as it stands.
    Chat *closed = room(7, {dave});
    Chat::receivedJoinInfo(chatPacket("CRJR", "7", kCarol, kCarol + "," + kBob + "," + kAlice));
    EXPECT_EQ(closed->currentUsers(), (QList<User *>{carol, bob}));
    EXPECT_TRUE(closed->isLive());
}

TEST_F(ChatRoomTest, ARoomMessageForAStoredRoomWithoutWindowIsStoredShownAndAsksForMembers) {
    Defaults::standard().setValue(QStringLiteral("sounds.enabled"), true);
    Defaults::standard().setValue(QStringLiteral("sounds.onIncoming"), true);
    QObject window;
    chatUi.windowToOpen = &window;
    Chat *r = room(321); // read back from the store: no members known
    NoticeRecorder updated(QStringLiteral("logUpdated"));
    const PacketArray reply = server->dispatch(chatPacket("CRSM", "321", kBob, "Grüße 👋"), "127.0.0.1");
    EXPECT_EQ(texts(reply), (QStringList{"CRSMR", "321", "pc-alice", kAlice, "*", kBob, "*", "*"}));
    const QList<Message *> lines = all<Message>();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0]->incoming());
    EXPECT_EQ(lines[0]->chat(), r);
    EXPECT_EQ(lines[0]->user(), QList<User *>{bob});
    EXPECT_EQ(lines[0]->message(), QStringLiteral("Grüße 👋"));
    EXPECT_EQ(lines[0]->originalSenderName(), QStringLiteral("Bob"));
    EXPECT_EQ(r->currentUsers(), QList<User *>{bob});
    EXPECT_TRUE(r->isLive());
    // The window, the notice and the sound come in a later turn.
    EXPECT_TRUE(chatUi.opened.empty());
    spinFor(50);
    ASSERT_EQ(chatUi.opened.size(), 1u);
    EXPECT_EQ(chatUi.opened[0], (std::pair<Chat *, bool>{r, true}));
    EXPECT_EQ(r->conversationWindow(), &window);
    EXPECT_EQ(updated.count(r), 1);
    EXPECT_EQ(chatUi.sounds, QStringList{QStringLiteral("Message")});
    const QList<QList<QByteArray>> got = sent(1);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0][0], "CRGRI");
    EXPECT_EQ(got[0][5], "A000000002");

    // A second line finds the window open and its writer a member: nothing more is asked.
    server->dispatch(chatPacket("CRSM", "321", kBob, "again"), "127.0.0.1");
    spinFor(50);
    EXPECT_EQ(chatUi.opened.size(), 1u);
    EXPECT_EQ(updated.count(r), 2);
    EXPECT_EQ(sent(1).size(), 1);
}

TEST_F(ChatRoomTest, ARoomMessageIsOnlyStoredForAKnownRoomFromAKnownUser) {
    room(10, {bob});
    struct Case {
        const char *what;
        PacketArray fields;
        bool replied;
    };
    const QList<Case> cases = {
        {"unknown room", chatPacket("CRSM", "11", kBob, "x"), true},
        {"not a room number", chatPacket("CRSM", "abc", kBob, "x"), true},
        {"unknown sender", chatPacket("CRSM", "10", "A999999999", "x"), false},
        {"the local user's id", chatPacket("CRSM", "10", kAlice, "x"), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Chat::receivedMessage(c.fields).isEmpty(), !c.replied);
    }
    spinFor(30);
    EXPECT_TRUE(all<Message>().isEmpty());
    EXPECT_TRUE(chatUi.opened.empty());
    EXPECT_TRUE(chatUi.sounds.isEmpty());
}

TEST_F(ChatRoomTest, ALeaveRemovesOnlyAMemberAndTheLastOneTakesTheRoomOutOfUse) {
    peer(kDave, QStringLiteral("Dave")); // known, but no member
    Chat *r = room(8, {bob, carol});
    Chat::receivedJoinInfo(chatPacket("CRJR", "8", kBob, kBob + "," + kCarol));
    ASSERT_TRUE(r->isLive());
    NoticeRecorder members(QStringLiteral("chatMembersChanged"));

    // Not a member, not known, or no such room: answered (or not) and nothing changes.
    EXPECT_EQ(texts(Chat::receivedLeaveInfo(chatPacket("CRLR", "8", kDave, "*")))[0],
              QStringLiteral("CRLRR"));
    EXPECT_TRUE(Chat::receivedLeaveInfo(chatPacket("CRLR", "8", "A999999999", "*")).isEmpty());
    EXPECT_FALSE(Chat::receivedLeaveInfo(chatPacket("CRLR", "99", kBob, "*")).isEmpty());
    EXPECT_EQ(r->currentUsers(), (QList<User *>{bob, carol}));
    EXPECT_TRUE(members.objects.empty());

    const PacketArray reply = server->dispatch(chatPacket("CRLR", "8", kBob, "*"), "127.0.0.1");
    EXPECT_EQ(texts(reply), (QStringList{"CRLRR", "8", "pc-alice", kAlice, "*", kBob, "*", "*"}));
    EXPECT_EQ(r->currentUsers(), QList<User *>{carol});
    EXPECT_TRUE(r->isLive());
    Chat::receivedLeaveInfo(chatPacket("CRLR", "8", kCarol, "*"));
    EXPECT_TRUE(r->currentUsers().isEmpty());
    EXPECT_FALSE(r->isLive());
    EXPECT_EQ(members.count(r), 2);
    EXPECT_NE(Chat::findByChatRoomId(QStringLiteral("8")), nullptr); // the history stays

    // With its window open, the window is told instead.
    QObject window;
    Chat *open = room(9, {bob});
    open->setConversationWindow(&window);
    Chat::receivedLeaveInfo(chatPacket("CRLR", "9", kBob, "*"));
    ASSERT_EQ(chatUi.leaves.size(), 1u);
    EXPECT_EQ(chatUi.leaves[0], (std::pair<QObject *, User *>{&window, bob}));
}

TEST_F(ChatRoomTest, ALineReachesOnlyOnlineMembersAndNothingIsHeld) {
    carol->setStatus(QStringLiteral("10"));
    Chat *r = room(12, {bob, carol});
    NoticeRecorder updated(QStringLiteral("logUpdated"));
    Message *m = r->sendMessage(QStringLiteral("to the room"));
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(m->incoming());
    EXPECT_EQ(m->chat(), r);
    EXPECT_EQ(m->user(), (QList<User *>{bob, carol}));
    EXPECT_EQ(m->originalSenderName(), QStringLiteral("Alice"));
    EXPECT_EQ(m->messageId(), 0);
    EXPECT_FALSE(m->isInserted()); // saved
    EXPECT_EQ(updated.count(r), 1);
    const QList<QList<QByteArray>> got = sent(1);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0][0], "CRSM");
    EXPECT_EQ(got[0][5], "A000000002");
    EXPECT_TRUE(handOvers.empty());
    EXPECT_TRUE(all<MessageForForwarding>().isEmpty());
    EXPECT_EQ(r->lastLogEnties(5), QList<LogEntry *>{m});
}

TEST_F(ChatRoomTest, LeavingTellsEveryMemberAndEndsTheRoomsUse) {
    carol->setStatus(QStringLiteral("10"));
    Chat *r = Chat::createWithUsers({bob, carol}, QStringLiteral("55"));
    ASSERT_TRUE(r->isLive());
    r->leaveChat();
    EXPECT_FALSE(r->isLive());
    const QList<QList<QByteArray>> got = sent(2);
    ASSERT_EQ(got.size(), 2); // the offline member too; a room number given: no join sent
    EXPECT_EQ(got[0][0], "CRLR");
    EXPECT_EQ(got[1][0], "CRLR");
}

TEST_F(ChatRoomTest, ShortAndHostilePacketsChangeNothing) {
    Chat *r = room(20, {bob});
    // A member list far beyond any room: read only up to its bound.
    QString longList;
    for (int i = 0; i < Chat::MaxMemberIds; ++i) longList += QStringLiteral("A%1,").arg(500000000 + i);
    const QString hugeId = QString(100000, u'A');
    struct Case {
        const char *what;
        PacketArray fields;
    };
    const QList<Case> cases = {
        {"nothing", {}},
        {"type only", {"CRJR"}},
        {"no member list", {"CRJR", "20", "pc", kCarol, "*", kAlice}},
        {"empty sender", chatPacket("CRJR", "21", "", kCarol)},
        {"room number not a number", chatPacket("CRJR", "abc", kBob, kBob + "," + kCarol)},
        {"commas only", chatPacket("CRJR", "22", kBob, QString(200000, u','))},
        {"a huge id", chatPacket("CRJR", "23", kBob, hugeId + "," + hugeId)},
        {"known id past the bound", chatPacket("CRJR", "24", "A999999999", longList + kCarol)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        server->dispatch(c.fields, "127.0.0.1");
        for (const char *word : {"CRGRR", "CRGRI", "CRSM", "CRLR"}) {
            PacketArray other = c.fields;
            if (!other.isEmpty()) other[0] = QString::fromLatin1(word);
            server->dispatch(other, "127.0.0.1");
        }
    }
    spinFor(30);
    EXPECT_EQ(all<Chat>(), QList<Chat *>{r});
    EXPECT_EQ(r->currentUsers(), QList<User *>{bob});
    EXPECT_TRUE(all<Message>().isEmpty());
    EXPECT_EQ(sent(0).size(), 0);
}

TEST_F(ChatRoomTest, RoomNumbersAreTheIntegerValueOfTheirText) {
    const std::vector<std::pair<const char *, std::optional<qint64>>> cases = {
        {"0", 0},
        {"000123", 123},
        {"999998", 999998},
        {"999999", 999999},
        {"1234567", 1234567},
        {"-5", -5},
        {"+7", 7},
        {" 42", 42},
        {"12a", 12},
        {"99999999999999999999999", INT64_MAX},
        {"", std::nullopt},
        {"*", std::nullopt},
        {"abc", std::nullopt},
        {"-", std::nullopt},
    };
    for (const auto &[text, id] : cases)
        EXPECT_EQ(Chat::roomIdFromText(QString::fromLatin1(text)), id) << text;
    room(33, {bob});
    EXPECT_NE(Chat::findByChatRoomId(QStringLiteral("0033")), nullptr);
    EXPECT_NE(Chat::findByChatRoomId(QStringLiteral("33x")), nullptr);
    EXPECT_EQ(Chat::findByChatRoomId(QStringLiteral("x33")), nullptr);
}

TEST_F(ChatRoomTest, RoomsOtherCopiesNumberOutsideOurRangeWorkLikeOurOwn) {
    for (const char *number : {"999999", "4000000000", "-17"}) {
        SCOPED_TRACE(number);
        const QString roomText = QString::fromLatin1(number);
        // Joined, asked about and written to under the peer's number.
        EXPECT_EQ(
            texts(server->dispatch(chatPacket("CRJR", roomText, kBob, kBob + "," + kCarol), "127.0.0.1"))
                .value(0),
            QStringLiteral("CRRR"));
        Chat *r = Chat::findByChatRoomId(roomText);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->roomId(), roomText.toLongLong());
        EXPECT_EQ(r->currentUsers(), (QList<User *>{bob, carol}));
        EXPECT_EQ(texts(server->dispatch(chatPacket("CRGRI", roomText, kCarol, "*"), "127.0.0.1")),
                  (QStringList{"CRGRR", roomText, "pc-alice", kAlice, "*", kCarol,
                               kAlice + "," + kBob + "," + kCarol, "*"}));
        EXPECT_EQ(texts(server->dispatch(chatPacket("CRSM", roomText, kBob, "hello"), "127.0.0.1")).value(0),
                  QStringLiteral("CRSMR"));
        QStringList stored;
        for (Message *m : all<Message>())
            if (m->chat() == r && m->incoming()) stored.append(m->message());
        EXPECT_EQ(stored, QStringList{QStringLiteral("hello")});
        // Our own packets for the room carry the same number.
        r->sendMessage(QStringLiteral("back"));
    }
    const QList<QList<QByteArray>> got = sent(6);
    QList<QByteArray> rooms;
    for (const QList<QByteArray> &request : got)
        if (request.value(0) == "CRSM") rooms.append(request.value(1));
    EXPECT_EQ(rooms, bytes({"999999", "999999", "4000000000", "4000000000", "-17", "-17"}));
}

TEST_F(ChatRoomTest, TheLocalUserIsNeverAMemberOfItsRooms) {
    Chat *r = room(34);
    NoticeRecorder members(QStringLiteral("chatMembersChanged"));
    r->setCurrentUsers({me, bob, nullptr, bob, carol});
    EXPECT_EQ(r->currentUsers(), (QList<User *>{bob, carol}));
    r->setCurrentUsers({bob, carol, me});
    EXPECT_EQ(members.count(r), 1); // the same members: no second notice
    EXPECT_EQ(r->userIDsString(), kAlice + "," + kBob + "," + kCarol);
}

} // namespace
