#include "platform/store/ManagedObjectContext.h"
#include "core/model/Group.h"
#include "core/model/Me.h"
#include "core/model/Message.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sqlite3.h>

namespace {

class StoreOpenTest : public ::testing::Test {
protected:
    QString file(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
    static void writeFile(const QString &path, const QByteArray &bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    static void rawExec(const QString &path, const char *sql) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    }
    static QString pragma(ManagedObjectContext &ctx, const char *name) {
        sqlite3_stmt *stmt = nullptr;
        QString out;
        sqlite3_prepare_v2(ctx.database(), (QByteArray("PRAGMA ") + name).constData(), -1, &stmt, nullptr);
        if (sqlite3_step(stmt) == SQLITE_ROW)
            out = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        return out;
    }
    QTemporaryDir dir;
};

TEST_F(StoreOpenTest, NewStoreHasItsSettingsAndSchemaVersion) {
    ManagedObjectContext ctx(UserListModel::model());
    StoreError error;
    ASSERT_TRUE(ctx.open(file("s.storedata"), &error)) << error.message.toStdString();
    EXPECT_EQ(pragma(ctx, "journal_mode"), "wal");
    EXPECT_EQ(pragma(ctx, "synchronous"), "2"); // FULL
    EXPECT_EQ(pragma(ctx, "foreign_keys"), "1");
    EXPECT_EQ(pragma(ctx, "user_version"), "2");
    QStringList problems;
    EXPECT_TRUE(ctx.integrityCheck(&problems));
    EXPECT_TRUE(problems.isEmpty());
    EXPECT_FALSE(ctx.hasChanges());
}

struct BadFile {
    const char *what;
    QByteArray bytes;
    int code;
    bool corrupt;
};

TEST_F(StoreOpenTest, OpenErrorsCarryTheSqliteCode) {
    QByteArray header("SQLite format 3");
    header.append('\0');
    const QList<BadFile> cases = {
        {"text file", QByteArray("this is not a database, just some text that is long enough ").repeated(40),
         SQLITE_NOTADB, true},
        {"header then garbage", header + QByteArray(4096, '\x7f'), SQLITE_CORRUPT, true},
    };
    for (const BadFile &c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = file(c.what);
        writeFile(path, c.bytes);
        ManagedObjectContext ctx(UserListModel::model());
        StoreError error;
        EXPECT_FALSE(ctx.open(path, &error));
        EXPECT_FALSE(ctx.isOpen());
        EXPECT_TRUE(error.code == SQLITE_NOTADB || error.code == SQLITE_CORRUPT) << error.code;
        EXPECT_EQ(error.isCorrupt(), c.corrupt);
        // Nothing was written over the damaged file.
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), c.bytes);
    }
    ManagedObjectContext ctx(UserListModel::model());
    StoreError error;
    EXPECT_FALSE(ctx.open(dir.path(), &error)); // a folder
    EXPECT_EQ(error.code, SQLITE_CANTOPEN);
    EXPECT_FALSE(error.isCorrupt());
    EXPECT_FALSE(ctx.open(file("missing/sub/s.storedata"), &error));
    EXPECT_EQ(error.code, SQLITE_CANTOPEN);
}

TEST_F(StoreOpenTest, NewerOrForeignSchemaIsRefusedWithoutTouchingIt) {
    const QString newer = file("newer");
    rawExec(newer, "CREATE TABLE x(a); PRAGMA user_version=7");
    ManagedObjectContext ctx(UserListModel::model());
    StoreError error;
    EXPECT_FALSE(ctx.open(newer, &error));
    EXPECT_EQ(error.code, StoreError::SchemaTooNew);

    const QString mismatch = file("mismatch");
    rawExec(mismatch, "CREATE TABLE tree_items(id INTEGER PRIMARY KEY, kind TEXT); PRAGMA user_version=1");
    EXPECT_FALSE(ctx.open(mismatch, &error));
    EXPECT_EQ(error.code, StoreError::SchemaMismatch);
}

