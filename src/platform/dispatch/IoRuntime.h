#pragma once

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include <memory>
#include <thread>
#include <vector>

namespace dispatch {

// The process-wide io_context behind every socket queue, run by a few threads, and a separate
// small pool for blocking work (name lookup) so that it never holds an io thread.
class IoRuntime {
public:
    static IoRuntime &shared();

    asio::io_context &io() { return io_; }
    asio::thread_pool &blockingPool() { return blocking_; }

    // True on one of the io threads (blocking there would stall every socket queue).
    static bool onIoThread();

    ~IoRuntime();
    IoRuntime(const IoRuntime &) = delete;
    IoRuntime &operator=(const IoRuntime &) = delete;

private:
    IoRuntime();

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::thread_pool blocking_;
    std::vector<std::thread> threads_;
};

// Runs blocking work off the socket queues; completion is the caller's business.
void runBlocking(std::function<void()> work);

} // namespace dispatch
