#include "core/model/Chat.h"
#include "core/model/Group.h"
#include "core/model/SystemMessage.h"
#include "core/net/TCPserverTestSupport.h"
#include "core/wire/KDTAES.h"

#include <QTimeZone>

namespace {

class IncomingMessageTest : public MessagingFixture {};

const QString kBob = QStringLiteral("A000000002");
const QString kCarol = QStringLiteral("A000000003");

QStringList texts(const PacketArray &a) {
    QStringList out;
    for (const PacketField &f : a) out.append(f.toString());
    return out;
}

struct WordCase {
    const char *word;
    PacketArray fields;
    bool held; // stored as a MessageForForwarding
    bool mass;
    bool offline; // Message.offline
    qint64 id;
    qint64 seconds; // expected time, or 0 for "now"
};

TEST_F(IncomingMessageTest, EachMessageWordIsStoredAsItsKind) {
    Message::setLocalOffsetFunction([] { return 3600.0; });
    std::vector<qint64> announced;
    Message::setReceivedNoticeSender([&](qint64 id) { announced.push_back(id); });
    User *bob = peer(kBob, QStringLiteral("Bob"));
    User *carol = peer(kCarol, QStringLiteral("Carol"), QStringLiteral("127.0.0.3"), false);
    const QString text = QStringLiteral("Привет 👋");
    const QList<WordCase> cases = {
        {"TSM", {"TSM", "111", "pc-bob", kBob, "*", me->userId(), text, "*"}, false, false, false, 111, 0},
        {"TMM", {"TMM", "112", "pc-bob", kBob, "*", me->userId(), text, "*"}, false, true, false, 112, 0},
        // Hand-over: field 1 the offline user, 2 the id, 4 the author's local seconds, 7 its name.
        {"TSOM",
         {"TSOM", kCarol, "113", kBob, "1700003600.75", me->userId(), text, "Bob"},
         true,
         false,
         false,
         113,
         1700000000},
        {"TSOMM",
         {"TSOMM", kCarol, "114", kBob, "1700003600", me->userId(), text, "Bob"},
         true,
         true,
         false,
         114,
         1700000000},
        // Delivery: field 2 the local seconds, 3 the holder, 7 the author.
        {"TSFM",
         {"TSFM", "115", "1700003600", kCarol, "Bob", me->userId(), text, kBob},
         false,
         false,
         true,
         115,
         1700000000},
        {"TSFMM",
         {"TSFMM", "116", "1700003600", kCarol, "Bob", me->userId(), text, kBob},
         false,
         true,
         true,
         116,
         1700000000},
    };
    for (const WordCase &c : cases) {
        SCOPED_TRACE(c.word);
        const PacketArray reply = Message::gotMessage(c.fields, QStringLiteral("127.0.0.2"));
        EXPECT_EQ(texts(reply), (QStringList{"TMR", "*", "pc-alice", me->userId(), "*",
                                             c.fields.at(3).toString(), "*", "*"}));
        if (c.held) {
            const QList<MessageForForwarding *> held = MessageForForwarding::findByMessageId(ctx, c.id);
            ASSERT_EQ(held.size(), 1);
            EXPECT_EQ(held[0]->mass(), c.mass);
            EXPECT_EQ(held[0]->sender(), bob);
            EXPECT_EQ(held[0]->recipients(), QList<User *>{carol});
            EXPECT_EQ(KDTAES::decryptString(held[0]->message(), true), text);
            EXPECT_EQ(held[0]->time().toSecsSinceEpoch(), c.seconds);
            EXPECT_EQ(Message::findByMessageId(ctx, c.id), nullptr);
        } else {
            Message *m = Message::findByMessageId(ctx, c.id);
            ASSERT_NE(m, nullptr);
            EXPECT_TRUE(m->incoming());
            EXPECT_EQ(m->mass(), c.mass);
            EXPECT_EQ(m->offline(), c.offline);
            EXPECT_EQ(m->message(), text);
            EXPECT_EQ(m->originalSenderName(), QStringLiteral("Bob"));
            EXPECT_EQ(m->user(), QList<User *>{bob});
            if (c.seconds) {
                EXPECT_EQ(m->time().toSecsSinceEpoch(), c.seconds);
            } else {
                EXPECT_LE(qAbs(m->time().msecsTo(m->timeReceived())), 1000);
            }
        }
    }
    // Only stored forwarded deliveries tell the other holders.
    EXPECT_EQ(announced, (std::vector<qint64>{115, 116}));
    // Shown in a later turn: the sender's conversation, once per line.
    EXPECT_TRUE(ui.conversations.empty());
    spinFor(50);
    EXPECT_EQ(ui.conversations.size(), 4u);
}

TEST_F(IncomingMessageTest, NothingIsStoredButEveryPacketIsAcknowledged) {
    User *bob = peer(kBob, QStringLiteral("Bob"));
    ctx->insert<Message>()->setMessageId(500);
    auto *held = ctx->insert<MessageForForwarding>();
    held->setMessageId(501);
    struct Case {
        const char *what;
        PacketArray fields;
    };
    const QList<Case> cases = {
        {"id already stored", {"TSM", "500", "pc", kBob, "*", me->userId(), "x", "*"}},
        {"id only held", {"TSM", "501", "pc", kBob, "*", me->userId(), "x", "*"}},
        {"for another user", {"TSM", "502", "pc", kBob, "*", kCarol, "x", "*"}},
        {"hand-over for an unknown user", {"TSOM", "A0000000FF", "503", kBob, "1", me->userId(), "x", "Bob"}},
    };
    const int messagesBefore = all<Message>().size();
    const int heldBefore = all<MessageForForwarding>().size();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const PacketArray reply = Message::gotMessage(c.fields, QStringLiteral("127.0.0.2"));
        ASSERT_EQ(reply.size(), 8);
        EXPECT_EQ(reply.at(0).toString(), QStringLiteral("TMR"));
        EXPECT_EQ(reply.at(5).toString(), kBob);
    }
    EXPECT_EQ(all<Message>().size(), messagesBefore);
    EXPECT_EQ(all<MessageForForwarding>().size(), heldBefore);
    EXPECT_EQ(all<User>().size(), 2); // Alice and Bob: nobody was made up
    (void)bob;
}