TEST_F(StoreOpenTest, BadRowsAreDroppedButKeptInTheFile) {
    const QString path = file("s.storedata");
    {
        ManagedObjectContext ctx(UserListModel::model());
        ASSERT_TRUE(ctx.open(path));
        ctx.insert<User>()->setUserId("A1");
        ctx.insert<User>()->setUserId("A2");
        ASSERT_TRUE(ctx.save());
    }
    rawExec(
        path,
        "UPDATE tree_items SET kind = 'Robot' WHERE userId = 'A2';"
        "UPDATE tree_items SET sessionId = 'not a number', seenLastTime = 'yesterday' WHERE userId = 'A1';"
        "INSERT INTO log_entries(id, kind) VALUES (50, 'Hologram');");
    ManagedObjectContext ctx(UserListModel::model());
    StoreError error;
    ASSERT_TRUE(ctx.open(path, &error)) << error.message.toStdString();
    const QList<User *> users = ctx.fetch<User>();
    ASSERT_EQ(users.size(), 1);
    EXPECT_EQ(users.first()->userId(), "A1");
    EXPECT_EQ(users.first()->sessionId(), 0);
    EXPECT_EQ(users.first()->status(), "10"); // no usable seen time
    EXPECT_EQ(ctx.objectWithRowId("LogEntry", 50), nullptr);
    // New rows never take the id of a row that was left out.
    User *fresh = ctx.insert<User>();
    EXPECT_GT(fresh->rowId(), 2);
    // Changing another column leaves the unreadable values as they were.
    users.first()->setName("Ann");
    ASSERT_TRUE(ctx.save());
    EXPECT_TRUE(ctx.integrityCheck());
    auto text = [&](const char *sql) {
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(ctx.database(), sql, -1, &stmt, nullptr);
        QString out;
        if (sqlite3_step(stmt) == SQLITE_ROW)
            out = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        return out;
    };
    EXPECT_EQ(text("SELECT count(*) FROM tree_items WHERE kind = 'Robot'"), "1");
    EXPECT_EQ(
        text("SELECT name || '/' || sessionId || '/' || seenLastTime FROM tree_items WHERE userId = 'A1'"),
        "Ann/not a number/yesterday");
    EXPECT_EQ(text("SELECT count(*) FROM log_entries WHERE kind = 'Hologram'"), "1");
}

TEST_F(StoreOpenTest, AbstractOrUnknownEntitiesCannotBeInserted) {
    ManagedObjectContext ctx(UserListModel::model());
    ASSERT_TRUE(ctx.openInMemory());
    EXPECT_EQ(ctx.insertObject("TreeItem"), nullptr);
    EXPECT_EQ(ctx.insertObject("Nothing"), nullptr);
    EXPECT_FALSE(ctx.hasChanges());
}

TEST_F(StoreOpenTest, AnotherConnectionSeesOnlySavedRows) {
    const QString path = file("s.storedata");
    ManagedObjectContext writer(UserListModel::model());
    ASSERT_TRUE(writer.open(path));
    Message *m = writer.insert<Message>();
    m->setMessage("x");
    ManagedObjectContext reader(UserListModel::model());
    ASSERT_TRUE(reader.open(path));
    FetchRequest all;
    all.entityName = "LogEntry";
    EXPECT_EQ(reader.count(all), 0);
    ASSERT_TRUE(writer.save());
    EXPECT_EQ(reader.count(all), 1);
}

