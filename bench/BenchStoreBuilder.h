#pragma once

// Builds a benchmark's store once, with bulk inserts through bare SQLite in one transaction. The
// object layer makes the schema and its indexes, so the rows fit it exactly; the store is built
// under a temporary name and takes its own only when whole, so a stopped run leaves none behind.
#include <QString>
#include <sqlite3.h>

#include <string>

class BenchStoreBuilder {
public:
    // One history line of a user (a one-to-one line, or a room's when `chat` is not 0).
    struct Line {
        qint64 row = 0;
        qint64 userRow = 0;
        qint64 when = 0; // received, in ms since 1970; it was sent half a second before
        bool incoming = false;
        std::string sender;
        std::string text;
        qint64 chat = 0;
        qint64 messageId = 0;
    };

    // A new store at `path` with an empty schema; with `copyOf`, a copy of that store instead.
    // Nothing is built when `path` exists already: isNeeded() is false then.
    explicit BenchStoreBuilder(const QString &path, const QString &copyOf = QString());
    ~BenchStoreBuilder();
    BenchStoreBuilder(const BenchStoreBuilder &) = delete;
    BenchStoreBuilder &operator=(const BenchStoreBuilder &) = delete;

    bool isNeeded() const { return db_ != nullptr; }
    sqlite3 *db() const { return db_; }
    void exec(const char *sql) const { exec(db_, sql); }
    sqlite3_stmt *prepare(const char *sql) const { return prepare(db_, sql); }
    // Rows 1 and 2: the group "General" and the local user, in it.
    void addGroupAndMe();
    void addLine(const Line &line);
    // Commits (then gathers the statistics the query planner uses, when asked) and puts the
    // store in place.
    void finish(bool analyze);

    // Each ends the process with SQLite's message on a failure: a benchmark has no use for
    // a store it could not build or read.
    static void check(int rc, sqlite3 *db, const char *what);
    static void exec(sqlite3 *db, const char *sql);
    static sqlite3_stmt *prepare(sqlite3 *db, const char *sql);

private:
    QString path_, building_;
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *line_ = nullptr, *link_ = nullptr;
};
