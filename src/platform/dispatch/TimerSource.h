#pragma once

#include "platform/dispatch/Queue.h"

#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace dispatch {

// A timer whose handler runs on its queue. Only the latest schedule counts: an expiry on its way
// for an earlier one never fires the handler. Starts suspended, like the readiness source;
// cancel() is final.
//
// The reactor holds at most one wait per timer, and it is left to run out rather than cancelled
// when the timer is moved later, disarmed or cancelled: it then arms again for what is due by
// then, or ends. Cancelling a wait would post its aborted completion and wake an io thread, so
// a deadline that is set and cleared for every request (and almost never expires) costs no
// wake-up. Only a schedule for an earlier time replaces the wait. A wait left behind keeps this
// object (not its handler) alive until it runs out.
class TimerSource : public std::enable_shared_from_this<TimerSource> {
public:
    using Handler = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    static std::shared_ptr<TimerSource> create(std::shared_ptr<Queue> queue);

    void setEventHandler(Handler handler);
    void setCancelHandler(Handler handler);
    // First expiry after `delay` seconds, then every `interval` seconds (0: once). A delay of
    // infinity (or beyond about 30 years) disarms the timer until the next schedule.
    void schedule(double delay, double interval = 0);
    // One expiry at `due` (Clock::time_point::max(): disarmed).
    void scheduleAt(Clock::time_point due);
    void resume();
    void suspend();
    void cancel();

    // Waits this timer has put into the reactor so far; for tests.
    uint64_t waitsArmed() const { return waits_; }

    ~TimerSource();
    TimerSource(const TimerSource &) = delete;
    TimerSource &operator=(const TimerSource &) = delete;

private:
    explicit TimerSource(std::shared_ptr<Queue> queue);
    void onQueue(std::function<void(TimerSource &)> fn);
    void setDue(Clock::time_point due, Clock::duration interval);
    void armOnQueue();
    void expired(uint64_t wait);
    void fire();

    const std::shared_ptr<Queue> queue_;
    asio::steady_timer timer_;
    Handler event_;
    Handler cancelHandler_;
    Clock::time_point due_{};
    Clock::duration interval_{};
    bool scheduled_ = false;
    bool pendingFire_ = false; // expired while suspended
    int suspendCount_ = 1;
    bool cancelled_ = false;
    // The wait in the reactor, if any: its number and the time it ends.
    bool armed_ = false;
    Clock::time_point armedAt_{};
    std::atomic<uint64_t> waits_{0};
};

} // namespace dispatch
