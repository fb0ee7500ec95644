#pragma once

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace dispatch {

// The process-wide io_context behind every socket queue, and a separate small pool for blocking
// work (name lookup) so that it never holds an io thread.
//
// One io thread runs the io_context: with a single runner no event ever wakes a second thread
// to take over the reactor, and a block handed from one queue to another runs on the same
// thread. The runtime grows only when an io thread has to wait (a sync() onto a queue that runs
// elsewhere, or onto the main queue): if it was the last io thread able to run handlers,
// another starts first, so waiting io threads can never stall the queues they wait for. Spare
// threads leave again once the wait is over.
//
// A spare thread waits outside the io_context for a while before it ends, so that a burst of
// waits does not start a thread for each. Blocks on io queues share the one thread: work that
// blocks or takes long (file I/O, bulk encryption) belongs on runBlocking().
class IoRuntime {
public:
    static IoRuntime &shared();

    asio::io_context &io() { return io_; }
    asio::thread_pool &blockingPool() { return blocking_; }

    // True on one of the io threads (blocking there would stall every socket queue).
    static bool onIoThread();
    // Io threads able to run handlers now (not waiting); for tests.
    int runningThreads() const { return running_.load(); }

    // Marks a wait of the calling io thread outside the runtime for its lifetime; does nothing
    // on other threads.
    class WaitScope {
    public:
        WaitScope();
        ~WaitScope();
        WaitScope(const WaitScope &) = delete;
        WaitScope &operator=(const WaitScope &) = delete;

    private:
        bool counted_ = false;
    };

    ~IoRuntime();
    IoRuntime(const IoRuntime &) = delete;
    IoRuntime &operator=(const IoRuntime &) = delete;

private:
    IoRuntime();
    void startThread();
    void threadMain();
    void retireOne();

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::thread_pool blocking_;
    std::atomic<int> running_{0};
    std::mutex threadsMutex_;
    std::condition_variable parkedCv_;
    int parked_ = 0;    // spare threads waiting to be called back
    int callBacks_ = 0; // calls for them not taken yet
    bool stopping_ = false;
    std::vector<std::thread> threads_;
    std::vector<std::thread::id> finished_;
};

// Runs blocking work off the socket queues; completion is the caller's business.
void runBlocking(std::function<void()> work);

} // namespace dispatch