// Look-ups by value answer what a walk over every object answers, through inserts, changes of
// the value (also back and forth and without notice), sub-entities, objects of another entity
// in the same table, deletions, and a store opened again.
TEST_F(StoreOpenTest, LookUpsByValueAgreeWithAWalkOverAllObjects) {
    const QString path = file("s.storedata");
    const QStringList values = {"A1", "A2", "A3", "General", ""};
    auto agree = [&](ManagedObjectContext &ctx, const char *step) {
        SCOPED_TRACE(step);
        for (const QString &v : values) {
            EXPECT_EQ(ctx.withValue<User>("userId", v), ctx.fetch<User>([&](const User *u) { return u->userId() == v; }))
                << v.toStdString();
            EXPECT_EQ(ctx.withValue<Group>("name", v), ctx.fetch<Group>([&](const Group *g) { return g->name() == v; }))
                << v.toStdString();
            // The look-ups of one object take the first of the same answer.
            const QList<User *> users = ctx.fetch<User>([&](const User *u) { return u->userId() == v; });
            EXPECT_EQ(User::findByUserId(&ctx, v), v.isEmpty() || users.isEmpty() ? nullptr : users.first())
                << v.toStdString();
            const QList<Group *> groups = ctx.fetch<Group>([&](const Group *g) { return g->name() == v; });
            EXPECT_EQ(Group::findByName(&ctx, v), groups.isEmpty() ? nullptr : groups.first()) << v.toStdString();
        }
    };
    {
        ManagedObjectContext ctx(UserListModel::model());
        ASSERT_TRUE(ctx.open(path));
        agree(ctx, "empty");
        User *a = ctx.insert<User>();
        a->setUserId("A1");
        User *b = ctx.insert<User>();
        b->setUserId("A2");
        agree(ctx, "two users");
        Me *me = ctx.insert<Me>();
        me->setUserId("A1"); // a former local user under the same id
        Group *g = ctx.insert<Group>();
        g->setName("General");
        a->setName("General"); // a user's name is no group's
        agree(ctx, "a sub-entity and a group");
        b->setUserId("A3");
        b->setUserId("A2");
        a->setPrimitiveValue("userId", "A3");
        agree(ctx, "changed ids");
        ASSERT_TRUE(ctx.save());
        ctx.deleteObject(me);
        agree(ctx, "deleted");
        ASSERT_TRUE(ctx.save());
    }
    ManagedObjectContext ctx(UserListModel::model());
    ASSERT_TRUE(ctx.open(path));
    agree(ctx, "opened again");
    ASSERT_EQ(ctx.withValue<User>("userId", "A3").size(), 1);
    ctx.withValue<User>("userId", "A3").first()->setUserId("A1");
    ctx.insert<User>()->setUserId("A1");
    agree(ctx, "changed after loading");
}

} // namespace

