// A process killed while it writes the store loses what it had not saved and nothing else,
// and leaves a store that opens and passes SQLite's integrity check.
#include "StoreTestSupport.h"
#include "child/StoreCrashChild.h"

#include "core/model/UserListModel.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>

namespace {

// The child's own entry, disabled so it runs only when the crash test starts this executable as its child.
TEST(StoreCrash, DISABLED_ChildMain) {
    const QString mode = qEnvironmentVariable("MURNAVELL_CRASH_CHILD");
    if (mode.isEmpty()) GTEST_SKIP() << "runs only as the child of the other StoreCrash tests";
    std::_Exit(storecrash::runStoreCrashChild(mode, qEnvironmentVariable("MURNAVELL_CRASH_DATA")));
}

qint64 count(sqlite3 *db, const QString &sql) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK) return -1;
    const qint64 n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return n;
}

// Users of the batch and messages addressed to them, as stored.
std::pair<qint64, qint64> batchRows(sqlite3 *db, int batch) {
    const qint64 users =
        count(db, QStringLiteral("SELECT count(*) FROM tree_items WHERE userId LIKE 'B%1-%'").arg(batch));
    const qint64 messages =
        count(db, QStringLiteral("SELECT count(*) FROM log_entries e JOIN log_entry_users j ON "
                                 "j.owner = e.id WHERE e.messageId BETWEEN %1 AND %2")
                      .arg(qint64(batch) * 1000000)
                      .arg(qint64(batch) * 1000000 + 999999));
    return {users, messages};
}

// Runs the child in `mode`, kills it once `line` appeared (or the time is up) and returns every
// "saved N" number it printed.
QList<int> runAndKill(const TempDataHome &home, const QString &mode, const QString &line, bool *sawLine) {
    QTemporaryDir scratch; // the child's own temporary folders die with it, unremoved
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MURNAVELL_CRASH_CHILD", mode);
    env.insert("MURNAVELL_CRASH_DATA", home.path());
    env.insert("TMPDIR", scratch.path());
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=StoreCrash.DISABLED_ChildMain", "--gtest_also_run_disabled_tests"});
    *sawLine = false;
    QList<int> saved;
    auto take = [&](const QByteArray &text) {
        static const QRegularExpression savedLine("^saved (\\d+)$");
        const QString l = QString::fromUtf8(text).trimmed();
        if (l == line) *sawLine = true;
        const auto m = savedLine.match(l);
        if (m.hasMatch()) saved << m.captured(1).toInt();
    };
    if (!child.waitForStarted(10000)) return saved;
    QDeadlineTimer deadline(60000);
    while (!*sawLine && !deadline.hasExpired() && child.state() == QProcess::Running) {
        if (child.canReadLine())
            take(child.readLine());
        else
            child.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    child.kill();
    EXPECT_TRUE(child.waitForFinished(10000));
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit) << "exit code " << child.exitCode();
    while (child.canReadLine()) take(child.readLine());
    return saved;
}

TEST(StoreCrash, KilledAfterTwoSavesKeepsExactlyThoseTwo) {
    TempDataHome home;
    bool sawPending = false;
    const QList<int> saved = runAndKill(home, "steps", "pending 3", &sawPending);
    ASSERT_TRUE(sawPending);
    EXPECT_EQ(saved, QList<int>({1, 2}));

    ManagedObjectContext context(UserListModel::model());
    ASSERT_TRUE(context.open(home.folder() + "/Murnavell-v2.storedata"));
    QStringList problems;
    EXPECT_TRUE(context.integrityCheck(&problems)) << problems.join('\n').toStdString();
    using storecrash::kMessagesPerUser;
    using storecrash::kUsersPerBatch;
    for (int batch = 1; batch <= 2; ++batch) {
        SCOPED_TRACE(batch);
        EXPECT_EQ(batchRows(context.database(), batch),
                  std::make_pair(qint64(kUsersPerBatch), qint64(kUsersPerBatch * kMessagesPerUser)));
        User *user = User::findByUserId(&context, storecrash::userIdFor(batch, 7));
        ASSERT_NE(user, nullptr);
        EXPECT_EQ(user->logEntriesNumber(), kMessagesPerUser);
    }
    EXPECT_EQ(batchRows(context.database(), 3), std::make_pair(qint64(0), qint64(0)));
    EXPECT_EQ(User::findByUserId(&context, storecrash::userIdFor(3, 0)), nullptr);
    EXPECT_EQ(count(context.database(), "SELECT count(*) FROM log_entries"),
              2 * kUsersPerBatch * kMessagesPerUser);
}

TEST(StoreCrash, KilledWhileSavingLosesNoSavedBatchAndNoHalfBatch) {
    TempDataHome home;
    bool sawLine = false;
    const QList<int> saved = runAndKill(home, "loop", "saved 5", &sawLine);
    ASSERT_TRUE(sawLine);
    ASSERT_FALSE(saved.isEmpty());
    const int last = saved.last();

    ManagedObjectContext context(UserListModel::model());
    ASSERT_TRUE(context.open(home.folder() + "/Murnavell-v2.storedata"));
    QStringList problems;
    EXPECT_TRUE(context.integrityCheck(&problems)) << problems.join('\n').toStdString();
    const auto full = std::make_pair(qint64(storecrash::kUsersPerBatch),
                                     qint64(storecrash::kUsersPerBatch * storecrash::kMessagesPerUser));
    for (int batch = 1; batch <= last; ++batch)
        EXPECT_EQ(batchRows(context.database(), batch), full) << batch;
    // The batch being saved at the kill is all there or not at all; none after it exists.
    const auto next = batchRows(context.database(), last + 1);
    EXPECT_TRUE(next == full || next == std::make_pair(qint64(0), qint64(0)))
        << next.first << " users, " << next.second << " messages";
    EXPECT_EQ(batchRows(context.database(), last + 2), std::make_pair(qint64(0), qint64(0)));
}

} // namespace
