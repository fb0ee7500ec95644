#include "platform/dispatch/IoRuntime.h"

#include <asio/post.hpp>

#include <algorithm>

namespace dispatch {

namespace {
thread_local bool tIoThread = false;
}

IoRuntime &IoRuntime::shared() {
    static IoRuntime runtime;
    return runtime;
}

IoRuntime::IoRuntime() : work_(asio::make_work_guard(io_)), blocking_(2) {
    const unsigned n = std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
    for (unsigned i = 0; i < n; ++i) {
        threads_.emplace_back([this] {
            tIoThread = true;
            io_.run();
        });
    }
}

IoRuntime::~IoRuntime() {
    work_.reset();
    io_.stop();
    for (auto &t : threads_) {
        if (t.joinable()) t.join();
    }
    blocking_.stop();
    blocking_.join();
}

bool IoRuntime::onIoThread() { return tIoThread; }

void runBlocking(std::function<void()> work) {
    asio::post(IoRuntime::shared().blockingPool(), std::move(work));
}

} // namespace dispatch
