// The history window on a user with 1,000,000 entries, in the same run as its baseline: opening
// the window on the user and scrolling down 100 pages (each page read as the scroll reaches the
// end of the text, rendered and laid out) against the bare SQLite queries of the same 101 pages
// on a raw handle, reading every column. The ratio is printed at the end. The store is built
// once with bulk inserts and kept in the temporary folder for later runs. Runs offscreen.
#include "BenchRatioReporter.h"
#include "BenchStoreBuilder.h"
#include "core/app/KDTAppDelegate.h"
#include "core/model/Me.h"
#include "core/model/User.h"
#include "core/model/UserListModel.h"
#include "platform/defaults/Defaults.h"
#include "platform/store/ManagedObjectContext.h"
#include "support/PrivateFolders.h"
#include "ui/history/HistoryViewer.h"
#include "ui/history/PrintingTextView.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMainWindow>
#include <QScrollBar>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr qint64 kEntries = 1000000;
constexpr int kPages = 100;
constexpr qint64 kBaseMs = 1767225600000LL; // 2026-01-01 UTC
constexpr qint64 kUserRow = 3;

User *g_user = nullptr;

QString dataFolder() { return QDir::tempPath() + QStringLiteral("/murnavell-history-bench-v1"); }
QString storePath() { return dataFolder() + QStringLiteral("/Murnavell/") + KDTAppDelegate::storeFileName; }

void check(int rc, sqlite3 *db, const char *what) { BenchStoreBuilder::check(rc, db, what); }
sqlite3_stmt *prepare(sqlite3 *db, const char *sql) { return BenchStoreBuilder::prepare(db, sql); }

// One peer with a million one-to-one lines, every other one incoming.
void generate() {
    BenchStoreBuilder b(storePath());
    if (!b.isNeeded()) return;
    b.addGroupAndMe();
    b.exec("INSERT INTO tree_items (id, kind, name, isUser, userId, status, userOffline, \"group\") "
           "VALUES (3, 'User', 'Olga', 1, 'A000000001', '0', 0, 1)");
    for (qint64 k = 0; k < kEntries; ++k)
        b.addLine({.row = k + 1,
                   .userRow = kUserRow,
                   .when = kBaseMs + k * 1000,
                   .incoming = k % 2 == 1,
                   .sender = "Olga",
                   .text = QStringLiteral("History line %1, with some words to make it a line of a working "
                                          "day's conversation")
                               .arg(k)
                               .toStdString(),
                   .messageId = 1000000000000LL + k});
    b.finish(true);
}

// Opens the window on the user and scrolls to the end of the text until 100 more pages are in.
void BM_ViewerOpenAndScroll(benchmark::State &state) {
    for (auto _ : state) {
        HistoryViewer *viewer = HistoryViewer::initAndShow(g_user);
        viewer->window()->resize(760, 520);
        QScrollBar *bar = viewer->textView()->verticalScrollBar();
        const qint64 target = (state.range(0) + 1) * HistoryViewer::PageSize;
        while (viewer->logItemsDisplayed() < target) {
            bar->setValue(bar->maximum());
            QCoreApplication::processEvents();
        }
        benchmark::DoNotOptimize(viewer->textView()->document()->characterCount());
        state.PauseTiming();
        delete viewer;
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.ResumeTiming();
    }
}

// The same pages straight from SQLite: the newest, then 100 older ones by key.
void BM_BareQueries(benchmark::State &state) {
    sqlite3 *db = nullptr;
    check(sqlite3_open_v2(QFile::encodeName(storePath()).constData(), &db, SQLITE_OPEN_READONLY, nullptr), db,
          "open");
    const std::string from = "FROM log_entry_users j JOIN log_entries t ON t.id = j.owner "
                             "WHERE j.target = ?1 AND t.chat IS NULL";
    const std::string limit = " LIMIT " + std::to_string(HistoryViewer::PageSize);
    sqlite3_stmt *newest = prepare(
        db, ("SELECT t.*, j.sortKey " + from + " ORDER BY j.sortKey DESC, j.owner DESC" + limit).c_str());
    sqlite3_stmt *before = prepare(db, ("SELECT t.*, j.sortKey " + from +
                                        " AND (j.sortKey < ?2 OR (j.sortKey = ?2 AND j.owner < ?3)) "
                                        "ORDER BY j.sortKey DESC, j.owner DESC" +
                                        limit)
                                           .c_str());
    for (auto _ : state) {
        qint64 bytes = 0, key = 0, owner = 0;
        auto read = [&](sqlite3_stmt *stmt) {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                const int n = sqlite3_column_count(stmt);
                for (int c = 0; c < n; ++c)
                    bytes += sqlite3_column_type(stmt, c) == SQLITE_TEXT ? sqlite3_column_bytes(stmt, c)
                                                                         : sqlite3_column_int64(stmt, c);
                owner = sqlite3_column_int64(stmt, 0);
                key = sqlite3_column_int64(stmt, n - 1);
            }
            sqlite3_reset(stmt);
        };
        sqlite3_bind_int64(newest, 1, kUserRow);
        read(newest);
        for (int page = 0; page < kPages; ++page) {
            sqlite3_bind_int64(before, 1, kUserRow);
            sqlite3_bind_int64(before, 2, key);
            sqlite3_bind_int64(before, 3, owner);
            read(before);
        }
        benchmark::DoNotOptimize(bytes);
    }
    sqlite3_finalize(newest);
    sqlite3_finalize(before);
    sqlite3_close(db);
}

BENCHMARK(BM_ViewerOpenAndScroll)->Arg(25)->Arg(kPages)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_BareQueries)->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home;
    if (!usePrivateFolders(home)) return 2;
    // The store lives in the kept folder; the window only reads it.
    setenv("XDG_DATA_HOME", QFile::encodeName(dataFolder()).constData(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    generate();
    KDTAppDelegate::initialize(Defaults::standard(), {"en-US"});
    KDTAppDelegate delegate;
    KDTAppDelegate::setShared(&delegate);
    ManagedObjectContext *context = delegate.managedObjectContext();
    for (User *u : context->fetch<User>()) {
        if (auto *me = dynamic_cast<Me *>(u))
            Me::setCurrent(me);
        else if (u->rowId() == kUserRow)
            g_user = u;
    }
    if (!g_user) return 3;
    std::fprintf(stderr, "%lld entries of %s\n", static_cast<long long>(g_user->logEntriesNumber()),
                 qPrintable(g_user->name()));

    benchmark::Initialize(&argc, argv);
    BenchRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double x = reporter.time("BM_ViewerOpenAndScroll/100/iterations:5"),
                 y = reporter.time("BM_BareQueries/iterations:20");
    if (x > 0 && y > 0) std::printf("ratio BM_ViewerOpenAndScroll / BM_BareQueries = %.2f\n", x / y);
    Me::setCurrent(nullptr);
    KDTAppDelegate::setShared(nullptr);
    return 0;
}
