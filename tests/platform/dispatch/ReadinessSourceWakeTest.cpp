// Readiness that arrives just as a watch is armed again must still be reported: a peer that
// answers each event at once writes into the moment between the readiness check and the
// reactor's wait, and a watch that misses it waits forever. Several pairs run at once so that
// the reactor is busy reporting the others' changes in that moment.
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/ReadinessSource.h"

#include "support/EventLoopWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace dispatch;

namespace {

struct PingPair {
    int fds[2] = {-1, -1};
    std::shared_ptr<ReadinessSource> source;
    std::atomic<int> received{0};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> stalled{false};
};

} // namespace

TEST(DispatchReadinessSource, NoEventIsLostWhenDataArrivesAsTheWatchRearms) {
    constexpr int kPairs = 4;
    constexpr int kRounds = 10000;
    std::vector<std::unique_ptr<PingPair>> pairs;
    for (int p = 0; p < kPairs; ++p) {
        auto pair = std::make_unique<PingPair>();
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair->fds), 0);
        ::fcntl(pair->fds[0], F_SETFL, O_NONBLOCK);
        PingPair *raw = pair.get();
        raw->source = ReadinessSource::create(raw->fds[0], Queue::create("rearm"));
        raw->source->setEventHandler(ReadinessSource::Kind::Read, [raw] {
            char buf[64];
            const ssize_t n = ::read(raw->fds[0], buf, sizeof buf);
            if (n > 0) raw->received += int(n);
        });
        raw->source->setCancelHandler([raw] { raw->cancelled = true; });
        raw->source->resume(ReadinessSource::Kind::Read);
        pairs.push_back(std::move(pair));
    }
    std::vector<std::thread> peers;
    for (auto &pair : pairs) {
        peers.emplace_back([raw = pair.get()] {
            for (int i = 0; i < kRounds; ++i) {
                // One byte, then the next as soon as the handler has taken it.
                if (::write(raw->fds[1], "x", 1) != 1) return;
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (raw->received.load() <= i) {
                    if (std::chrono::steady_clock::now() > deadline) {
                        raw->stalled = true;
                        return;
                    }
                }
            }
        });
    }
    for (auto &t : peers) t.join();
    for (auto &pair : pairs) {
        EXPECT_FALSE(pair->stalled.load()) << "a byte waited unreported after " << pair->received.load();
        pair->source->cancel();
        ASSERT_TRUE(waitUntil([&] { return pair->cancelled.load(); }));
        ::close(pair->fds[0]);
        ::close(pair->fds[1]);
    }
}
