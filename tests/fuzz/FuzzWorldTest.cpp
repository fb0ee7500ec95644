// The fuzz targets' world: a store opened from the image of the seeded one holds what a freshly
// seeded store holds, and nothing an input stored is there for the next input.
#include "FuzzSupport.h"
#include "FuzzWorld.h"

#include "core/app/AppContext.h"
#include "core/model/Me.h"
#include "core/model/MessageForForwarding.h"
#include "core/model/User.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/ManagedObjectContext.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// Every row of every table, with its row id, in row-id order, as text.
QStringList storedRows(ManagedObjectContext *context) {
    sqlite3 *db = context->database();
    QStringList rows;
    QStringList tables;
    sqlite3_stmt *list = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name", -1, &list,
                           nullptr) != SQLITE_OK)
        return {QStringLiteral("cannot list tables")};
    while (sqlite3_step(list) == SQLITE_ROW)
        tables.append(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(list, 0))));
    sqlite3_finalize(list);
    for (const QString &table : tables) {
        sqlite3_stmt *rowsOf = nullptr;
        // With the row ids where there are any; a table without them reads in key order.
        const QByteArray sql = "SELECT rowid, * FROM \"" + table.toUtf8() + "\" ORDER BY 1";
        const QByteArray keyed = "SELECT * FROM \"" + table.toUtf8() + "\"";
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &rowsOf, nullptr) != SQLITE_OK &&
            sqlite3_prepare_v2(db, keyed.constData(), -1, &rowsOf, nullptr) != SQLITE_OK) {
            rows.append(table + QStringLiteral(": unreadable"));
            continue;
        }
        while (sqlite3_step(rowsOf) == SQLITE_ROW) {
            QStringList values{table};
            for (int c = 0; c < sqlite3_column_count(rowsOf); ++c) {
                const auto *bytes = static_cast<const char *>(sqlite3_column_blob(rowsOf, c));
                values.append(QString::fromLatin1(QByteArray(bytes, sqlite3_column_bytes(rowsOf, c)).toHex()));
            }
            rows.append(values.join(QLatin1Char('|')));
        }
        sqlite3_finalize(rowsOf);
    }
    return rows;
}

// What the handlers see of the users beyond the stored rows: the state made when they are read.
QStringList liveUsers(const FuzzWorld &world) {
    QStringList out;
    for (const User *user : world.context()->fetch<User>())
        out.append(QStringList{user->userId(), user->name(), user->ip(), user->status(),
                               user->removed() ? QStringLiteral("removed") : QStringLiteral("present"),
                               user == world.me() ? QStringLiteral("me") : QString()}
                       .join(QLatin1Char('|')));
    out.sort();
    return out;
}

TEST(FuzzWorld, AWorldOnTheSeedImageHoldsWhatAFreshlySeededStoreHolds) {
    QStringList seededRows, seededUsers;
    {
        FuzzWorld seeded{FuzzWorld::Seeding{}};
        seededRows = storedRows(seeded.context());
        seededUsers = liveUsers(seeded);
    }
    FuzzWorld world;
    EXPECT_FALSE(world.context()->hasChanges());
    EXPECT_EQ(storedRows(world.context()), seededRows);
    EXPECT_EQ(liveUsers(world), seededUsers);
    EXPECT_EQ(Me::current(), world.me());
    EXPECT_EQ(appManagedObjectContext(), world.context());
    ASSERT_EQ(MessageForForwarding::findByMessageId(world.context(), FuzzWorld::kHeldId).size(), 1);
    EXPECT_EQ(MessageForForwarding::findByMessageId(world.context(), FuzzWorld::kHeldId).first()->recipients(),
              QList<User *>{world.carol()});
}

TEST(FuzzWorld, WhatOneInputStoredIsGoneForTheNext) {
    QStringList before;
    {
        FuzzWorld first;
        before = storedRows(first.context());
        User *eve = first.context()->insert<User>();
        eve->setUserId(QStringLiteral("A000000099"));
        eve->setName(QStringLiteral("Eve"));
        first.bob()->setStatus(QStringLiteral("2"));
        for (MessageForForwarding *held :
             MessageForForwarding::findByMessageId(first.context(), FuzzWorld::kHeldId))
            first.context()->deleteObject(held);
        ASSERT_TRUE(saveContextIfChanged());
        ASSERT_NE(User::findByUserId(first.context(), QStringLiteral("A000000099")), nullptr);
        ASSERT_NE(storedRows(first.context()), before);
    }
    FuzzWorld next;
    EXPECT_EQ(User::findByUserId(next.context(), QStringLiteral("A000000099")), nullptr);
    EXPECT_EQ(next.bob()->status(), QStringLiteral("0"));
    EXPECT_EQ(MessageForForwarding::findByMessageId(next.context(), FuzzWorld::kHeldId).size(), 1);
    EXPECT_EQ(storedRows(next.context()), before);
}

// Sockets hand their callbacks to the main queue from io threads while the fuzzing thread drains
// it; none may be lost, run twice, run elsewhere, or stop the run for arriving late.
TEST(FuzzWorld, BlocksHandedOverFromOtherThreadsWhileDrainingAllRunOnceOnTheDrainingThread) {
    constexpr int kThreads = 4;
    constexpr int kBlocksEach = 20000;
    const std::thread::id drainer = std::this_thread::get_id();
    std::atomic<int> ran{0};
    std::atomic<int> elsewhere{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&] {
            // One at a time, so most find the queue idle and hand it over anew.
            for (int i = 0; i < kBlocksEach; ++i) {
                dispatch::Queue::main()->async([&] {
                    if (std::this_thread::get_id() != drainer) ++elsewhere;
                    ++ran;
                });
                std::this_thread::yield();
            }
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ran.load() < kThreads * kBlocksEach && std::chrono::steady_clock::now() < deadline)
        FuzzWorld::drain();
    for (std::thread &sender : senders) sender.join();
    FuzzWorld::drain();
    EXPECT_EQ(ran.load(), kThreads * kBlocksEach);
    EXPECT_EQ(elsewhere.load(), 0);
}

} // namespace

int main(int argc, char **argv) {
    fuzzSetUp();
    FuzzWorld::setUpProcess();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
