#include "BenchStoreBuilder.h"

#include "core/model/UserListModel.h"
#include "platform/store/ManagedObjectContext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>

BenchStoreBuilder::BenchStoreBuilder(const QString &path, const QString &copyOf)
    : path_(path), building_(path + QStringLiteral(".building")) {
    if (QFileInfo::exists(path)) return;
    QDir().mkpath(QFileInfo(path).path());
    for (const char *suffix : {"", "-wal", "-shm"}) QFile::remove(building_ + QLatin1String(suffix));
    if (!copyOf.isEmpty()) {
        if (!QFile::copy(copyOf, building_)) std::exit(1);
    } else {
        ManagedObjectContext context(UserListModel::model());
        if (!context.open(building_)) std::exit(1);
    }
    std::fprintf(stderr, "building %s ...\n", qPrintable(path));
    check(sqlite3_open(QFile::encodeName(building_).constData(), &db_), db_, "open");
    exec("PRAGMA synchronous=OFF");
    exec("BEGIN");
}

BenchStoreBuilder::~BenchStoreBuilder() {
    sqlite3_finalize(line_);
    sqlite3_finalize(link_);
    if (db_) sqlite3_close(db_);
}

void BenchStoreBuilder::addGroupAndMe() {
    exec("INSERT INTO tree_items (id, kind, name, isUser, expanded) VALUES (1, 'Group', 'General', 0, 1)");
    exec("INSERT INTO tree_items (id, kind, name, isUser, userId, status, \"group\", sessionId) "
         "VALUES (2, 'Me', 'Bench Me', 1, 'A000000000', '0', 1, 1234)");
}

void BenchStoreBuilder::addLine(const Line &line) {
    if (!line_) {
        line_ =
            prepare("INSERT INTO log_entries (id, kind, incoming, time, timeReceived, originalSenderName, "
                    "chat, message, messageId) VALUES (?, 'Message', ?, ?, ?, ?, ?, ?, ?)");
        link_ = prepare("INSERT INTO log_entry_users (owner, target, sortKey) VALUES (?, ?, ?)");
    }
    sqlite3_bind_int64(line_, 1, line.row);
    sqlite3_bind_int(line_, 2, line.incoming ? 1 : 0);
    sqlite3_bind_int64(line_, 3, line.when - 500);
    sqlite3_bind_int64(line_, 4, line.when);
    sqlite3_bind_text(line_, 5, line.sender.c_str(), -1, SQLITE_TRANSIENT);
    if (line.chat)
        sqlite3_bind_int64(line_, 6, line.chat);
    else
        sqlite3_bind_null(line_, 6);
    sqlite3_bind_text(line_, 7, line.text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(line_, 8, line.messageId);
    check(sqlite3_step(line_), db_, "line");
    sqlite3_reset(line_);
    sqlite3_bind_int64(link_, 1, line.row);
    sqlite3_bind_int64(link_, 2, line.userRow);
    sqlite3_bind_int64(link_, 3, line.when);
    check(sqlite3_step(link_), db_, "link");
    sqlite3_reset(link_);
}

void BenchStoreBuilder::finish(bool analyze) {
    sqlite3_finalize(line_);
    sqlite3_finalize(link_);
    line_ = link_ = nullptr;
    exec("COMMIT");
    if (analyze) exec("ANALYZE");
    exec("PRAGMA journal_mode=DELETE");
    sqlite3_close(db_);
    db_ = nullptr;
    if (!QFile::rename(building_, path_)) std::exit(1);
}

void BenchStoreBuilder::check(int rc, sqlite3 *db, const char *what) {
    if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
}

void BenchStoreBuilder::exec(sqlite3 *db, const char *sql) {
    check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

sqlite3_stmt *BenchStoreBuilder::prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *stmt = nullptr;
    check(sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr), db, sql);
    return stmt;
}
