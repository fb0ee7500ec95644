#include "platform/store/WalWriteBuffer.h"

#include "core/model/Message.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "platform/store/ManagedObjectContext.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sqlite3.h>

namespace {

// One statement's first column as text (empty when it yields no row).
QString scalar(sqlite3 *db, const char *sql) {
    sqlite3_stmt *stmt = nullptr;
    QString out;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
        out = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    return out;
}

// What a crash would leave: the store and its log as they are on disk now, read by a plain
// connection elsewhere (the log is replayed from the file, nothing of this process helps).
QString afterCrash(const QString &store, const QString &folder, const char *sql) {
    const QString copy = QDir(folder).filePath(QStringLiteral("copy.sqlite"));
    for (const QString &suffix : {QString(), QStringLiteral("-wal")}) {
        QFile::remove(copy + suffix);
        if (QFile::exists(store + suffix)) QFile::copy(store + suffix, copy + suffix);
    }
    sqlite3 *db = nullptr;
    QString out;
    if (sqlite3_open_v2(copy.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
        out = scalar(db, sql);
    sqlite3_close(db);
    return out;
}

struct SaveShape {
    const char *what;
    int messages;
    int textLength;
};

class GatheredSave : public ::testing::TestWithParam<SaveShape> {};

// Whatever a save writes, all of it is in the files when save() returns: a gathered write left
// behind would be lost by a crash after the receipt went out.
TEST_P(GatheredSave, IsOnDiskWhenTheSaveReturns) {
    const SaveShape shape = GetParam();
    QTemporaryDir dir, crashed;
    const QString path = dir.filePath(QStringLiteral("s.storedata"));
    ManagedObjectContext ctx(UserListModel::model());
    StoreError error;
    ASSERT_TRUE(ctx.open(path, &error)) << error.message.toStdString();
    auto *sender = ctx.insert<User>();
    sender->setUserId(QStringLiteral("A000000002"));
    ASSERT_TRUE(ctx.save(&error)) << error.message.toStdString();
    const QString text(shape.textLength, QChar(u'ж'));
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < shape.messages; ++i) {
            auto *m = ctx.insert<Message>();
            m->setTime(QDateTime::currentDateTimeUtc());
            m->setMessageId(qint64(round) * 100000 + i + 1);
            m->setIncoming(true);
            m->setMessage(text);
            m->addUserObject(sender);
        }
        ASSERT_TRUE(ctx.save(&error)) << error.message.toStdString();
        EXPECT_EQ(afterCrash(path, crashed.path(), "SELECT count(*) FROM log_entries WHERE kind = 'Message'"),
                  QString::number((round + 1) * shape.messages))
            << shape.what << ", save " << round;
        EXPECT_EQ(afterCrash(path, crashed.path(), "PRAGMA integrity_check"), QStringLiteral("ok"))
            << shape.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, GatheredSave,
                         ::testing::Values(SaveShape{"one short line", 1, 60},
                                           SaveShape{"a few dozen lines", 40, 300},
                                           SaveShape{"more pages than one gathered write holds", 3000, 200},
                                           SaveShape{"one line larger than a gathered write", 1, 400000}),
                         [](const auto &info) { return std::to_string(info.index); });

TEST(WalWriteBuffer, OneSavesFramesLeaveInOneWrite) {
    QTemporaryDir dir;
    ManagedObjectContext ctx(UserListModel::model());
    StoreError error;
    ASSERT_TRUE(ctx.open(dir.filePath(QStringLiteral("s.storedata")), &error)) << error.message.toStdString();
    auto *sender = ctx.insert<User>();
    sender->setUserId(QStringLiteral("A000000002"));
    ASSERT_TRUE(ctx.save(&error));
    const long gathered = WalWriteBuffer::writesGathered(), issued = WalWriteBuffer::writesIssued();
    auto *m = ctx.insert<Message>();
    m->setMessageId(7);
    m->setMessage(QStringLiteral("hello"));
    m->addUserObject(sender);
    ASSERT_TRUE(ctx.save(&error));
    // A header and a page for each b-tree the line touches, in one write.
    EXPECT_GE(WalWriteBuffer::writesGathered() - gathered, 4);
    EXPECT_EQ(WalWriteBuffer::writesIssued() - issued, 1);
}

struct RawCase {
    const char *what;
    bool commit;
};

class SpilledTransaction : public ::testing::TestWithParam<RawCase> {};

// A transaction larger than the page cache spills frames into the log before it ends and reads
// them back; a reader beside it (another copy's tool, a test) must only ever see what committed.
TEST_P(SpilledTransaction, ReadsBackItsPagesAndOthersSeeOnlyCommits) {
    const RawCase c = GetParam();
    ASSERT_NE(WalWriteBuffer::vfsName(), nullptr);
    QTemporaryDir dir;
    const QByteArray path = dir.filePath(QStringLiteral("raw.sqlite")).toUtf8();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                              WalWriteBuffer::vfsName()),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA cache_size=8;"
                           "CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB);"
                           "INSERT INTO t(v) VALUES (randomblob(100))",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3 *reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.constData(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    EXPECT_EQ(scalar(reader, "SELECT count(*) FROM t"), "1");

    ASSERT_EQ(
        sqlite3_exec(db,
                     "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
                     "INSERT INTO t(v) SELECT randomblob(500) FROM n",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    // The spilled pages are read back through the log.
    EXPECT_EQ(scalar(db, "SELECT count(*) FROM t"), "2001");
    EXPECT_EQ(scalar(db, "SELECT sum(length(v)) FROM t"), "1000100");
    EXPECT_EQ(scalar(reader, "SELECT count(*) FROM t"), "1") << c.what;
    ASSERT_EQ(sqlite3_exec(db, c.commit ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    const char *expected = c.commit ? "2001" : "1";
    EXPECT_EQ(scalar(reader, "SELECT count(*) FROM t"), expected) << c.what;
    EXPECT_EQ(scalar(db, "SELECT count(*) FROM t"), expected) << c.what;
    // The log's later writes continue the store correctly after either ending.
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO t(v) VALUES (randomblob(100))", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(scalar(reader, "PRAGMA integrity_check"), "ok") << c.what;
    sqlite3_close(reader);
    sqlite3_close(db);

    ASSERT_EQ(sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    EXPECT_EQ(scalar(db, "SELECT count(*) FROM t"), c.commit ? "2002" : "2") << c.what;
    EXPECT_EQ(scalar(db, "PRAGMA integrity_check"), "ok") << c.what;
    sqlite3_close(db);
}

INSTANTIATE_TEST_SUITE_P(Endings, SpilledTransaction,
                         ::testing::Values(RawCase{"committed", true}, RawCase{"rolled back", false}),
                         [](const auto &info) {
                             return std::string(info.param.commit ? "Commit" : "Rollback");
                         });

} // namespace