TEST_F(IncomingMessageTest, ShortPacketsStoreNothingAndGetNoReply) {
    peer(kBob, QStringLiteral("Bob"));
    for (const char *word : {"TSM", "TSOM", "TSFMM"}) {
        SCOPED_TRACE(word);
        const PacketArray seven = {word, "600", "pc", kBob, "*", me->userId(), "x"};
        EXPECT_TRUE(Message::gotMessage(seven, QStringLiteral("127.0.0.2")).isEmpty());
    }
    EXPECT_TRUE(all<Message>().isEmpty());
    EXPECT_TRUE(all<MessageForForwarding>().isEmpty());
}

TEST_F(IncomingMessageTest, AnUnknownSenderIsCreatedWithItsAddressAndAsked) {
    const PacketArray fields = {"TSM", "700", "pc-dave", "A000000004", "*", me->userId(), "hi", "*"};
    const PacketArray reply = Message::gotMessage(fields, QStringLiteral("198.18.0.4"));
    EXPECT_EQ(reply.at(5).toString(), QStringLiteral("A000000004"));
    User *dave = User::findByUserId(ctx, QStringLiteral("A000000004"));
    ASSERT_NE(dave, nullptr);
    EXPECT_EQ(dave->ip(), QStringLiteral("198.18.0.4"));
    EXPECT_TRUE(dave->userOffline());
    EXPECT_EQ(dave->group(), Group::general(ctx));
    // The roster asks in the main queue's next turn.
    EXPECT_TRUE(waitUntil([&] { return !infoRequests.isEmpty(); }, 1000));
    EXPECT_EQ(infoRequests, QStringList{QStringLiteral("A000000004")});
    Message *m = Message::findByMessageId(ctx, 700);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->originalSenderName(), QString());
}

TEST_F(IncomingMessageTest, AnOfflineSenderTakesTheNameItCarries) {
    User *bob = peer(kBob, QStringLiteral("Bob"), QStringLiteral("127.0.0.2"), false);
    Message::gotMessage({"TSFM", "800", "1", kCarol, "Robert", me->userId(), "x", kBob}, QString());
    EXPECT_EQ(bob->name(), QStringLiteral("Robert"));
    // Online users keep their name; "*" is no name.
    bob->setStatus(QStringLiteral("0"));
    Message::gotMessage({"TSFM", "801", "1", kCarol, "Bobby", me->userId(), "x", kBob}, QString());
    EXPECT_EQ(bob->name(), QStringLiteral("Robert"));
}

