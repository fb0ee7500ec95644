// The store through the object layer against bare SQLite on the same rows, in the same run.
// The stores (10k and 1M log entries over 1,000 users and 100 chats) are built once with bulk
// inserts and kept in the temporary folder for later runs. Each layer case has a bare twin
// (prepared statements on a raw handle, reading the same columns); the ratios are printed at
// the end, with the open time of the 1M store over that of the 10k store.
#include "BenchStoreBuilder.h"
#include "core/model/Message.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "platform/store/ManagedObjectContext.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kUsers = 1000;
constexpr int kChats = 100;
constexpr qint64 kBaseMs = 1767225600000LL; // 2026-01-01 UTC
// Row ids as the generator lays them out: the group, the local user, then the peers.
constexpr qint64 kGroupRow = 1;
constexpr qint64 kMeRow = 2;
constexpr qint64 kFirstUserRow = 3;

QString benchFolder() { return QDir::tempPath() + QStringLiteral("/murnavell-store-bench-v2"); }
QString storeFor(qint64 entries) {
    return benchFolder() + QStringLiteral("/store-%1.storedata").arg(entries);
}

void check(int rc, sqlite3 *db, const char *what) { BenchStoreBuilder::check(rc, db, what); }
void exec(sqlite3 *db, const char *sql) { BenchStoreBuilder::exec(db, sql); }
sqlite3_stmt *prepare(sqlite3 *db, const char *sql) { return BenchStoreBuilder::prepare(db, sql); }

// Entry k belongs to user k % 1000; every 10th round of users writes in a chat instead, so each
// user has 9 one-to-one lines for every chat line.
bool isChatLine(qint64 k) { return (k / kUsers) % 10 == 9; }

