#include "platform/dispatch/IoRuntime.h"

#include <asio/post.hpp>

#include <algorithm>

namespace dispatch {

namespace {
thread_local bool tIoThread = false;
thread_local bool tRetire = false;
// How long a spare io thread waits to be called back before it ends.
constexpr auto kParkTime = std::chrono::seconds(2);
} // namespace

IoRuntime &IoRuntime::shared() {
    static IoRuntime runtime;
    return runtime;
}

IoRuntime::IoRuntime() : work_(asio::make_work_guard(io_)), blocking_(2) { startThread(); }

IoRuntime::~IoRuntime() {
    work_.reset();
    io_.stop();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(threadsMutex_);
        stopping_ = true;
        threads.swap(threads_);
    }
    parkedCv_.notify_all();
    for (auto &t : threads)
        if (t.joinable()) t.join();
    blocking_.stop();
    blocking_.join();
}

bool IoRuntime::onIoThread() { return tIoThread; }

void IoRuntime::startThread() {
    running_.fetch_add(1);
    std::lock_guard lock(threadsMutex_);
    if (stopping_) return;
    if (parked_ > callBacks_) {
        ++callBacks_;
        parkedCv_.notify_one();
        return;
    }
    // Threads that ended earlier are joined here, so their handles do not pile up.
    for (const std::thread::id id : finished_) {
        const auto it = std::find_if(threads_.begin(), threads_.end(),
                                     [id](const std::thread &t) { return t.get_id() == id; });
        if (it != threads_.end()) {
            it->join();
            threads_.erase(it);
        }
    }
    finished_.clear();
    threads_.emplace_back([this] { threadMain(); });
}

void IoRuntime::threadMain() {
    tIoThread = true;
    for (;;) {
        while (!io_.stopped() && !tRetire) io_.run_one();
        if (io_.stopped()) return;
        tRetire = false;
        // Spare: wait outside the io_context (where nothing wakes it) to be called back.
        std::unique_lock lock(threadsMutex_);
        ++parked_;
        const bool called =
            parkedCv_.wait_for(lock, kParkTime, [this] { return callBacks_ > 0 || stopping_; });
        --parked_;
        if (stopping_) return;
        if (!called) {
            finished_.push_back(std::this_thread::get_id());
            return;
        }
        --callBacks_; // running_ was counted by the caller
    }
}

void IoRuntime::retireOne() {
    // Run as a handler: the thread that runs it leaves when more than one can run handlers.
    int running = running_.load();
    while (running > 1) {
        if (running_.compare_exchange_weak(running, running - 1)) {
            tRetire = true;
            return;
        }
    }
}

IoRuntime::WaitScope::WaitScope() {
    if (!tIoThread) return;
    counted_ = true;
    IoRuntime &runtime = shared();
    if (runtime.running_.fetch_sub(1) == 1) runtime.startThread();
}

IoRuntime::WaitScope::~WaitScope() {
    if (!counted_) return;
    IoRuntime &runtime = shared();
    if (runtime.running_.fetch_add(1) >= 1) asio::post(runtime.io_, [&runtime] { runtime.retireOne(); });
}

void runBlocking(std::function<void()> work) {
    asio::post(IoRuntime::shared().blockingPool(), std::move(work));
}

} // namespace dispatch
