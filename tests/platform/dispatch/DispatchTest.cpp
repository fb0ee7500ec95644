#include "platform/dispatch/DescriptorLimit.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/ReadinessSource.h"
#include "platform/dispatch/TimerSource.h"

#include "support/EventLoopWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace dispatch;

TEST(DispatchQueue, RunsBlocksSeriallyInOrder) {
    auto q = Queue::create("order");
    std::vector<int> seen;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    for (int i = 0; i < 2000; ++i) {
        q->async([&, i] {
            if (inside.fetch_add(1) != 0) overlap = true;
            seen.push_back(i);
            inside.fetch_sub(1);
        });
    }
    q->sync([] {});
    ASSERT_EQ(seen.size(), 2000u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(seen[i], i);
    EXPECT_FALSE(overlap);
}

TEST(DispatchQueue, SyncIsInlineOnTheQueueAndSeesEarlierAsyncs) {
    auto q = Queue::create("sync");
    int value = 0;
    q->async([&] { value = 1; });
    bool nestedInline = false;
    q->sync([&] {
        EXPECT_EQ(value, 1);
        EXPECT_TRUE(q->isCurrent());
        q->sync([&] { nestedInline = true; }); // would deadlock if not inline
    });
    EXPECT_TRUE(nestedInline);
    EXPECT_FALSE(q->isCurrent());
}

TEST(DispatchQueue, SyncFromManyThreadsNeverOverlaps) {
    auto q = Queue::create("contended");
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                q->sync([&] { ++counter; });
                q->async([&] { ++counter; });
            }
        });
    }
    for (auto &t : threads) t.join();
    q->sync([] {});
    EXPECT_EQ(counter, 8000);
}

TEST(DispatchQueue, MainQueueRunsOnTheQtThread) {
    std::atomic<bool> ran{false};
    bool onMain = false;
    auto q = Queue::create("worker");
    q->async([&] {
        Queue::main()->async([&] {
            onMain = QThread::currentThread() == QCoreApplication::instance()->thread() &&
                     Queue::main()->isCurrent();
            ran = true;
        });
    });
    ASSERT_TRUE(waitUntil([&] { return ran.load(); }));
    EXPECT_TRUE(onMain);
    EXPECT_TRUE(Queue::main()->isCurrent()); // plain main-thread code counts as the main queue
}

TEST(DispatchQueue, MainPosterLetsATestDrainTheMainQueue) {
    std::vector<Queue::Block> posted;
    std::mutex m;
    Queue::setMainPoster([&](Queue::Block b) {
        std::lock_guard lock(m);
        posted.push_back(std::move(b));
    });
    int ran = 0;
    Queue::main()->async([&] { ++ran; });
    Queue::main()->async([&] { ++ran; });
    EXPECT_EQ(ran, 0);
    {
        std::lock_guard lock(m);
        ASSERT_EQ(posted.size(), 1u); // one drain step carries both blocks
    }
    posted.front()();
    EXPECT_EQ(ran, 2);
    Queue::setMainPoster(nullptr);
}

TEST(DispatchQueue, AfterRunsOnTheQueueLater) {
    auto q = Queue::create("after");
    std::atomic<bool> ran{false};
    bool onQueue = false;
    const auto start = std::chrono::steady_clock::now();
    q->after(0.05, [&] {
        onQueue = q->isCurrent();
        ran = true;
    });
    ASSERT_TRUE(waitUntil([&] { return ran.load(); }));
    EXPECT_TRUE(onQueue);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
}

