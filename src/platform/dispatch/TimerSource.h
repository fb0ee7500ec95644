#pragma once

#include "platform/dispatch/Queue.h"

#include <asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace dispatch {

// A timer whose handler runs on its queue. Every schedule() or cancel() starts a new
// generation, so an expiry already on its way for an earlier schedule never fires the handler.
// Starts suspended, like the readiness source; cancel() is final.
class TimerSource : public std::enable_shared_from_this<TimerSource> {
public:
    using Handler = std::function<void()>;

    static std::shared_ptr<TimerSource> create(std::shared_ptr<Queue> queue);

    void setEventHandler(Handler handler);
    void setCancelHandler(Handler handler);
    // First expiry after `delay` seconds, then every `interval` seconds (0: once).
    void schedule(double delay, double interval = 0);
    void resume();
    void suspend();
    void cancel();

    ~TimerSource();
    TimerSource(const TimerSource &) = delete;
    TimerSource &operator=(const TimerSource &) = delete;

private:
    explicit TimerSource(std::shared_ptr<Queue> queue);
    void onQueue(std::function<void(TimerSource &)> fn);
    void armOnQueue();
    void fired(uint64_t generation);

    const std::shared_ptr<Queue> queue_;
    asio::steady_timer timer_;
    Handler event_;
    Handler cancelHandler_;
    std::chrono::steady_clock::time_point due_{};
    std::chrono::steady_clock::duration interval_{};
    bool scheduled_ = false;
    bool pendingFire_ = false; // expired while suspended
    int suspendCount_ = 1;
    bool cancelled_ = false;
    uint64_t generation_ = 0;
};

} // namespace dispatch