void generate(qint64 entries) {
    BenchStoreBuilder b(storeFor(entries));
    if (!b.isNeeded()) return;
    b.addGroupAndMe();
    sqlite3_stmt *user =
        b.prepare("INSERT INTO tree_items (id, kind, name, isUser, userId, pc, ip, status, "
                  "userOffline, seenLastTime, \"group\") VALUES (?, 'User', ?, 1, ?, ?, ?, '10', 1, ?, 1)");
    for (int u = 0; u < kUsers; ++u) {
        // QString rather than std::string: GCC 12 at -O3 warns falsely on std::string concatenation.
        const std::string name = QStringLiteral("User %1").arg(u).toStdString(),
                          id = QStringLiteral("A%1").arg(100000000 + u).toStdString();
        const std::string pc = QStringLiteral("pc-%1").arg(u).toStdString(),
                          ip = QStringLiteral("198.18.%1.%2").arg(u / 250).arg(u % 250 + 1).toStdString();
        sqlite3_bind_int64(user, 1, kFirstUserRow + u);
        sqlite3_bind_text(user, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(user, 3, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(user, 4, pc.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(user, 5, ip.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(user, 6, kBaseMs);
        check(sqlite3_step(user), b.db(), "user");
        sqlite3_reset(user);
    }
    sqlite3_finalize(user);
    sqlite3_stmt *chat = b.prepare("INSERT INTO chats (id, kind, roomId) VALUES (?, 'Chat', ?)");
    for (int c = 1; c <= kChats; ++c) {
        sqlite3_bind_int64(chat, 1, c);
        sqlite3_bind_int64(chat, 2, 1000 + c);
        check(sqlite3_step(chat), b.db(), "chat");
        sqlite3_reset(chat);
    }
    sqlite3_finalize(chat);
    for (qint64 k = 0; k < entries; ++k)
        b.addLine({.row = k + 1,
                   .userRow = kFirstUserRow + k % kUsers,
                   .when = kBaseMs + k * 1000,
                   .incoming = k % 2 == 1,
                   .sender = "User " + std::to_string(k % kUsers),
                   .text = "benchmark message number " + std::to_string(k) + ", some words to make it a line",
                   .chat = isChatLine(k) ? 1 + (k / 10) % kChats : 0,
                   .messageId = 1000000000000LL + k});
    b.finish(true);
}

// --- bare SQLite -----------------------------------------------------------------------------

// The same settings the layer uses.
sqlite3 *openBare(const QString &path) {
    sqlite3 *db = nullptr;
    check(sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr), db,
          "open");
    exec(db, "PRAGMA foreign_keys=ON");
    exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "PRAGMA synchronous=FULL");
    return db;
}

// Reads every column of every row, as materialising objects would.
qint64 readAllRows(sqlite3_stmt *stmt) {
    qint64 bytes = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        for (int c = 0, n = sqlite3_column_count(stmt); c < n; ++c) {
            if (sqlite3_column_type(stmt, c) == SQLITE_TEXT)
                bytes += sqlite3_column_bytes(stmt, c);
            else
                bytes += sqlite3_column_int64(stmt, c);
        }
    }
    sqlite3_reset(stmt);
    return bytes;
}

const char *kUserLogWhere = "FROM log_entry_users j JOIN log_entries t ON t.id = j.owner "
                            "WHERE j.target = ?1 AND t.chat IS NULL";

struct Bare {
    sqlite3 *db = nullptr;
    sqlite3_stmt *newest = nullptr, *count = nullptr, *before = nullptr, *insert = nullptr, *link = nullptr;
    explicit Bare(const QString &path) : db(openBare(path)) {
        newest = prepare(db, (std::string("SELECT t.* ") + kUserLogWhere +
                              " ORDER BY j.sortKey DESC, j.owner DESC LIMIT 20")
                                 .c_str());
        count = prepare(db, (std::string("SELECT count(*) ") + kUserLogWhere).c_str());
        before = prepare(
            db, (std::string("SELECT t.* ") + kUserLogWhere +
                 " AND (j.sortKey < ?2 OR (j.sortKey = ?2 AND j.owner < ?3)) ORDER BY j.sortKey DESC, "
                 "j.owner DESC LIMIT 20")
                    .c_str());
        insert =
            prepare(db, "INSERT INTO log_entries (kind, incoming, time, timeReceived, originalSenderName, "
                        "message, messageId) VALUES ('Message', 1, ?, ?, ?, ?, ?)");
        link = prepare(db, "INSERT INTO log_entry_users (owner, target, sortKey) VALUES (?, ?, ?)");
    }
    ~Bare() {
        for (sqlite3_stmt *s : {newest, count, before, insert, link}) sqlite3_finalize(s);
        sqlite3_close(db);
    }
};

// --- the layer ------------------------------------------------------------------------------

struct Layer {
    ManagedObjectContext context{UserListModel::model()};
    std::vector<User *> users; // by generator order
    explicit Layer(const QString &path) {
        if (!context.open(path)) std::exit(1);
        std::map<QString, User *> byId;
        for (User *u : context.fetch<User>()) byId[u->userId()] = u;
        for (int u = 0; u < kUsers; ++u) users.push_back(byId[QStringLiteral("A%1").arg(100000000 + u)]);
        if (!users.back()) std::exit(1);
    }
};

constexpr qint64 kBig = 1000000;

// The page older than a user's 200 newest entries: its key is the 200th entry.
std::pair<qint64, qint64> pageKey(int u, qint64 entries) {
    // Entries of user u: k = u + j*kUsers with k % 10 != 9; the newest come last.
    std::vector<qint64> ks;
    for (qint64 k = u; k < entries; k += kUsers)
        if (!isChatLine(k)) ks.push_back(k);
    const qint64 k = ks[ks.size() - 200];
    return {kBaseMs + k * 1000, k + 1};
}

Layer &layer() {
    static Layer l(storeFor(kBig));
    return l;
}
Bare &bare() {
    static Bare b(storeFor(kBig));
    return b;
}

void BM_Open_Layer(benchmark::State &state) {
    const QString path = storeFor(state.range(0));
    for (auto _ : state) {
        ManagedObjectContext context(UserListModel::model());
        if (!context.open(path)) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(context.fetch<User>().size());
    }
}
void BM_Open_Bare(benchmark::State &state) {
    const QString path = storeFor(state.range(0));
    for (auto _ : state) {
        sqlite3 *db = openBare(path);
        // The layer reads the small tables whole when it opens; so does this.
        for (const char *sql : {"SELECT * FROM tree_items", "SELECT * FROM held_messages",
                                "SELECT * FROM chats", "SELECT * FROM held_message_recipients"}) {
            sqlite3_stmt *stmt = prepare(db, sql);
            benchmark::DoNotOptimize(readAllRows(stmt));
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
    }
}

void BM_Newest20_Layer(benchmark::State &state) {
    int u = 0;
    for (auto _ : state) {
        const QList<LogEntry *> page = layer().users[u++ % kUsers]->lastLogEnties(20);
        if (page.size() != 20) state.SkipWithError("short page");
        benchmark::DoNotOptimize(page.data());
    }
}
void BM_Newest20_Bare(benchmark::State &state) {
    int u = 0;
    for (auto _ : state) {
        sqlite3_bind_int64(bare().newest, 1, kFirstUserRow + u++ % kUsers);
        benchmark::DoNotOptimize(readAllRows(bare().newest));
    }
}

void BM_Count_Layer(benchmark::State &state) {
    int u = 0;
    for (auto _ : state) benchmark::DoNotOptimize(layer().users[u++ % kUsers]->logEntriesNumber());
}
void BM_Count_Bare(benchmark::State &state) {
    int u = 0;
    for (auto _ : state) {
        sqlite3_bind_int64(bare().count, 1, kFirstUserRow + u++ % kUsers);
        sqlite3_step(bare().count);
        benchmark::DoNotOptimize(sqlite3_column_int64(bare().count, 0));
        sqlite3_reset(bare().count);
    }
}

std::vector<std::pair<qint64, qint64>> &pageKeys() {
    static std::vector<std::pair<qint64, qint64>> keys = [] {
        std::vector<std::pair<qint64, qint64>> out;
        for (int u = 0; u < kUsers; ++u) out.push_back(pageKey(u, kBig));
        return out;
    }();
    return keys;
}

void BM_OlderPage_Layer(benchmark::State &state) {
    int u = 0;
    for (auto _ : state) {
        const auto [ms, row] = pageKeys()[u % kUsers];
        const QList<LogEntry *> page =
            layer().users[u++ % kUsers]->logEntriesBefore(QDateTime::fromMSecsSinceEpoch(ms), row, 20);
        if (page.size() != 20) state.SkipWithError("short page");
        benchmark::DoNotOptimize(page.data());
    }
}
void BM_OlderPage_Bare(benchmark::State &state) {
    int u = 0;
    for (auto _ : state) {
        const auto [ms, row] = pageKeys()[u % kUsers];
        sqlite3_bind_int64(bare().before, 1, kFirstUserRow + u++ % kUsers);
        sqlite3_bind_int64(bare().before, 2, ms);
        sqlite3_bind_int64(bare().before, 3, row);
        benchmark::DoNotOptimize(readAllRows(bare().before));
    }
}

// Writes go to a copy, so the kept stores stay as they were built.
QString workCopy() {
    static const QString path = [] {
        const QString p = benchFolder() + QStringLiteral("/work.storedata");
        for (const char *suffix : {"", "-wal", "-shm"}) QFile::remove(p + QLatin1String(suffix));
        if (!QFile::copy(storeFor(kBig), p)) std::exit(1);
        return p;
    }();
    return path;
}

void BM_InsertSave_Layer(benchmark::State &state) {
    static Layer l(workCopy());
    qint64 n = 0;
    for (auto _ : state) {
        Message *m = l.context.insert<Message>();
        m->setIncoming(true);
        m->setOriginalSenderName(QStringLiteral("User 7"));
        m->setMessage(QStringLiteral("an incoming message"));
        m->setMessageId(5000000000000LL + n++);
        m->addUserObject(l.users[7]);
        if (!l.context.save()) state.SkipWithError("save failed");
    }
}
void BM_InsertSave_Bare(benchmark::State &state) {
    static Bare b(workCopy());
    qint64 n = 0;
    for (auto _ : state) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        exec(b.db, "BEGIN");
        sqlite3_bind_int64(b.insert, 1, now);
        sqlite3_bind_int64(b.insert, 2, now);
        sqlite3_bind_text(b.insert, 3, "User 7", -1, SQLITE_STATIC);
        sqlite3_bind_text(b.insert, 4, "an incoming message", -1, SQLITE_STATIC);
        sqlite3_bind_int64(b.insert, 5, 6000000000000LL + n++);
        check(sqlite3_step(b.insert), b.db, "insert");
        sqlite3_reset(b.insert);
        sqlite3_bind_int64(b.link, 1, sqlite3_last_insert_rowid(b.db));
        sqlite3_bind_int64(b.link, 2, kFirstUserRow + 7);
        sqlite3_bind_int64(b.link, 3, now);
        check(sqlite3_step(b.link), b.db, "link");
        sqlite3_reset(b.link);
        exec(b.db, "COMMIT");
    }
}

// --- a store holding the most copies for others that the bounds let in ---------------------

// 5,000 held copies: ten authors with 500 each, about 13 KiB of ciphertext per copy (64 MiB in
// all), each waiting for one of the 1,000 users.
constexpr int kHeldCopies = 5000;
constexpr int kHeldBodyBytes = 13000;

QString heldStore() { return benchFolder() + QStringLiteral("/store-held-%1.storedata").arg(kHeldCopies); }

void generateHeld() {
    BenchStoreBuilder b(heldStore(), storeFor(10000));
    if (!b.isNeeded()) return;
    sqlite3_stmt *held =
        b.prepare("INSERT INTO held_messages (id, kind, mass, message, messageId, time, sender) VALUES "
                  "(?, 'MessageForForwarding', 0, ?, ?, ?, ?)");
    sqlite3_stmt *to = b.prepare("INSERT INTO held_message_recipients (owner, target) VALUES (?, ?)");
    std::string body(kHeldBodyBytes, '\0');
    quint32 x = 12345;
    for (int i = 0; i < kHeldCopies; ++i) {
        for (char &c : body) c = char((x = x * 1664525u + 1013904223u) >> 24);
        sqlite3_bind_int64(held, 1, i + 1);
        sqlite3_bind_blob(held, 2, body.data(), int(body.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(held, 3, 7000000000000LL + i);
        sqlite3_bind_int64(held, 4, kBaseMs + i * 1000LL);
        sqlite3_bind_int64(held, 5, kFirstUserRow + i % 10);
        check(sqlite3_step(held), b.db(), "held");
        sqlite3_reset(held);
        sqlite3_bind_int64(to, 1, i + 1);
        sqlite3_bind_int64(to, 2, kFirstUserRow + 10 + i % (kUsers - 10));
        check(sqlite3_step(to), b.db(), "recipient");
        sqlite3_reset(to);
    }
    sqlite3_finalize(held);
    sqlite3_finalize(to);
    b.finish(false);
}

// Bytes the heap hands out right now: what an open context keeps, whatever the allocator reuses.
qint64 heapInUse() { return qint64(mallinfo2().uordblks); }

// Open time of the store holding 5,000 copies, and what the open context keeps on the heap.
void BM_OpenHeld_Layer(benchmark::State &state) {
    const QString path = heldStore();
    qint64 kept = 0;
    for (auto _ : state) {
        const qint64 before = heapInUse();
        ManagedObjectContext context(UserListModel::model());
        if (!context.open(path)) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(context.fetch<MessageForForwarding>().size());
        kept = std::max(kept, heapInUse() - before);
    }
    state.counters["heap_kept_kib"] = double(kept / 1024);
}
// The bare reads of what bounds and deliveries need: each copy's author, time, id, body size and
// recipients, without the bodies.
void BM_OpenHeld_Bare(benchmark::State &state) {
    const QString path = heldStore();
    for (auto _ : state) {
        sqlite3 *db = openBare(path);
        for (const char *sql :
             {"SELECT * FROM tree_items", "SELECT * FROM chats",
              "SELECT id, kind, mass, messageId, time, sender, length(message) FROM held_messages",
              "SELECT * FROM held_message_recipients"}) {
            sqlite3_stmt *stmt = prepare(db, sql);
            benchmark::DoNotOptimize(readAllRows(stmt));
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
    }
}

BENCHMARK(BM_Open_Layer)->Arg(10000)->Arg(kBig)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Open_Bare)->Arg(10000)->Arg(kBig)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenHeld_Layer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenHeld_Bare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Newest20_Layer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Newest20_Bare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Count_Layer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Count_Bare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OlderPage_Layer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OlderPage_Bare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InsertSave_Layer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InsertSave_Bare)->Unit(benchmark::kMicrosecond);

// Keeps each case's time per iteration so the ratios can be printed after the run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                times[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    generate(10000);
    generate(kBig);
    generateHeld();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto &t = reporter.times;
    auto ratio = [&](const std::string &a, const std::string &b) {
        if (t.count(a) && t.count(b) && t.at(b) > 0)
            std::printf("%-44s %8.2f\n", (a + " / " + b.substr(3)).c_str(), t.at(a) / t.at(b));
    };
    std::printf("\nratios (time per operation)\n");
    for (const char *c : {"Open", "Newest20", "Count", "OlderPage", "InsertSave"}) {
        const std::string base = std::string("BM_") + c;
        if (std::string(c) == "Open") {
            ratio(base + "_Layer/10000", base + "_Bare/10000");
            ratio(base + "_Layer/1000000", base + "_Bare/1000000");
        } else {
            ratio(base + "_Layer", base + "_Bare");
        }
    }
    ratio("BM_OpenHeld_Layer", "BM_OpenHeld_Bare");
    ratio("BM_Open_Layer/1000000", "BM_Open_Layer/10000");
    ratio("BM_Open_Bare/1000000", "BM_Open_Bare/10000");
    benchmark::Shutdown();
    // Only the built stores are worth keeping; the written-to copy is made anew each run.
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(benchFolder() + QStringLiteral("/work.storedata") + QLatin1String(suffix));
    return 0;
}
