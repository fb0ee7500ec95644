#include "core/app/ErrorPresenter.h"
#include "core/app/GroupCommit.h"
#include "core/model/Chat.h"
#include "core/model/Group.h"
#include "core/model/SystemMessage.h"
#include "core/net/TCPserverTestSupport.h"
#include "core/wire/KDTAES.h"
#include "platform/store/Clock.h"
#include "support/EventLoopWait.h"
#include "support/FileSizeLimit.h"

#include <QDir>
#include <QFile>
#include <QTimeZone>

#include <optional>

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

TEST_F(IncomingMessageTest, SevenFieldsAreEnoughOnlyForWordsThatNeverReadFieldSeven) {
    peer(kBob, QStringLiteral("Bob"));
    struct Case {
        const char *word;
        qint64 id;
        bool stored;
    };
    // "TSM" and "TMM" never read field 7; a hand-over and a delivery read the author there.
    for (const Case &c : {Case{"TSM", 600, true}, Case{"TMM", 601, true}, Case{"TSOM", 602, false},
                          Case{"TSFMM", 603, false}}) {
        SCOPED_TRACE(c.word);
        const PacketArray seven = {c.word, QString::number(c.id), "pc", kBob, "*", me->userId(), "x"};
        const PacketArray reply = Message::gotMessage(seven, QStringLiteral("127.0.0.2"));
        const QStringList receipt = {"TMR", "*", "pc-alice", me->userId(), "*", kBob, "*", "*"};
        EXPECT_EQ(texts(reply), c.stored ? receipt : QStringList());
        EXPECT_EQ(Message::findByMessageId(ctx, c.id) != nullptr, c.stored);
    }
    EXPECT_TRUE(all<MessageForForwarding>().isEmpty());
}

TEST_F(IncomingMessageTest, NoReceiptAndNoAnnouncementUntilTheStoreHoldsThePacket) {
    Message::setLocalOffsetFunction([] { return 0.0; });
    std::vector<qint64> announced;
    Message::setReceivedNoticeSender([&](qint64 id) { announced.push_back(id); });
    peer(kBob, QStringLiteral("Bob"));
    peer(kCarol, QStringLiteral("Carol"), QStringLiteral("127.0.0.3"), false);
    ASSERT_TRUE(saveContextIfChanged());
    struct Case {
        PacketArray fields;
        qint64 id;
        bool held;
        bool announces; // a forwarded copy tells the other holders once it is stored
    };
    const QList<Case> cases = {
        {{"TSM", "1001", "pc-bob", kBob, "*", me->userId(), "one", "*"}, 1001, false, false},
        {{"TMM", "1002", "pc-bob", kBob, "*", me->userId(), "two", "*"}, 1002, false, false},
        {{"TSOM", kCarol, "1003", kBob, "1700000000", me->userId(), "three", "Bob"}, 1003, true, false},
        {{"TSOMM", kCarol, "1004", kBob, "1700000000", me->userId(), "four", "Bob"}, 1004, true, false},
        {{"TSFM", "1005", "1700000000", kCarol, "Bob", me->userId(), "five", kBob}, 1005, false, true},
        {{"TSFMM", "1006", "1700000000", kCarol, "Bob", me->userId(), "six", kBob}, 1006, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fields.at(0).toString().toStdString());
        {
            FileSizeLimit diskFull;
            ASSERT_TRUE(diskFull.active());
            const Message::Receipt receipt = Message::receive(c.fields, QStringLiteral("127.0.0.2"));
            EXPECT_TRUE(receipt.refused);
            EXPECT_TRUE(receipt.reply.isEmpty());
        }
        // Nothing was kept, not even in memory, and no holder was told to drop its copy.
        EXPECT_FALSE(User::messageIdExists(ctx, c.id));
        EXPECT_TRUE(announced.empty());

        // The sender tries again once there is room: stored for good, then answered.
        const Message::Receipt receipt = Message::receive(c.fields, QStringLiteral("127.0.0.2"));
        EXPECT_FALSE(receipt.refused);
        EXPECT_EQ(texts(receipt.reply), (QStringList{"TMR", "*", "pc-alice", me->userId(), "*",
                                                     c.fields.at(3).toString(), "*", "*"}));
        if (c.held) {
            const QList<MessageForForwarding *> held = MessageForForwarding::findByMessageId(ctx, c.id);
            ASSERT_EQ(held.size(), 1);
            EXPECT_FALSE(held[0]->isInserted());
        } else {
            Message *m = Message::findByMessageId(ctx, c.id);
            ASSERT_NE(m, nullptr);
            EXPECT_FALSE(m->isInserted());
        }
        EXPECT_EQ(announced, c.announces ? std::vector<qint64>{c.id} : std::vector<qint64>{});
        announced.clear();
    }
    spinFor(50);
    EXPECT_EQ(ui.conversations.size(), 4u); // each stored line shown once, none of the refused
}

