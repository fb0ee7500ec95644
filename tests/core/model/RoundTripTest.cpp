#include "ModelTestSupport.h"
#include "core/model/Chat.h"
#include "core/model/Group.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/SystemMessage.h"
#include "core/model/User.h"
#include "transfer/FileTransfer.h"

namespace {

using StringSetter = void (User::*)(const QString &);
using StringGetter = QString (User::*)() const;

struct StringAttribute {
    const char *key;
    StringSetter set;
    StringGetter get;
};

const QList<StringAttribute> userStrings = {
    {"userId", &User::setUserId, &User::userId},
    {"pc", &User::setPc, &User::pc},
    {"ip", &User::setIp, &User::ip},
    {"logonUser", &User::setLogonUser, &User::logonUser},
    {"oSversion", &User::setOSversion, &User::oSversion},
    {"version", &User::setVersion, &User::version},
    {"firstName", &User::setFirstName, &User::firstName},
    {"lastName", &User::setLastName, &User::lastName},
    {"department", &User::setDepartment, &User::department},
    {"jobTitle", &User::setJobTitle, &User::jobTitle},
    {"additionalInformation", &User::setAdditionalInformation, &User::additionalInformation},
    {"statusString", &User::setStatusString, &User::statusString},
    {"idleTime", &User::setIdleTime, &User::idleTime},
    {"isOnTS", &User::setIsOnTS, &User::isOnTS},
    {"tsClientIP", &User::setTsClientIP, &User::tsClientIP},
    {"tsServerIP", &User::setTsServerIP, &User::tsServerIP},
    {"tsClientPCname", &User::setTsClientPCname, &User::tsClientPCname},
    {"tsConnectionState", &User::setTsConnectionState, &User::tsConnectionState},
};

QString sample(const char *key, const char *who) {
    return QString::fromLatin1(who) + QLatin1Char('-') + QString::fromLatin1(key) + QStringLiteral(" ü€");
}

class ModelRoundTripTest : public StoreFixture {};

TEST_F(ModelRoundTripTest, EveryEntityWithEveryAttributeAndRelationship) {
    const QDateTime t1 = now.addSecs(-3600), t2 = now.addSecs(-60);

    Group *team = ctx->insert<Group>();
    team->setName("Team");
    team->setExpanded(true);

    User *ann = ctx->insert<User>();
    for (const StringAttribute &a : userStrings) (ann->*a.set)(sample(a.key, "ann"));
    ann->setName("Ann");
    ann->setValue("status", "1");
    ann->setRemoved(true);
    ann->setSessionId(123456789012LL);
    ann->setGroup(team);

    User *bob = ctx->insert<User>();
    bob->setUserId("Abob");
    bob->setName("Bob");
    bob->setGroup(team);

    Me *me = ctx->insert<Me>();
    me->setUserId("Ame");
    me->setName("Me");
    me->setInIdleAway(true);
    me->setStatusBeforeIdle("1");
    me->setSessionId(42);

    Chat *room = ctx->insert<Chat>();
    room->setRoomId(998877);

    Message *mass = ctx->insert<Message>();
    mass->setIncoming(true);
    mass->setTime(t1);
    mass->setOriginalSenderName("Ann");
    mass->setMass(true);
    mass->setMessage("hello\nthere ü€ 😀");
    mass->setMessageId(99999989999999LL);
    mass->setOffline(true);
    mass->addUserObject(ann);
    mass->addUserObject(bob);

    SystemMessage *notice = ctx->insert<SystemMessage>();
    notice->setText("Bob joined");
    notice->setError(true);
    notice->setOriginalSenderName("system");
    room->addLogObject(notice);
    bob->addLogObject(notice);

    FileTransfer *transfer = ctx->insert<FileTransfer>();
    transfer->setFilesNumber(3);
    transfer->setFilesTransferred(2);
    transfer->setFilesTotalSize(5'000'000'000LL);
    transfer->setTransferState(FileTransfer::Complete);
    transfer->setFolderPath(QUrl::fromLocalFile("/home/me/Downloads/Murnavell/Ann - 1 May 2026 (2)"));
    transfer->addUserObject(ann);

    MessageForForwarding *held1 = ctx->insert<MessageForForwarding>();
    held1->setMass(true);
    held1->setMessage(QByteArray("\x00\x01\xfe\xff cipher", 11));
    held1->setMessageId(123);
    held1->setTime(t2);
    held1->addRecipientsObject(ann);
    held1->addRecipientsObject(bob);
    held1->setSender(me);
    MessageForForwarding *held2 = ctx->insert<MessageForForwarding>();
    held2->setMessageId(124);
    bob->addOfflineMessagesObject(held2);
    held2->setSender(me);
    // A later held copy does not take the sender from the earlier one.
    EXPECT_EQ(held1->sender(), me);
    EXPECT_EQ(me->offlineMessagesSent(), (QList<MessageForForwarding *>{held1, held2}));
    const QDateTime massReceived = mass->timeReceived();
    save();

    // Read back within the half second, so the users keep their stored status.
    now = now.addMSecs(100);
    reopen();

    Group *team2 = Group::findByName(ctx.get(), "Team");
    ASSERT_NE(team2, nullptr);
    EXPECT_TRUE(team2->expanded());
    EXPECT_EQ(team2->icon(), "Group");
    EXPECT_FALSE(team2->isUser());

    User *ann2 = User::findByUserId(ctx.get(), sample("userId", "ann"));
    User *bob2 = User::findByUserId(ctx.get(), "Abob");
    ASSERT_TRUE(ann2 && bob2);
    for (const StringAttribute &a : userStrings) EXPECT_EQ((ann2->*a.get)(), sample(a.key, "ann")) << a.key;
    EXPECT_EQ(ann2->name(), "Ann");
    EXPECT_EQ(ann2->status(), "1");
    EXPECT_TRUE(ann2->isUser());
    EXPECT_TRUE(ann2->removed());
    EXPECT_FALSE(ann2->userOffline());
    EXPECT_EQ(ann2->seenLastTime(), now.addMSecs(-100));
    EXPECT_EQ(ann2->sessionId(), 123456789012LL);
    EXPECT_EQ(ann2->group(), team2);
    EXPECT_EQ(team2->users(), (QList<User *>{ann2, bob2}));

    const QList<Me *> mes = ctx->fetch<Me>();
    ASSERT_EQ(mes.size(), 1);
    Me *me2 = mes.first();
    EXPECT_TRUE(me2->inIdleAway());
    EXPECT_EQ(me2->statusBeforeIdle(), "1");
    EXPECT_EQ(me2->sessionId(), 42);
    // A fetch of User also gives the Me row.
    EXPECT_EQ(ctx->fetch<User>().size(), 3);
    EXPECT_EQ(ctx->fetch<TreeItem>().size(), 5); // three users, "Team", and "General" for Me

    Chat *room2 = Chat::findByChatRoomId(ctx.get(), 998877);
    ASSERT_NE(room2, nullptr);

    Message *mass2 = Message::findByMessageId(ctx.get(), 99999989999999LL);
    ASSERT_NE(mass2, nullptr);
    EXPECT_TRUE(mass2->incoming());
    EXPECT_EQ(mass2->time(), t1);
    EXPECT_EQ(mass2->timeReceived(), massReceived);
    EXPECT_EQ(mass2->originalSenderName(), "Ann");
    EXPECT_TRUE(mass2->mass());
    EXPECT_EQ(mass2->message(), "hello\nthere ü€ 😀");
    EXPECT_TRUE(mass2->offline());
    EXPECT_EQ(mass2->user(), (QList<User *>{ann2, bob2}));
    EXPECT_EQ(mass2->chat(), nullptr);

    const QList<LogEntry *> roomLog = room2->lastLogEnties(10);
    ASSERT_EQ(roomLog.size(), 1);
    auto *notice2 = dynamic_cast<SystemMessage *>(roomLog.first());
    ASSERT_NE(notice2, nullptr);
    EXPECT_EQ(notice2->text(), "Bob joined");
    EXPECT_TRUE(notice2->error());
    EXPECT_EQ(notice2->originalSenderName(), "system");
    EXPECT_EQ(notice2->chat(), room2);
    EXPECT_EQ(notice2->user(), (QList<User *>{bob2}));

    const QList<LogEntry *> annLog = ann2->lastLogEnties(10);
    ASSERT_EQ(annLog.size(), 2);
    auto *transfer2 = dynamic_cast<FileTransfer *>(annLog.at(0)); // inserted after the message
    ASSERT_NE(transfer2, nullptr);
    EXPECT_EQ(annLog.at(1), mass2);
    EXPECT_EQ(transfer2->filesNumber(), 3);
    EXPECT_EQ(transfer2->filesTransferred(), 2);
    EXPECT_EQ(transfer2->filesTotalSize(), 5'000'000'000LL);
    EXPECT_EQ(transfer2->transferState(), FileTransfer::Complete);
    EXPECT_EQ(transfer2->folderPath(),
              QUrl::fromLocalFile("/home/me/Downloads/Murnavell/Ann - 1 May 2026 (2)"));
    EXPECT_FALSE(transfer2->incoming());
    // Bob's own history leaves out the room line.
    EXPECT_EQ(bob2->lastLogEnties(10), (QList<LogEntry *>{mass2}));

    const QList<MessageForForwarding *> held = ctx->fetch<MessageForForwarding>();
    ASSERT_EQ(held.size(), 2);
    EXPECT_TRUE(held[0]->mass());
    EXPECT_EQ(held[0]->message(), QByteArray("\x00\x01\xfe\xff cipher", 11));
    EXPECT_EQ(held[0]->messageId(), 123);
    EXPECT_EQ(held[0]->time(), t2);
    EXPECT_EQ(held[0]->recipients(), (QList<User *>{ann2, bob2}));
    EXPECT_EQ(held[0]->sender(), me2);
    EXPECT_FALSE(held[1]->mass());
    EXPECT_EQ(held[1]->recipients(), (QList<User *>{bob2}));
    EXPECT_EQ(held[1]->sender(), me2);
    EXPECT_EQ(me2->offlineMessagesSent(), held);
    EXPECT_EQ(bob2->offlineMessages(), held);
    EXPECT_EQ(ann2->offlineMessages(), (QList<MessageForForwarding *>{held[0]}));
}

TEST_F(ModelRoundTripTest, BooleansAreStoredAsZeroOrOneNeverNull) {
    Group *g = ctx->insert<Group>();
    g->setName("G");
    Message *m = ctx->insert<Message>();
    m->setMessage("x");
    save();
    EXPECT_EQ(
        sql("SELECT count(*) FROM tree_items WHERE isUser IS NULL OR removed IS NULL OR userOffline IS NULL"),
        0);
    EXPECT_EQ(sql("SELECT isUser FROM tree_items WHERE kind = 'Group'"), 0);
    EXPECT_EQ(sql("SELECT mass + offline + incoming FROM log_entries"), 0);
}

TEST_F(ModelRoundTripTest, ChangesAndDeletesReachTheStore) {
    User *u = ctx->insert<User>();
    u->setUserId("A1");
    Message *m = ctx->insert<Message>();
    m->addUserObject(u);
    m->setMessage("first");
    save();
    m->setMessage("second");
    u->setName("Renamed");
    save();
    EXPECT_EQ(sql("SELECT message FROM log_entries"), "second");
    EXPECT_EQ(sql("SELECT name FROM tree_items WHERE userId = 'A1'"), "Renamed");
    ctx->deleteObject(m);
    save();
    EXPECT_EQ(sql("SELECT count(*) FROM log_entries"), 0);
    EXPECT_EQ(sql("SELECT count(*) FROM log_entry_users"), 0);
    reopen();
    EXPECT_EQ(User::findByUserId(ctx.get(), "A1")->logEntriesNumber(), 0);
}

} // namespace
