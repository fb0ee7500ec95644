#include "core/model/LogQuery.h"
#include "ModelTestSupport.h"
#include "core/model/Chat.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/SystemMessage.h"
#include "core/model/User.h"
#include "transfer/FileTransfer.h"

namespace {

// A history made of numbered messages, one second apart, some with the same time.
class ModelLogQueryTest : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        ann = ctx->insert<User>();
        ann->setUserId("Aann");
        bob = ctx->insert<User>();
        bob->setUserId("Abob");
        room = ctx->insert<Chat>();
        room->setRoomId(77);
    }
    Message *message(const QString &text, QList<User *> users, int second, Chat *chat = nullptr) {
        now = base.addSecs(second);
        Message *m = ctx->insert<Message>();
        m->setMessage(text);
        for (User *u : users) m->addUserObject(u);
        if (chat) m->setChat(chat);
        return m;
    }
    static QStringList texts(const QList<LogEntry *> &entries) {
        QStringList out;
        for (LogEntry *e : entries) {
            if (auto *m = dynamic_cast<Message *>(e))
                out << m->message();
            else if (auto *s = dynamic_cast<SystemMessage *>(e))
                out << s->text();
            else
                out << QStringLiteral("transfer");
        }
        return out;
    }
    // Every entry of a history, read in pages of `size`.
    static QStringList paged(const User *u, int size) {
        QList<LogEntry *> all = u->lastLogEnties(size);
        for (QList<LogEntry *> page = all; page.size() == size;) {
            page = u->logEntriesBefore(page.last()->timeReceived(), page.last()->rowId(), size);
            all += page;
        }
        return texts(all);
    }
    void reloadUsers() {
        reopen();
        ann = User::findByUserId(ctx.get(), "Aann");
        bob = User::findByUserId(ctx.get(), "Abob");
        room = Chat::findByChatRoomId(ctx.get(), 77);
    }

    QDateTime base = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000);
    User *ann = nullptr;
    User *bob = nullptr;
    Chat *room = nullptr;
};

TEST_F(ModelLogQueryTest, HistoriesOfUsersAndRoomsNewestFirst) {
    message("a1", {ann}, 1);
    message("b1", {bob}, 2);
    message("mass", {ann, bob}, 3);
    message("room", {ann}, 4, room);
    message("a2", {ann}, 5);
    message("a3", {ann}, 5); // same time: the later row first
    for (bool reloaded : {false, true}) {
        SCOPED_TRACE(reloaded);
        if (reloaded) {
            save();
            reloadUsers();
        }
        EXPECT_EQ(ann->logEntriesNumber(), 4);
        EXPECT_EQ(texts(ann->lastLogEnties(10)), (QStringList{"a3", "a2", "mass", "a1"}));
        EXPECT_EQ(texts(ann->lastLogEnties(2)), (QStringList{"a3", "a2"}));
        EXPECT_EQ(bob->logEntriesNumber(), 2);
        EXPECT_EQ(texts(bob->lastLogEnties(10)), (QStringList{"mass", "b1"}));
        EXPECT_EQ(room->logEntriesNumber(), 1);
        EXPECT_EQ(texts(room->lastLogEnties(10)), (QStringList{"room"}));
        EXPECT_EQ(room->firstMessageDate(), base.addSecs(4));
        EXPECT_EQ(paged(ann, 1), (QStringList{"a3", "a2", "mass", "a1"}));
        EXPECT_EQ(paged(ann, 3), (QStringList{"a3", "a2", "mass", "a1"}));
    }
}

TEST_F(ModelLogQueryTest, PagesCoverALongHistoryExactlyOnce) {
    QStringList expected;
    for (int i = 0; i < 57; ++i) {
        message(QString::number(i), {ann}, i / 3); // three entries share each second
        expected.prepend(QString::number(i));
    }
    save();
    reloadUsers();
    for (int size : {1, 5, 10, 57, 100}) EXPECT_EQ(paged(ann, size), expected) << size;
}