TEST_F(IncomingMessageTest, AHandOverNamingTheLocalUserIsAMessageForUs) {
    Message::setLocalOffsetFunction([] { return 3600.0; });
    std::vector<qint64> announced;
    Message::setReceivedNoticeSender([&](qint64 id) { announced.push_back(id); });
    User *bob = peer(kBob, QStringLiteral("Bob"));
    struct Case {
        const char *word;
        qint64 id;
        bool mass;
    };
    for (const Case &c : {Case{"TSOM", 1201, false}, Case{"TSOMM", 1202, true}}) {
        SCOPED_TRACE(c.word);
        const QString text = QStringLiteral("for you, %1").arg(c.id);
        const PacketArray fields = {
            c.word, me->userId(), QString::number(c.id), kBob, "1700003600.5", me->userId(), text, "Bob"};
        const PacketArray reply = Message::gotMessage(fields, QStringLiteral("127.0.0.2"));
        EXPECT_EQ(texts(reply), (QStringList{"TMR", "*", "pc-alice", me->userId(), "*", kBob, "*", "*"}));
        EXPECT_TRUE(MessageForForwarding::findByMessageId(ctx, c.id).isEmpty());
        Message *m = Message::findByMessageId(ctx, c.id);
        ASSERT_NE(m, nullptr);
        EXPECT_TRUE(m->incoming());
        EXPECT_TRUE(m->offline());
        EXPECT_EQ(m->mass(), c.mass);
        EXPECT_EQ(m->message(), text);
        EXPECT_EQ(m->user(), QList<User *>{bob});
        EXPECT_EQ(m->time().toSecsSinceEpoch(), 1700000000);
    }
    // Every other holder of those copies may drop it.
    EXPECT_EQ(announced, (std::vector<qint64>{1201, 1202}));
}

