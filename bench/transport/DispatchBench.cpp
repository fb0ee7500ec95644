// The dispatch layer's hand-offs, each against plain threads doing the same in the same run:
// - hop: a block on one queue that schedules the next on another queue, and so on (a socket
//   queue handing a callback to its delegate queue); baseline: two threads passing a token
//   through a mutex and condition variable;
// - post: a block posted from an outside thread to an idle queue, until it runs (the wake-up
//   of an idle io thread); baseline: a condition variable waking an idle thread.
// Every pass runs both sides one after the other, so each ratio compares like with like on a
// machine whose load changes; the table at the end gives the medians over the passes (PASSES,
// default 5) of the dispatch time, the baseline's and their ratio (1.0: as fast).
#include "BenchSummary.h"
#include "platform/dispatch/Queue.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kHops = 1000; // hand-offs per iteration

struct Relay {
    std::shared_ptr<dispatch::Queue> queues[2];
    std::atomic<bool> done{false};
    void hop(int left) {
        if (left == 0) {
            done.store(true, std::memory_order_release);
            return;
        }
        queues[left & 1]->async([this, left] { hop(left - 1); });
    }
};

void hopQueues(benchmark::State &state) {
    Relay relay;
    relay.queues[0] = dispatch::Queue::create("bench-a");
    relay.queues[1] = dispatch::Queue::create("bench-b");
    for (auto _ : state) {
        relay.done = false;
        relay.hop(kHops);
        while (!relay.done.load(std::memory_order_acquire)) {
        }
    }
    state.SetItemsProcessed(state.iterations() * kHops);
}

void hopThreads(benchmark::State &state) {
    std::mutex mutex;
    std::condition_variable cv;
    int turn = 0, left = 0;
    bool stop = false;
    auto player = [&](int me) {
        std::unique_lock lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return stop || (left > 0 && turn == me); });
            if (stop) return;
            --left;
            turn = 1 - me;
            cv.notify_all();
        }
    };
    std::thread a(player, 0), b(player, 1);
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        left = kHops;
        cv.notify_all();
        cv.wait(lock, [&] { return left == 0; });
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    cv.notify_all();
    a.join();
    b.join();
    state.SetItemsProcessed(state.iterations() * kHops);
}

// Both sides let their thread go idle first (as between the events of a quiet socket) and
// time from the hand-off to the moment the block runs.
constexpr auto kIdle = std::chrono::microseconds(200);
using Clock = std::chrono::steady_clock;

void postQueue(benchmark::State &state) {
    auto queue = dispatch::Queue::create("bench-post");
    for (auto _ : state) {
        std::this_thread::sleep_for(kIdle);
        std::atomic<bool> ran{false};
        Clock::time_point at;
        const auto start = Clock::now();
        queue->async([&] {
            at = Clock::now();
            ran.store(true, std::memory_order_release);
        });
        while (!ran.load(std::memory_order_acquire)) {
        }
        state.SetIterationTime(std::chrono::duration<double>(at - start).count());
    }
}

void postThread(benchmark::State &state) {
    std::mutex mutex;
    std::condition_variable cv;
    bool go = false, stop = false;
    std::atomic<bool> ran{false};
    Clock::time_point at;
    std::thread worker([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return go || stop; });
            if (stop) return;
            go = false;
            at = Clock::now();
            ran.store(true, std::memory_order_release);
        }
    });
    for (auto _ : state) {
        std::this_thread::sleep_for(kIdle);
        ran = false;
        const auto start = Clock::now();
        {
            std::lock_guard lock(mutex);
            go = true;
        }
        cv.notify_one();
        while (!ran.load(std::memory_order_acquire)) {
        }
        state.SetIterationTime(std::chrono::duration<double>(at - start).count());
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    cv.notify_one();
    worker.join();
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times_[run.run_name.function_name] = run.GetAdjustedRealTime(); // ns
    }
    // The time of the pass that just ended; 0 when the benchmark did not run.
    double take(const std::string &name) {
        const auto it = times_.find(name);
        const double t = it == times_.end() ? 0 : it->second;
        times_.erase(name);
        return t;
    }

private:
    std::map<std::string, double> times_;
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    benchmark::RegisterBenchmark("hop/queues", hopQueues)->UseRealTime();
    benchmark::RegisterBenchmark("hop/threads", hopThreads)->UseRealTime();
    benchmark::RegisterBenchmark("post/queue", postQueue)->UseManualTime();
    benchmark::RegisterBenchmark("post/thread", postThread)->UseManualTime();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    const char *env = std::getenv("PASSES");
    const int passes = std::max(1, env ? std::atoi(env) : 5);
    struct Series {
        std::vector<double> ours, base, ratio;
    };
    std::map<std::string, Series> series;
    for (int pass = 0; pass < passes; ++pass) {
        benchmark::RunSpecifiedBenchmarks(&reporter);
        for (const char *kind : {"hop", "post"}) {
            const bool perHop = std::string(kind) == "hop";
            const double ours = reporter.take(std::string(kind) + (perHop ? "/queues" : "/queue"));
            const double base = reporter.take(std::string(kind) + (perHop ? "/threads" : "/thread"));
            if (ours <= 0 || base <= 0) continue;
            const double scale = perHop ? 1.0 / kHops : 1.0;
            Series &s = series[kind];
            s.ours.push_back(ours * scale);
            s.base.push_back(base * scale);
            s.ratio.push_back(ours / base);
        }
    }
    benchmark::Shutdown();
    std::printf("\nmedians of %d passes\n%-6s %14s %14s %8s\n", passes, "", "dispatch ns", "threads ns", "ratio");
    for (const auto &[kind, s] : series) {
        std::printf("%-6s %14.0f %14.0f %8.2f\n", kind.c_str(), median(s.ours), median(s.base), median(s.ratio));
        benchSummary("dispatch " + kind + (kind == "hop" ? " (queue to queue)" : " (to an idle queue)"),
                     median(s.ours) / 1e3, median(s.base) / 1e3, "us", median(s.ratio));
    }
    return 0;
}