namespace {

// A context opened from another's image holds its saved rows (not its unsaved ones), saves on
// its own without touching the other, and an image that is no store of this schema is refused.
TEST_F(StoreOpenTest, AContextOpenedFromAnImageHoldsTheSavedRowsAndSavesApart) {
    ManagedObjectContext source(UserListModel::model());
    ASSERT_TRUE(source.openInMemory());
    User *ann = source.insert<User>();
    ann->setUserId("A1");
    ann->setName("Ann");
    ASSERT_TRUE(source.save());
    source.insert<User>()->setUserId("A2"); // not saved: not in the image
    const QByteArray image = source.image();
    ASSERT_FALSE(image.isEmpty());

    ManagedObjectContext copy(UserListModel::model());
    StoreError error;
    ASSERT_TRUE(copy.openImage(image, &error)) << error.message.toStdString();
    ASSERT_NE(User::findByUserId(&copy, "A1"), nullptr);
    EXPECT_EQ(User::findByUserId(&copy, "A1")->name(), "Ann");
    EXPECT_EQ(User::findByUserId(&copy, "A2"), nullptr);
    copy.insert<User>()->setUserId("A3");
    ASSERT_TRUE(copy.save());
    EXPECT_EQ(User::findByUserId(&source, "A3"), nullptr);

    ManagedObjectContext again(UserListModel::model());
    ASSERT_TRUE(again.openImage(image));
    EXPECT_EQ(User::findByUserId(&again, "A3"), nullptr);
}

// A store given up by one context and taken over by the next holds what was saved (not what
// was not), saves through the new holder only, and stays the same store on disk.
TEST_F(StoreOpenTest, AStoreHandedToAnotherContextKeepsItsSavedRowsAndSavesOnlyThroughIt) {
    const QString path = file("handed.storedata");
    ManagedObjectContext first(UserListModel::model());
    ASSERT_TRUE(first.open(path));
    first.insert<User>()->setUserId("A1");
    ASSERT_TRUE(first.save());
    User *unsaved = first.insert<User>();
    unsaved->setUserId("A2");

    std::unique_ptr<ManagedObjectContext::Connection> connection = first.takeConnection();
    ASSERT_NE(connection, nullptr);
    EXPECT_FALSE(first.isOpen());
    EXPECT_EQ(unsaved->userId(), "A2"); // its objects stay valid
    StoreError error;
    EXPECT_FALSE(first.save(&error));
    EXPECT_EQ(error.code, StoreError::NotOpen);
    EXPECT_EQ(first.takeConnection(), nullptr);

    ManagedObjectContext second(UserListModel::model());
    ASSERT_TRUE(second.openConnection(std::move(connection), &error)) << error.message.toStdString();
    EXPECT_NE(User::findByUserId(&second, "A1"), nullptr);
    EXPECT_EQ(User::findByUserId(&second, "A2"), nullptr);
    second.insert<User>()->setUserId("A3");
    ASSERT_TRUE(second.save(&error)) << error.message.toStdString();
    second.close();

    ManagedObjectContext reopened(UserListModel::model());
    ASSERT_TRUE(reopened.open(path));
    EXPECT_NE(User::findByUserId(&reopened, "A1"), nullptr);
    EXPECT_EQ(User::findByUserId(&reopened, "A2"), nullptr);
    EXPECT_NE(User::findByUserId(&reopened, "A3"), nullptr);
}

TEST_F(StoreOpenTest, AStoreIsTakenOverOnlyByAnEmptyContextOfItsSchema) {
    ManagedObjectContext holding(UserListModel::model());
    holding.insert<User>()->setUserId("B1");
    ManagedObjectContext otherSchema(UserListModel::model());
    ASSERT_TRUE(otherSchema.openInMemory());
    ASSERT_EQ(sqlite3_exec(otherSchema.database(), "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
    ManagedObjectContext source(UserListModel::model());
    ASSERT_TRUE(source.openInMemory());

    StoreError error;
    ManagedObjectContext empty(UserListModel::model());
    EXPECT_FALSE(empty.openConnection(nullptr, &error));
    EXPECT_EQ(error.code, StoreError::NotOpen);
    EXPECT_FALSE(holding.openConnection(source.takeConnection(), &error));
    EXPECT_EQ(error.code, StoreError::NotOpen);
    EXPECT_FALSE(holding.isOpen());
    EXPECT_EQ(holding.fetch<User>().size(), 1);
    EXPECT_FALSE(empty.openConnection(otherSchema.takeConnection(), &error));
    EXPECT_EQ(error.code, StoreError::SchemaMismatch);
    EXPECT_FALSE(empty.isOpen());
}

TEST_F(StoreOpenTest, AnImageThatIsNoStoreOfThisSchemaIsRefused) {
    ManagedObjectContext other(UserListModel::model());
    ASSERT_TRUE(other.openInMemory());
    ASSERT_EQ(sqlite3_exec(other.database(), "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
    const struct {
        const char *what;
        QByteArray image;
    } cases[] = {
        {"empty", QByteArray()},
        {"not a database", QByteArray(4096, 'x')},
        {"cut short", ManagedObjectContext(UserListModel::model()).image() + other.image().left(100)},
        {"another schema version", other.image()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ManagedObjectContext ctx(UserListModel::model());
        StoreError error;
        EXPECT_FALSE(ctx.openImage(c.image, &error));
        EXPECT_NE(error.code, 0);
        EXPECT_FALSE(ctx.isOpen());
        EXPECT_EQ(ctx.fetch<User>().size(), 0);
    }
}

} // namespace