TEST_F(IncomingMessageTest, TheLocalOffsetFollowsTheSystemZoneAtEachUse) {
    EXPECT_EQ(Message::localOffsetFromGMT(),
              double(QTimeZone::systemTimeZone().offsetFromUtc(QDateTime::currentDateTimeUtc())));
    double offset = 7200;
    Message::setLocalOffsetFunction([&] { return offset; });
    peer(kBob, QStringLiteral("Bob"));
    Message::gotMessage({"TSFM", "900", "1700007200", kCarol, "Bob", me->userId(), "x", kBob}, QString());
    offset = 3600; // the zone changed between two deliveries
    Message::gotMessage({"TSFM", "901", "1700003600", kCarol, "Bob", me->userId(), "x", kBob}, QString());
    EXPECT_EQ(Message::findByMessageId(ctx, 900)->time().toSecsSinceEpoch(), 1700000000);
    EXPECT_EQ(Message::findByMessageId(ctx, 901)->time().toSecsSinceEpoch(), 1700000000);
}

struct PopupCase {
    const char *what;
    int minimize;
    int anyTime;
    bool inFront;
    bool callLive;
    bool mass;
    bool raised;
    QStringList sounds;
};

TEST_F(IncomingMessageTest, SoundAndWindowRulesOfANewLine) {
    User *bob = peer(kBob, QStringLiteral("Bob"));
    QObject window;
    bob->setConversationWindow(&window);
    const QList<PopupCase> cases = {
        {"plain", 0, 0, false, false, false, true, {"Message"}},
        {"mass", 0, 0, false, false, true, true, {"Broadcast"}},
        {"minimized messages", 1, 0, false, false, false, false, {"Message"}},
        {"window in front", 0, 0, true, false, false, false, {}},
        {"window in front, any time", 0, 1, true, false, false, true, {"Message"}},
        {"during a call", 0, 0, false, true, false, false, {"Message"}},
    };
    Defaults &settings = Defaults::standard();
    for (const PopupCase &c : cases) {
        SCOPED_TRACE(c.what);
        settings.setValue(QStringLiteral("minimizeMessages"), c.minimize);
        settings.setValue(QStringLiteral("sounds.anyTime"), c.anyTime);
        ui.windowInFront = c.inFront;
        ui.callLive = c.callLive;
        ui.raised.clear();
        ui.sounds.clear();
        auto *m = ctx->insert<Message>();
        m->setMass(c.mass);
        m->addUserObject(bob);
        m->playSoundAndPopupWindow();
        EXPECT_EQ(!ui.raised.empty(), c.raised);
        if (!ui.raised.empty()) {
            EXPECT_EQ(ui.raised.front().first, &window);
        }
        EXPECT_EQ(ui.sounds, c.sounds);
    }
    settings.removeObject(QStringLiteral("minimizeMessages"));
    settings.removeObject(QStringLiteral("sounds.anyTime"));
    bob->setConversationWindow(nullptr);
}

TEST_F(IncomingMessageTest, SystemLinesGoToAUserOrAChat) {
    User *bob = peer(kBob, QStringLiteral("Bob"));
    auto *chat = ctx->insert<Chat>();
    SystemMessage *toUser = SystemMessage::addText(QStringLiteral("call ended"), bob, false);
    SystemMessage *toChat = SystemMessage::addText(QStringLiteral("Bob left"), chat, true);
    ASSERT_TRUE(toUser && toChat);
    EXPECT_EQ(toUser->user(), QList<User *>{bob});
    EXPECT_EQ(toUser->originalSenderName(), QStringLiteral("Bob"));
    EXPECT_FALSE(toUser->error());
    EXPECT_EQ(toUser->text(), QStringLiteral("call ended"));
    EXPECT_EQ(toChat->chat(), chat);
    EXPECT_TRUE(toChat->user().isEmpty());
    EXPECT_EQ(toChat->originalSenderName(), QStringLiteral("system"));
    EXPECT_TRUE(toChat->error());
    EXPECT_EQ(SystemMessage::addText(QStringLiteral("x"), nullptr, false), nullptr);
}

} // namespace