TEST_F(IncomingMessageTest, AForwardedCopyOfAStoredMessageUnderAnotherIdIsTheSameMessage) {
    Message::setLocalOffsetFunction([] { return 0.0; });
    std::vector<qint64> announced;
    Message::setReceivedNoticeSender([&](qint64 id) { announced.push_back(id); });
    QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'400, QTimeZone::utc());
    Clock::setNowFunction([&] { return now; });
    peer(kBob, QStringLiteral("Bob"));
    peer(kCarol, QStringLiteral("Carol"));
    const QString text = QStringLiteral("meeting at three");
    // A mass message that arrived directly (stamped on arrival); its receipt was lost, so the
    // author handed it over under a new id.
    Message::gotMessage({"TMM", "2001", "pc-bob", kBob, "*", me->userId(), text, "*"},
                        QStringLiteral("127.0.0.2"));
    // One that came forwarded carries its sending second.
    Message::gotMessage({"TSFMM", "2002", "1699999900", kCarol, "Bob", me->userId(), "earlier", kBob},
                        QString());
    // The same for messages to this user alone, which keep their ids on every path.
    Message::gotMessage({"TSM", "2003", "pc-bob", kBob, "*", me->userId(), "ok?", "*"},
                        QStringLiteral("127.0.0.2"));
    Message::gotMessage({"TSFM", "2004", "1699999900", kCarol, "Bob", me->userId(), "later?", kBob},
                        QString());
    announced.clear();
    struct Case {
        const char *what;
        const char *word;
        const char *seconds;
        const char *author;
        QString text;
        bool stored;
    };
    const QList<Case> cases = {
        {"the same second", "TSFMM", "1700000000", "A000000002", text, false},
        {"sent in the second before it arrived", "TSFMM", "1699999999", "A000000002", text, false},
        {"the same, held for us by its author", "TSOMM", "1700000000", "A000000002", text, false},
        {"a forwarded one, the same second", "TSFMM", "1699999900", "A000000002", "earlier", false},
        {"a forwarded one, another second", "TSFMM", "1699999901", "A000000002", "earlier", true},
        {"not a mass message", "TSFM", "1700000000", "A000000002", text, true},
        // Written again while the first was still held for us: two messages.
        {"to us alone, the text of a direct one", "TSFM", "1700000000", "A000000002", "ok?", true},
        {"to us alone, held for us by its author", "TSOM", "1700000000", "A000000002", "ok?", true},
        {"to us alone, the text and second of a forwarded one", "TSFM", "1699999900", "A000000002", "later?",
         true},
        {"another text", "TSFMM", "1700000000", "A000000002", text + "!", true},
        {"another author", "TSFMM", "1700000000", "A000000003", text, true},
        {"written long before", "TSFMM", "1699990000", "A000000002", text, true},
    };
    qint64 id = 2100;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ++id;
        const QString word = QString::fromLatin1(c.word);
        const QString author = QString::fromLatin1(c.author);
        const PacketArray fields =
            word.startsWith(QLatin1String("TSOM"))
                ? PacketArray{word,   me->userId(), QString::number(id), author, c.seconds, me->userId(),
                              c.text, "Bob"}
                : PacketArray{word,  QString::number(id), c.seconds, kCarol,
                              "Bob", me->userId(),        c.text,    author};
        const PacketArray reply = Message::gotMessage(fields, QStringLiteral("127.0.0.2"));
        EXPECT_EQ(reply.value(0).toString(), QStringLiteral("TMR")); // answered as for a stored one
        EXPECT_EQ(Message::findByMessageId(ctx, id) != nullptr, c.stored);
        EXPECT_EQ(announced, c.stored ? std::vector<qint64>{id} : std::vector<qint64>{});
        announced.clear();
        // The next case must not find this one.
        if (Message *m = Message::findByMessageId(ctx, id)) ctx->deleteObject(m);
        saveContextIfChanged();
    }
    Clock::setNowFunction({});
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
    // Another text: the same author, text and second would be the same message.
    Message::gotMessage({"TSFM", "901", "1700003600", kCarol, "Bob", me->userId(), "y", kBob}, QString());
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

