#include "ModelTestSupport.h"
#include "core/model/Chat.h"
#include "core/model/Group.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"

#include <QPointer>

namespace {

class StoreContextChangesTest : public StoreFixture {};

TEST_F(StoreContextChangesTest, HasChangesOnlyForRealChanges) {
    EXPECT_FALSE(ctx->hasChanges());
    User *u = ctx->insert<User>();
    EXPECT_TRUE(ctx->hasChanges());
    u->setName("Ann");
    save();
    EXPECT_FALSE(ctx->hasChanges());
    u->setName("Ann");
    u->setRemoved(false);
    u->setIdleTime(QString());
    EXPECT_FALSE(ctx->hasChanges());
    u->setIcon("Away"); // transient
    u->setTypingSent(now);
    EXPECT_FALSE(ctx->hasChanges());
    u->setName("Bob");
    EXPECT_TRUE(ctx->hasChanges());
    EXPECT_TRUE(u->isUpdated());
    save();
    EXPECT_FALSE(u->isUpdated());
    Message *m = ctx->insert<Message>();
    ctx->deleteObject(m);
    EXPECT_FALSE(ctx->hasChanges()); // inserted and deleted before a save: nothing to write
    EXPECT_TRUE(m->isDeleted());
}

TEST_F(StoreContextChangesTest, FetchesSeeUnsavedInsertsDeletesAndChanges) {
    User *saved = ctx->insert<User>();
    saved->setUserId("A1");
    save();
    User *fresh = ctx->insert<User>();
    fresh->setUserId("A2");
    EXPECT_EQ(User::findByUserId(ctx.get(), "A2"), fresh);
    saved->setUserId("A9");
    EXPECT_EQ(User::findByUserId(ctx.get(), "A1"), nullptr);
    EXPECT_EQ(User::findByUserId(ctx.get(), "A9"), saved);
    ctx->deleteObject(saved);
    EXPECT_EQ(User::findByUserId(ctx.get(), "A9"), nullptr);
    EXPECT_EQ(ctx->fetch<User>(), (QList<User *>{fresh}));
    // The same object for the same row, every time.
    EXPECT_EQ(User::findByUserId(ctx.get(), "A2"), User::findByUserId(ctx.get(), "A2"));
}

TEST_F(StoreContextChangesTest, DeletedObjectsStayValidAndLoseTheirLinks) {
    Group *g = ctx->insert<Group>();
    User *u = ctx->insert<User>();
    u->setUserId("A1");
    u->setGroup(g);
    Chat *room = ctx->insert<Chat>();
    Message *m = ctx->insert<Message>();
    m->addUserObject(u);
    room->addLogObject(m);
    MessageForForwarding *held = ctx->insert<MessageForForwarding>();
    held->addRecipientsObject(u);
    held->setSender(u);
    save();

    QList<ManagedObject *> deletedSignals;
    QObject::connect(ctx.get(), &ManagedObjectContext::objectDeleted,
                     [&](ManagedObject *o) { deletedSignals.append(o); });
    QPointer<User> watch(u);
    ctx->deleteObject(u);
    ctx->deleteObject(room);
    EXPECT_EQ(deletedSignals, (QList<ManagedObject *>{u, room}));
    ASSERT_FALSE(watch.isNull());
    EXPECT_TRUE(u->isDeleted());
    EXPECT_EQ(u->userId(), "A1");
    EXPECT_EQ(u->group(), nullptr);
    EXPECT_TRUE(g->users().isEmpty());
    EXPECT_TRUE(m->user().isEmpty());
    EXPECT_EQ(m->chat(), nullptr);
    EXPECT_TRUE(held->recipients().isEmpty());
    EXPECT_EQ(held->sender(), nullptr);
    EXPECT_FALSE(m->isDeleted());
    save();
    EXPECT_EQ(sql("SELECT count(*) FROM tree_items WHERE kind = 'User'"), 0);
    EXPECT_EQ(sql("SELECT count(*) FROM log_entry_users"), 0);
    EXPECT_EQ(sql("SELECT count(*) FROM held_message_recipients"), 0);
    EXPECT_EQ(sql("SELECT count(*) FROM log_entries WHERE chat IS NULL"), 1);
    EXPECT_EQ(sql("SELECT count(*) FROM held_messages WHERE sender IS NULL"), 1);
}

TEST_F(StoreContextChangesTest, StoreRulesNullifyRowsThatAreNotLoaded) {
    User *u = ctx->insert<User>();
    u->setUserId("A1");
    Chat *room = ctx->insert<Chat>();
    room->setRoomId(5);
    Message *m = ctx->insert<Message>();
    m->addUserObject(u);
    m->setChat(room);
    save();
    reopen(); // the message is not loaded now
    ctx->deleteObject(Chat::findByChatRoomId(ctx.get(), 5));
    ctx->deleteObject(User::findByUserId(ctx.get(), "A1"));
    save();
    EXPECT_EQ(sql("SELECT count(*) FROM log_entries WHERE chat IS NULL"), 1);
    EXPECT_EQ(sql("SELECT count(*) FROM log_entry_users"), 0);
}

TEST_F(StoreContextChangesTest, ObserversSeeEveryChangeWithItsOldValueInOrder) {
    User *u = ctx->insert<User>();
    Group *g = ctx->insert<Group>();
    QList<std::pair<QString, QVariant>> seen;
    QObject::connect(u, &ManagedObject::attributeChanged, [&](const QString &key, const QVariant &old) {
        seen.append({key, old});
    });
    QList<ManagedObject *> inserted;
    QObject::connect(ctx.get(), &ManagedObjectContext::objectInserted,
                     [&](ManagedObject *o) { inserted.append(o); });
    const QDateTime insertedAt = now;
    u->setUserOffline(true);
    now = now.addSecs(1);
    u->setStatus("0");
    u->setGroup(g);
    u->setGroup(g);
    Message *m = ctx->insert<Message>();
    u->addLogObject(m);
    QStringList keys;
    for (const auto &[key, old] : seen) keys << key;
    // statusString was empty already, so clearing it is no change and says nothing.
    EXPECT_EQ(keys,
              (QStringList{"userOffline", "userOffline", "status", "icon", "seenLastTime", "group", "log"}));
    EXPECT_EQ(seen.at(0).second, false);
    EXPECT_EQ(seen.at(1).second, true);
    EXPECT_EQ(seen.at(2).second.toString(), "");
    EXPECT_EQ(seen.at(3).second, "Dnd");
    EXPECT_EQ(seen.at(4).second, insertedAt);
    EXPECT_EQ(seen.at(5).second.value<QObject *>(), nullptr);
    EXPECT_EQ(inserted, (QList<ManagedObject *>{m}));
    EXPECT_EQ(m->user(), (QList<User *>{u}));
}

struct SaveFault {
    const char *what;
    const char *make;
    const char *mend;
    int code;
};

TEST_F(StoreContextChangesTest, FailedSaveReportsAndKeepsEveryChange) {
    const QList<SaveFault> faults = {
        {"constraint",
         "CREATE TRIGGER refuse BEFORE INSERT ON log_entries BEGIN SELECT RAISE(ABORT, 'no'); END",
         "DROP TRIGGER refuse", SQLITE_CONSTRAINT},
        {"read-only", "PRAGMA query_only = ON", "PRAGMA query_only = OFF", SQLITE_READONLY},
    };
    for (const SaveFault &f : faults) {
        SCOPED_TRACE(f.what);
        ctx.reset();
        QFile::remove(path());
        reopen();
        User *u = ctx->insert<User>();
        u->setUserId("A1");
        save();
        exec(f.make);
        Message *m = ctx->insert<Message>();
        m->setMessage("keep me");
        m->addUserObject(u);
        u->setName("Ann");
        StoreError error;
        EXPECT_FALSE(ctx->save(&error));
        EXPECT_EQ(error.code, f.code) << error.message.toStdString();
        EXPECT_FALSE(error.isCorrupt());
        EXPECT_TRUE(ctx->hasChanges());
        EXPECT_TRUE(m->isInserted());
        EXPECT_TRUE(u->isUpdated());
        // Nothing of the failed save reached the file.
        EXPECT_EQ(sql("SELECT name FROM tree_items WHERE userId = 'A1'"), QVariant());
        EXPECT_EQ(sql("SELECT count(*) FROM log_entries"), 0);
        EXPECT_EQ(u->lastLogEnties(5), (QList<LogEntry *>{m}));
        // A second failure loses nothing either.
        EXPECT_FALSE(ctx->save(&error));
        exec(f.mend);
        save();
        reopen();
        User *back = User::findByUserId(ctx.get(), "A1");
        EXPECT_EQ(back->name(), "Ann");
        ASSERT_EQ(back->lastLogEnties(5).size(), 1);
        EXPECT_EQ(static_cast<Message *>(back->lastLogEnties(5).first())->message(), "keep me");
    }
}

TEST_F(StoreContextChangesTest, ContextWithoutStoreKeepsChangesAndSavesNothing) {
    ManagedObjectContext closed(UserListModel::model());
    User *u = closed.insert<User>();
    u->setUserId("A1");
    EXPECT_EQ(User::findByUserId(&closed, "A1"), u);
    EXPECT_EQ(u->logEntriesNumber(), 0);
    StoreError error;
    EXPECT_FALSE(closed.save(&error));
    EXPECT_EQ(error.code, StoreError::NotOpen);
    EXPECT_TRUE(closed.hasChanges());
}

TEST_F(StoreContextChangesTest, InMemoryStoreWorksLikeAFile) {
    ManagedObjectContext memory(UserListModel::model());
    ASSERT_TRUE(memory.openInMemory());
    User *u = memory.insert<User>();
    Message *m = memory.insert<Message>();
    m->addUserObject(u);
    ASSERT_TRUE(memory.save());
    EXPECT_EQ(u->logEntriesNumber(), 1);
    EXPECT_EQ(Group::general(&memory), Group::general(&memory));
}

} // namespace