TEST_F(ModelLogQueryTest, QueriesSeeUnsavedInsertsDeletesAndChanges) {
    message("old", {ann}, 1);
    Message *gone = message("gone", {ann}, 2);
    Message *moved = message("moved", {ann}, 3);
    Message *retimed = message("retimed", {ann}, 4);
    message("bob's", {bob}, 5);
    save();
    reloadUsers();
    const QList<LogEntry *> stored = ann->lastLogEnties(10);
    ASSERT_EQ(texts(stored), (QStringList{"retimed", "moved", "gone", "old"}));
    gone = static_cast<Message *>(stored.at(2));
    moved = static_cast<Message *>(stored.at(1));
    retimed = static_cast<Message *>(stored.at(0));

    ctx->deleteObject(gone);
    moved->removeUserObject(ann);
    moved->addUserObject(bob);
    retimed->setTimeReceived(base.addSecs(-5));
    message("new", {ann}, 10);
    SystemMessage *line = ctx->insert<SystemMessage>();
    line->setText("line");
    ann->addLogObject(line);
    now = base.addSecs(11);
    line->setTimeReceived(now);

    EXPECT_EQ(ann->logEntriesNumber(), 4);
    EXPECT_EQ(texts(ann->lastLogEnties(10)), (QStringList{"line", "new", "old", "retimed"}));
    EXPECT_EQ(paged(ann, 1), (QStringList{"line", "new", "old", "retimed"}));
    EXPECT_EQ(texts(bob->lastLogEnties(10)), (QStringList{"bob's", "moved"}));
    save();
    reloadUsers();
    EXPECT_EQ(texts(ann->lastLogEnties(10)), (QStringList{"line", "new", "old", "retimed"}));
    EXPECT_EQ(texts(bob->lastLogEnties(10)), (QStringList{"bob's", "moved"}));
}

TEST_F(ModelLogQueryTest, EveryKindOfEntryIsInTheHistory) {
    message("m", {ann}, 1);
    now = base.addSecs(2);
    FileTransfer *t = ctx->insert<FileTransfer>();
    t->addUserObject(ann);
    now = base.addSecs(3);
    SystemMessage *s = ctx->insert<SystemMessage>();
    s->setText("s");
    s->addUserObject(ann);
    save();
    reloadUsers();
    EXPECT_EQ(texts(ann->lastLogEnties(10)), (QStringList{"s", "transfer", "m"}));
}

TEST_F(ModelLogQueryTest, KnownMessageIdsAreFoundSavedOrNot) {
    Message *saved = message("saved", {ann}, 1);
    saved->setMessageId(1234567891234567LL);
    message("room line without id", {ann}, 2, room);
    save();
    Message *pending = message("pending", {ann}, 3);
    pending->setMessageId(42);
    EXPECT_EQ(Message::findByMessageId(ctx.get(), 42), pending);
    EXPECT_EQ(Message::findByMessageId(ctx.get(), 1234567891234567LL), saved);
    EXPECT_EQ(Message::findByMessageId(ctx.get(), 0), nullptr);
    EXPECT_EQ(Message::findByMessageId(ctx.get(), 7), nullptr);
    saved->setMessageId(8);
    EXPECT_EQ(Message::findByMessageId(ctx.get(), 1234567891234567LL), nullptr);
    EXPECT_EQ(Message::findByMessageId(ctx.get(), 8), saved);
    MessageForForwarding *held = ctx->insert<MessageForForwarding>();
    held->setMessageId(42);
    EXPECT_EQ(MessageForForwarding::findByMessageId(ctx.get(), 42), (QList<MessageForForwarding *>{held}));
    save();
    reloadUsers();
    EXPECT_EQ(Message::findByMessageId(ctx.get(), 42)->message(), "pending");
    EXPECT_EQ(MessageForForwarding::findByMessageId(ctx.get(), 42).size(), 1);
}

TEST_F(ModelLogQueryTest, LoadedEntriesAreTheSameObjectsEveryTime) {
    Message *m = message("m", {ann}, 1);
    const qint64 id = m->rowId();
    save();
    reloadUsers();
    LogEntry *first = ann->lastLogEnties(1).first();
    EXPECT_EQ(first->rowId(), id);
    EXPECT_EQ(ann->lastLogEnties(1).first(), first);
    EXPECT_EQ(ctx->objectWithRowId("LogEntry", id), first);
    EXPECT_EQ(ctx->objectWithRowId("SystemMessage", id), nullptr);
}

TEST_F(ModelLogQueryTest, OtherOwnersHaveNoHistory) {
    message("m", {ann}, 1);
    MessageForForwarding *held = ctx->insert<MessageForForwarding>();
    EXPECT_EQ(LogQuery::count(held), 0);
    EXPECT_TRUE(LogQuery::newest(held, 5).isEmpty());
    EXPECT_TRUE(LogQuery::newest(nullptr, 5).isEmpty());
}

} // namespace