// A run whose store could not be opened goes on in memory: nothing it takes in would outlive it.
// Packets received in one turn share one save, and no receipt is given before the save that
// holds its packet is over; when that save fails, none is given and nothing is kept.
TEST_F(IncomingMessageTest, PacketsOfOneTurnShareOneSaveAndEachWaitsForIt) {
    Message::setLocalOffsetFunction([] { return 0.0; });
    std::vector<qint64> announced;
    Message::setReceivedNoticeSender([&](qint64 id) { announced.push_back(id); });
    peer(kBob, QStringLiteral("Bob"));
    peer(kCarol, QStringLiteral("Carol"), QStringLiteral("127.0.0.3"), false);
    ASSERT_TRUE(saveContextIfChanged());
    int saves = 0;
    QObject::connect(ctx, &ManagedObjectContext::willSave, ctx, [&saves] { ++saves; });
    for (const bool diskFull : {false, true}) {
        SCOPED_TRACE(diskFull ? "disk full" : "room");
        const qint64 base = diskFull ? 2000 : 3000;
        const QList<PacketArray> packets = {
            {"TSM", QString::number(base + 1), "pc-bob", kBob, "*", me->userId(), "one", "*"},
            {"TSM", QString::number(base + 2), "pc-bob", kBob, "*", me->userId(), "two", "*"},
            // The first one again: known already, yet confirmed only with the same save.
            {"TSM", QString::number(base + 1), "pc-bob", kBob, "*", me->userId(), "one", "*"},
            {"TSOM", kCarol, QString::number(base + 3), kBob, "1700000000", me->userId(), "held", "Bob"},
            {"TSFM", QString::number(base + 4), "1700000000", kCarol, "Bob", me->userId(), "fwd", kBob},
        };
        std::optional<FileSizeLimit> limit;
        if (diskFull) limit.emplace();
        saves = 0;
        std::vector<Message::Receipt> receipts;
        // Each receipt must find its packet stored: nothing of the batch is still unsaved then.
        bool unsavedAtReceipt = false;
        for (const PacketArray &p : packets)
            Message::receiveThen(p, QStringLiteral("127.0.0.2"), [&](const Message::Receipt &r) {
                unsavedAtReceipt = unsavedAtReceipt || (!r.refused && ctx->hasChanges());
                receipts.push_back(r);
            });
        EXPECT_TRUE(receipts.empty()); // nothing is answered in the turn the packets came in
        ASSERT_TRUE(waitUntil([&] { return receipts.size() == size_t(packets.size()); }));
        limit.reset();
        EXPECT_EQ(saves, 1);
        EXPECT_FALSE(unsavedAtReceipt);
        for (const Message::Receipt &r : receipts) {
            EXPECT_EQ(r.refused, diskFull);
            EXPECT_EQ(r.reply.isEmpty(), diskFull);
        }
        for (qint64 id = base + 1; id <= base + 4; ++id)
            EXPECT_EQ(User::messageIdExists(ctx, id), !diskFull) << id;
        EXPECT_EQ(announced, diskFull ? std::vector<qint64>{} : std::vector<qint64>{base + 4});
        announced.clear();
    }
}

class StorelessRunTest : public MessagingFixture {
protected:
    class Recorder : public ErrorPresenter {
    public:
        void presentError(const AppError &error) override { errors.push_back(error); }
        std::vector<AppError> errors;
    };
    void SetUp() override {
        // A file where the store's folder belongs.
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("data"))));
        QFile blocker(dir.filePath(QStringLiteral("data/Murnavell")));
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
        ErrorPresenter::install(&presented);
        MessagingFixture::SetUp();
    }
    void TearDown() override {
        MessagingFixture::TearDown();
        ErrorPresenter::install(nullptr);
    }
    Recorder presented;
};

TEST_F(StorelessRunTest, NoMessageIsAcknowledgedNoCopyHeldAndTheUserIsToldOnce) {
    ASSERT_EQ(delegate->storeState(), KDTAppDelegate::StoreState::InMemory);
    std::vector<qint64> announced;
    Message::setReceivedNoticeSender([&](qint64 id) { announced.push_back(id); });
    peer(kBob, QStringLiteral("Bob"));
    peer(kCarol, QStringLiteral("Carol"), QStringLiteral("127.0.0.3"), false);
    const QList<PacketArray> packets = {
        {"TSM", "3001", "pc-bob", kBob, "*", me->userId(), "one", "*"},
        {"TMM", "3002", "pc-bob", kBob, "*", me->userId(), "two", "*"},
        {"TSOM", kCarol, "3003", kBob, "1700000000", me->userId(), "three", "Bob"},
        {"TSFMM", "3004", "1700000000", kCarol, "Bob", me->userId(), "four", kBob},
        {"TSM", "3001", "pc-bob", kBob, "*", me->userId(), "one", "*"}, // asked again
    };
    for (const PacketArray &fields : packets) {
        SCOPED_TRACE(fields.at(0).toString().toStdString());
        const Message::Receipt receipt = Message::receive(fields, QStringLiteral("127.0.0.2"));
        EXPECT_TRUE(receipt.refused);
        EXPECT_TRUE(receipt.reply.isEmpty());
    }
    EXPECT_TRUE(all<Message>().isEmpty());
    EXPECT_TRUE(all<MessageForForwarding>().isEmpty());
    EXPECT_TRUE(announced.empty());
    spinFor(50);
    const auto told = std::count_if(presented.errors.begin(), presented.errors.end(), [](const AppError &e) {
        return e.code == StoreError::NotOpen && e.description.contains(QLatin1String("cannot be stored"));
    });
    EXPECT_EQ(told, 1);
}

} // namespace
