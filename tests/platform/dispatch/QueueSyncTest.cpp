// sync() from io threads: onto a queue another thread keeps busy, and with every io thread
// waiting in sync() at once. Neither may hang; each wait here is bounded.
#include "platform/dispatch/Queue.h"

#include "support/EventLoopWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace dispatch;

namespace {

// Polls without running the Qt main loop (the main queue stays unserved meanwhile).
bool waitWithoutMainLoop(const std::function<bool()> &condition, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace

TEST(DispatchQueueSync, FromAnIoQueueOntoAQueueThatIsBusyElsewhereNeverHangs) {
    // The target keeps going idle and busy again, so that a sync() often finds it busy and then
    // finished before its block is handed over.
    constexpr int kCallers = 2;
    constexpr int kSyncsEach = 20000;
    auto target = Queue::create("sync-target");
    std::vector<std::shared_ptr<Queue>> callers;
    std::atomic<int> done{0};
    std::atomic<bool> stop{false};
    // Threads outside the runtime hold the target now and then (a sync() takes an idle queue),
    // so the callers' syncs also meet it running elsewhere and have to wait.
    std::vector<std::thread> feeders;
    for (int f = 0; f < 2; ++f)
        feeders.emplace_back([&] {
            for (int i = 0; !stop.load(); ++i) {
                if (i % 2)
                    target->async([] {});
                else
                    target->sync([] { std::this_thread::sleep_for(std::chrono::microseconds(20)); });
            }
        });
    for (int c = 0; c < kCallers; ++c) {
        callers.push_back(Queue::create("sync-caller"));
        callers.back()->async([&] {
            for (int i = 0; i < kSyncsEach; ++i) {
                target->sync([] {});
                ++done;
            }
        });
    }
    const bool finished =
        waitWithoutMainLoop([&] { return done.load() == kCallers * kSyncsEach; }, std::chrono::seconds(30));
    stop = true;
    for (auto &t : feeders) t.join();
    EXPECT_TRUE(finished) << "only " << done.load() << " of " << kCallers * kSyncsEach << " syncs came back";
}

TEST(DispatchQueueSync, IoThreadsAllWaitingInSyncLeaveTheRestRunning) {
    // Many io queues wait in sync() for the main queue, which runs only when this thread turns
    // its loop; meanwhile another io queue's block must still run.
    constexpr int kWaiters = 16;
    std::vector<std::shared_ptr<Queue>> waiters;
    std::atomic<int> synced{0};
    for (int i = 0; i < kWaiters; ++i) {
        waiters.push_back(Queue::create("waiter"));
        waiters.back()->async([&] { Queue::main()->sync([&] { ++synced; }); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto other = Queue::create("other");
    std::atomic<bool> ran{false};
    other->async([&] { ran = true; });
    EXPECT_TRUE(waitWithoutMainLoop([&] { return ran.load(); }, std::chrono::seconds(5)))
        << "an io queue starved while io threads waited in sync()";
    EXPECT_TRUE(waitUntil([&] { return synced.load() == kWaiters; }, 10000));
}