namespace {

// The reads of a history walk an index: no scan of a table, no sort of a whole history.
TEST_F(ModelLogQueryTest, HistoryReadsRunOnIndexes) {
    message("m", {ann}, 1);
    save();
    auto paged = [](FetchRequest r) {
        r.limit = 10;
        return r;
    };
    FetchRequest byId;
    byId.entityName = "Message";
    byId.where = "t.\"messageId\" = ?";
    byId.bindings = {qint64(5)};
    const QDateTime key = base.addSecs(1);
    const QList<std::pair<const char *, QStringList>> plans = {
        {"user newest", ctx->queryPlan(paged(LogQuery::request(ann)))},
        {"user older page", ctx->queryPlan(paged(LogQuery::request(ann, true, key, 9)))},
        {"user count", ctx->queryPlan(LogQuery::request(ann), true)},
        {"room newest", ctx->queryPlan(paged(LogQuery::request(room)))},
        {"room older page", ctx->queryPlan(paged(LogQuery::request(room, true, key, 9)))},
        {"room count", ctx->queryPlan(LogQuery::request(room), true)},
        {"message id", ctx->queryPlan(byId)},
    };
    for (const auto &[what, plan] : plans) {
        SCOPED_TRACE(what);
        ASSERT_FALSE(plan.isEmpty());
        const QString text = plan.join(" | ");
        EXPECT_TRUE(text.contains("USING")) << text.toStdString();
        for (const QString &step : plan) {
            EXPECT_FALSE(step.startsWith("SCAN")) << text.toStdString();
            EXPECT_FALSE(step.contains("TEMP B-TREE")) << text.toStdString();
        }
    }
}

} // namespace

namespace {

// A store written before private lines left the room index (a full index by chat, another by
// time) opens with every entry still there and found by each read, and from then on writes
// only the indexes of today.
TEST_F(ModelLogQueryTest, AStoreWithTheEarlierIndexesOpensWithEverythingInIt) {
    exec("DROP INDEX log_entries_in_rooms");
    exec("CREATE INDEX log_entries_by_chat ON log_entries(\"chat\", \"timeReceived\", id)");
    exec("CREATE INDEX log_entries_by_time ON log_entries(\"timeReceived\", id)");
    QStringList annExpected, roomExpected;
    for (int i = 0; i < 30; ++i) {
        const QString text = QString::number(i);
        Message *m = message(text, {ann}, i, i % 3 == 0 ? room : nullptr);
        m->setMessageId(1000 + i);
        (i % 3 == 0 ? roomExpected : annExpected).prepend(text);
    }
    save();

    reloadUsers();
    const auto indexes = [this] {
        return sql("SELECT group_concat(name, ' ') FROM (SELECT name FROM sqlite_schema WHERE type = 'index' AND "
                   "tbl_name = 'log_entries' AND sql IS NOT NULL ORDER BY name)")
            .toString();
    };
    EXPECT_EQ(indexes(), "log_entries_by_message_id log_entries_in_rooms");
    EXPECT_EQ(sql("PRAGMA integrity_check").toString(), "ok");
    EXPECT_EQ(sql("SELECT count(*) FROM log_entries").toLongLong(), 30);
    EXPECT_EQ(paged(ann, 4), annExpected);
    EXPECT_EQ(texts(room->lastLogEnties(100)), roomExpected);
    EXPECT_EQ(room->logEntriesNumber(), roomExpected.size());
    for (int i = 0; i < 30; ++i) {
        const Message *m = Message::findByMessageId(ctx.get(), 1000 + i);
        ASSERT_NE(m, nullptr) << i;
        EXPECT_EQ(m->message(), QString::number(i));
    }

    // Opening again changes nothing more.
    reloadUsers();
    EXPECT_EQ(indexes(), "log_entries_by_message_id log_entries_in_rooms");
    EXPECT_EQ(paged(ann, 7), annExpected);
}

} // namespace