TEST(DispatchReadinessSource, FiresWhileReadableAndStopsWhenSuspendedOrCancelled) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    auto q = Queue::create("source");
    auto src = ReadinessSource::create(fds[0], q);
    std::atomic<int> events{0};
    std::atomic<uint64_t> available{0};
    std::atomic<bool> cancelled{false};
    src->setEventHandler(ReadinessSource::Kind::Read, [&] {
        available = src->data();
        char buf[4];
        if (++events == 1)
            (void)::read(fds[0], buf, 2); // leave two bytes: level-triggered, fires again
        else
            (void)::read(fds[0], buf, 4);
    });
    src->setCancelHandler([&] {
        ::close(fds[0]); // the descriptor is closed by its owner, at cancel time
        cancelled = true;
    });
    ASSERT_EQ(::write(fds[1], "abcd", 4), 4);
    spinFor(30);
    EXPECT_EQ(events.load(), 0) << "a new source starts suspended";
    src->resume(ReadinessSource::Kind::Read);
    ASSERT_TRUE(waitUntil([&] { return events.load() == 2; }));
    EXPECT_EQ(available.load(), 2u);
    src->suspend(ReadinessSource::Kind::Read);
    q->sync([] {});
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    spinFor(50);
    EXPECT_EQ(events.load(), 2);
    src->resume(ReadinessSource::Kind::Read);
    ASSERT_TRUE(waitUntil([&] { return events.load() == 3; }));
    src->cancel();
    ASSERT_TRUE(waitUntil([&] { return cancelled.load(); }));
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1) << "closed at once by the cancel handler";
    spinFor(30);
    EXPECT_EQ(events.load(), 3);
    ::close(fds[1]);
}

TEST(DispatchTimerSource, RescheduleDropsTheEarlierExpiry) {
    using Clock = std::chrono::steady_clock;
    // An attempt proves something only when the second schedule was made before the first one's
    // time: a loaded machine may hold this thread up past it, and then the first expiry rightly
    // fires. Such an attempt is left and made again.
    bool conclusive = false;
    for (int attempt = 0; attempt < 20 && !conclusive; ++attempt) {
        auto q = Queue::create("timer");
        auto timer = TimerSource::create(q);
        std::atomic<int> fired{0};
        std::atomic<Clock::rep> firedAt{0};
        timer->setEventHandler([&] {
            firedAt = Clock::now().time_since_epoch().count();
            ++fired;
        });
        const Clock::time_point first = Clock::now();
        timer->schedule(0.02);
        timer->resume();
        const Clock::time_point rescheduled = Clock::now();
        timer->schedule(0.2); // a stale expiry of the first schedule must not fire
        if (Clock::now() - first >= std::chrono::milliseconds(20)) {
            timer->cancel();
            q->sync([] {});
            continue;
        }
        conclusive = true;
        ASSERT_TRUE(waitUntil([&] { return fired.load() == 1; }, 5000));
        // However late the machine let it run, never before the second schedule's time.
        EXPECT_GE(Clock::time_point(Clock::duration(firedAt.load())) - rescheduled,
                  std::chrono::milliseconds(200));
        spinFor(50);
        EXPECT_EQ(fired.load(), 1) << "one-shot";
    }
    ASSERT_TRUE(conclusive) << "the thread was never quick enough to move the timer in time";
}

