// A whole office announcing itself at once to a copy in another namespace: the announcements
// come in faster than the copy's main thread takes them, and more of them than the kernel can
// hold while it is busy. Every peer is seen once the peers have announced again, the copy's
// memory stays bounded while the kernel holds the rest, and users for ids never seen before are
// still made no faster than the roster's limit allows.
#include "core/net/UDPserver.h"
#include "core/net/UserList.h"
#include "support/E2eCopies.h"
#include "support/EventLoopWait.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#ifndef MURNAVELL_ATTACKER
#define MURNAVELL_ATTACKER ""
#endif

namespace {

constexpr int kCopy = 0, kOffice = 1;
// Announcements of this name length stay within one Ethernet frame (about 1,300 bytes).
constexpr int kNameLength = 900;
constexpr int kDatagramBytes = 1300;

struct Stats {
    int receiveBuffer = 0;
    int received = 0;
    int known = 0;
};

class E2ePresenceBurstTest : public E2eCopies {
protected:
    void SetUp() override {
        if (QString::fromUtf8(MURNAVELL_ATTACKER).isEmpty()) GTEST_SKIP() << "the announcer was not built";
    }

    // Starts the copy under test and the lab around it; false when either failed.
    bool startCopy() {
        lab = std::make_unique<NetnsLab>(2);
        if (!lab->ok()) return false;
        copy = startWithPresence(kCopy, userIdIn(8, kCopy));
        return copy != nullptr;
    }

    // Peers first .. first + count - 1 of the office announce themselves `repeat` times each,
    // from the office's namespace; waits until every datagram has left.
    bool announce(int first, int count, int repeat = 1) {
        QProcess *p = lab->run(kOffice, QString::fromUtf8(MURNAVELL_ATTACKER),
                               {lab->address(kCopy), QStringLiteral("announce"), QString::number(first),
                                QString::number(count), QString::number(repeat), QString::number(kNameLength)});
        if (!p) return false;
        copies.push_back(std::make_unique<CopyProcess>(p, QStringLiteral("office")));
        const auto done = copies.back()->waitForEvent([](const QJsonObject &e) { return e.contains("sent"); }, 60000);
        return done && done->value("failed").toInt() == 0 && done->value("sent").toInt() == count * repeat;
    }

    // The copy's counts, users counted among the ids with the prefix.
    std::optional<Stats> stats(const QString &prefix) {
        if (!copy->send(QStringLiteral("presence-stats ") + prefix)) return std::nullopt;
        const auto e = copy->waitForEvent(QStringLiteral("presence-stats"), 20000);
        if (!e) return std::nullopt;
        return Stats{e->value("receiveBuffer").toInt(), e->value("received").toInt(), e->value("known").toInt()};
    }

    // The copy's counts once it has taken in everything that reached it: the datagrams handed
    // over stay the same across two asks a little apart.
    std::optional<Stats> settled(const QString &prefix) {
        std::optional<Stats> last = stats(prefix);
        for (QDeadlineTimer bound(30000); last && !bound.hasExpired();) {
            spinFor(300);
            const std::optional<Stats> now = stats(prefix);
            if (!now || now->received == last->received) return now;
            last = now;
        }
        return std::nullopt;
    }

    CopyProcess *copy = nullptr;
};

TEST_F(E2ePresenceBurstTest, AnOfficeAnnouncingWhileTheCopyIsBusyIsAllSeenAfterItsResends) {
    SKIP_WITHOUT_LAB();
    ASSERT_TRUE(startCopy()) << qPrintable(lab->error());
    const std::optional<Stats> start = stats(QStringLiteral("P000"));
    ASSERT_TRUE(start);
    // The kernel granted more than its default (about 200 KiB) and no more than was asked.
    EXPECT_GT(start->receiveBuffer, 256 * 1024);
    EXPECT_LE(start->receiveBuffer, 2 * UDPserver::kReceiveBufferWanted);

    const qint64 pid = copy->process()->processId();
    const qint64 rssBefore = procKiB(pid, "VmRSS:");
    ASSERT_GT(rssBefore, 0);

    // The main thread is busy while one chatty peer sends twice what the kernel holds, and the
    // office of 1,000 announces behind it: many of them find no room.
    copy->send(QStringLiteral("hold 8000"));
    ASSERT_TRUE(copy->waitForEvent(QStringLiteral("holding"), 10000)) << qPrintable(copy->diagnostics());
    const int filler = 2 * start->receiveBuffer / kDatagramBytes;
    ASSERT_TRUE(announce(1000000, 1, filler));
    ASSERT_TRUE(announce(0, 1000));
    // Read from the kernel meanwhile: no more than the datagrams in flight to the main thread.
    const qint64 rssHeld = procKiB(pid, "VmRSS:");
    ASSERT_TRUE(copy->waitForEvent([](const QJsonObject &e) { return e.value("command") == "hold"; }, 30000))
        << "the copy was held longer than the burst took: " << qPrintable(copy->diagnostics());
    // 20 MiB were offered; the socket holds at most 2 MiB in flight, the rest of the growth is
    // the allocator's and the runtime's.
    EXPECT_LT(rssHeld - rssBefore, 6 * 1024) << "resident set grew from " << rssBefore << " to " << rssHeld
                                              << " KiB while the main thread was held";

    const std::optional<Stats> firstPass = settled(QStringLiteral("P000"));
    ASSERT_TRUE(firstPass);
    EXPECT_LT(firstPass->known, 1000) << "the burst fitted the kernel's buffer: nothing tested the resends";

    // The peers announce again, as their refresh would; each round reaches a copy that is not
    // held any more, so the office is complete after a round or two.
    int rounds = 0;
    std::optional<Stats> now = firstPass;
    while (now && now->known < 1000 && rounds < 6) {
        ASSERT_TRUE(announce(0, 1000));
        ++rounds;
        now = settled(QStringLiteral("P000"));
    }
    ASSERT_TRUE(now);
    EXPECT_EQ(now->known, 1000) << "after " << rounds << " rounds; " << firstPass->known << " after the burst";
    EXPECT_LE(rounds, 3);
}

TEST_F(E2ePresenceBurstTest, MoreNewIdsThanTheBurstMakeUsersOnlyAtTheRosterRate) {
    SKIP_WITHOUT_LAB();
    ASSERT_TRUE(startCopy()) << qPrintable(lab->error());
    const int burst = int(UserList::UnknownUserBurst);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(announce(0, burst + 500));
    const std::optional<Stats> after = settled(QStringLiteral("P"));
    const double seconds = double(clock.elapsed()) / 1000.0;
    ASSERT_TRUE(after);
    // Every datagram was taken in (none lost to a full buffer) and the burst was admitted whole.
    EXPECT_GE(after->received, burst + 500);
    EXPECT_GE(after->known, burst);
    EXPECT_LE(after->known, burst + int(UserList::UnknownUsersPerSecond * seconds) + 1)
        << "in " << seconds << " s";
}

} // namespace