namespace {

// A store of the first schema, whose link tables had a rowid besides their pair key, opens with
// every link, in its order, on every side, and takes new lines afterwards.
TEST_F(ModelLogQueryTest, AStoreWithRowidLinkTablesOpensWithEveryLinkInItsOrder) {
    Message *mass = message("mass", {bob, ann}, 1);
    message("a", {ann}, 2);
    message("room", {ann, bob}, 3, room);
    MessageForForwarding *held = ctx->insert<MessageForForwarding>();
    held->setMessageId(77);
    held->addRecipientsObject(bob);
    held->addRecipientsObject(ann);
    save();
    const qint64 massId = mass->rowId();

    // The tables as the first schema made them, holding the same rows in the same order.
    exec("PRAGMA foreign_keys=OFF");
    exec("BEGIN");
    exec("CREATE TABLE old_users (owner INTEGER NOT NULL REFERENCES \"log_entries\"(id) ON DELETE CASCADE "
         "DEFERRABLE INITIALLY DEFERRED, target INTEGER NOT NULL REFERENCES \"tree_items\"(id) ON DELETE CASCADE "
         "DEFERRABLE INITIALLY DEFERRED, sortKey INTEGER, PRIMARY KEY(owner, target))");
    exec("INSERT INTO old_users SELECT owner, target, sortKey FROM log_entry_users ORDER BY owner, position");
    exec("DROP TABLE log_entry_users");
    exec("ALTER TABLE old_users RENAME TO log_entry_users");
    exec("CREATE INDEX \"log_entry_users_by_target\" ON \"log_entry_users\"(target, sortKey, owner)");
    exec("CREATE TABLE old_recipients (owner INTEGER NOT NULL REFERENCES \"held_messages\"(id) ON DELETE "
         "CASCADE DEFERRABLE INITIALLY DEFERRED, target INTEGER NOT NULL REFERENCES \"tree_items\"(id) ON DELETE "
         "CASCADE DEFERRABLE INITIALLY DEFERRED, PRIMARY KEY(owner, target))");
    exec("INSERT INTO old_recipients SELECT owner, target FROM held_message_recipients ORDER BY owner, position");
    exec("DROP TABLE held_message_recipients");
    exec("ALTER TABLE old_recipients RENAME TO held_message_recipients");
    exec("CREATE INDEX \"held_message_recipients_by_target\" ON \"held_message_recipients\"(target, owner)");
    exec("PRAGMA user_version=1");
    exec("COMMIT");
    ASSERT_EQ(sql("SELECT sql FROM sqlite_schema WHERE name = 'log_entry_users'").toString().contains("WITHOUT"),
              false);

    reloadUsers();
    EXPECT_EQ(sql("PRAGMA user_version").toLongLong(), UserListModel::model().schemaVersion());
    for (const char *table : {"log_entry_users", "held_message_recipients"})
        EXPECT_TRUE(sql(QStringLiteral("SELECT sql FROM sqlite_schema WHERE name = '%1'").arg(table))
                        .toString()
                        .contains("WITHOUT ROWID"))
            << table;
    EXPECT_EQ(sql("PRAGMA integrity_check").toString(), "ok");
    EXPECT_EQ(sql("SELECT count(*) FROM pragma_foreign_key_check").toLongLong(), 0);
    EXPECT_EQ(sql("SELECT count(*) FROM log_entry_users").toLongLong(), 5);
    EXPECT_EQ(texts(ann->lastLogEnties(10)), (QStringList{"a", "mass"}));
    EXPECT_EQ(texts(bob->lastLogEnties(10)), (QStringList{"mass"}));
    EXPECT_EQ(texts(room->lastLogEnties(10)), (QStringList{"room"}));
    auto *reread = static_cast<Message *>(ctx->objectWithRowId("Message", massId));
    ASSERT_NE(reread, nullptr);
    EXPECT_EQ(reread->user(), (QList<User *>{bob, ann}));
    const QList<MessageForForwarding *> heldNow = MessageForForwarding::findByMessageId(ctx.get(), 77);
    ASSERT_EQ(heldNow.size(), 1);
    EXPECT_EQ(heldNow.first()->recipients(), (QList<User *>{bob, ann}));
    EXPECT_TRUE(ann->offlineMessages().contains(heldNow.first()));

    // Links written after the move are read back as written, next to the moved ones.
    message("later", {ann, bob}, 4);
    save();
    reloadUsers();
    EXPECT_EQ(texts(ann->lastLogEnties(10)), (QStringList{"later", "a", "mass"}));
    EXPECT_EQ(texts(bob->lastLogEnties(10)), (QStringList{"later", "mass"}));
    EXPECT_EQ(static_cast<Message *>(ann->lastLogEnties(1).first())->user(), (QList<User *>{ann, bob}));
}

} // namespace