// Each schedule replaces the one before, whether it is for a later time, an earlier time or
// never (disarmed); a cancel is final.
TEST(DispatchTimerSource, OnlyTheLatestScheduleCounts) {
    constexpr double kNever = std::numeric_limits<double>::infinity();
    struct Case {
        const char *what;
        std::vector<double> delays; // scheduled one after another
        bool cancel;
        bool fires;
    };
    const std::vector<Case> cases = {
        {"disarmed", {0.02, kNever}, false, false},
        {"disarmed, then armed again", {0.02, kNever, 0.05}, false, true},
        {"moved earlier", {30.0, 0.02}, false, true},
        {"moved later, then earlier", {0.02, 30.0, 0.04}, false, true},
        {"cancelled", {0.02}, true, false},
        {"too far off for the clock", {1e300}, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto q = Queue::create("latest");
        auto timer = TimerSource::create(q);
        std::atomic<int> fired{0};
        timer->setEventHandler([&] { ++fired; });
        timer->resume();
        for (double d : c.delays) timer->schedule(d);
        if (c.cancel) timer->cancel();
        if (c.fires) {
            ASSERT_TRUE(waitUntil([&] { return fired.load() == 1; }, 5000));
        }
        spinFor(150);
        EXPECT_EQ(fired.load(), c.fires ? 1 : 0);
        timer->cancel();
    }
}

// A deadline moved later or cleared for every request puts no wait of its own into the reactor
// (none to cancel, whose aborted completion would wake an io thread); it still fires for the
// time due.
TEST(DispatchTimerSource, LaterSchedulesAndDisarmsKeepTheWaitInTheReactor) {
    constexpr double kNever = std::numeric_limits<double>::infinity();
    auto q = Queue::create("rearm");
    auto timer = TimerSource::create(q);
    std::atomic<int> fired{0};
    timer->setEventHandler([&] { ++fired; });
    timer->resume();
    const uint64_t before = TimerSource::reactorWaits();
    q->sync([&] {
        for (int i = 0; i < 1000; ++i) {
            timer->schedule(0.05 + i * 1e-4);
            timer->schedule(kNever);
        }
        timer->schedule(0.1);
    });
    // The shared wait, and once more when it ran out before the time then due (no more than
    // that however slow the machine).
    EXPECT_LE(TimerSource::reactorWaits() - before, 2u);
    ASSERT_TRUE(waitUntil([&] { return fired.load() == 1; }, 5000));
    EXPECT_LE(TimerSource::reactorWaits() - before, 3u);
    timer->cancel();
}

TEST(DispatchTimerSource, RepeatsAndCancels) {
    auto q = Queue::create("repeat");
    auto timer = TimerSource::create(q);
    std::atomic<int> fired{0};
    std::atomic<bool> cancelled{false};
    timer->setEventHandler([&] { ++fired; });
    timer->setCancelHandler([&] { cancelled = true; });
    timer->schedule(0.01, 0.01);
    timer->resume();
    ASSERT_TRUE(waitUntil([&] { return fired.load() >= 3; }));
    timer->cancel();
    ASSERT_TRUE(waitUntil([&] { return cancelled.load(); }));
    const int after = fired.load();
    spinFor(50);
    EXPECT_EQ(fired.load(), after);
}

TEST(DispatchReadinessSource, OneWatchServesReadingAndWritingOfOneDescriptor) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    auto q = Queue::create("both");
    auto src = ReadinessSource::create(fds[0], q);
    std::atomic<int> reads{0}, writes{0};
    src->setEventHandler(ReadinessSource::Kind::Read, [&] {
        char buf[16];
        while (::read(fds[0], buf, sizeof buf) > 0) {
        }
        ++reads;
    });
    src->setEventHandler(ReadinessSource::Kind::Write, [&] {
        ++writes;
        src->suspend(ReadinessSource::Kind::Write); // one report is enough here
    });
    src->resume(ReadinessSource::Kind::Write);
    ASSERT_TRUE(waitUntil([&] { return writes.load() == 1; }));
    src->resume(ReadinessSource::Kind::Read);
    ASSERT_EQ(::write(fds[1], "r", 1), 1);
    ASSERT_TRUE(waitUntil([&] { return reads.load() == 1; }));
    // Each side keeps its own suspension: writing wakes again, reading goes on.
    src->resume(ReadinessSource::Kind::Write);
    ASSERT_TRUE(waitUntil([&] { return writes.load() == 2; }));
    ASSERT_EQ(::write(fds[1], "s", 1), 1);
    ASSERT_TRUE(waitUntil([&] { return reads.load() == 2; }));
    src->cancel();
    q->sync([] {});
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(DispatchDescriptorLimit, SoftLimitIsRaisedToTheHardOne) {
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = std::min<rlim_t>(old.rlim_max, 256);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_TRUE(DescriptorLimit::raiseToHardLimit());
    EXPECT_EQ(DescriptorLimit::soft(), uint64_t(old.rlim_max));
    EXPECT_EQ(DescriptorLimit::soft(), DescriptorLimit::hard());
    ::setrlimit(RLIMIT_NOFILE, &old);
}
