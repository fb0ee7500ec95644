#pragma once

#include "platform/dispatch/Queue.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace dispatch {

// A timer whose handler runs on its queue. Only the latest schedule counts: an expiry on its way
// for an earlier one never fires the handler. Starts suspended, like the readiness source;
// cancel() is final.
//
// All timers share one wait in the reactor, set for the earliest time due among them. Moving a
// timer later, disarming or cancelling it only updates that shared list: no wait is cancelled
// (which would post an aborted completion and wake an io thread) and none is left behind. A
// deadline set and cleared for every request of a connection, which almost never expires,
// costs no wake-up; the shared wait wakes an io thread only when its time comes, then takes up
// the next earliest time.
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

    // Waits the timers of the process have put into the reactor so far; for tests.
    static uint64_t reactorWaits();

    ~TimerSource();
    TimerSource(const TimerSource &) = delete;
    TimerSource &operator=(const TimerSource &) = delete;

private:
    explicit TimerSource(std::shared_ptr<Queue> queue);
    void onQueue(std::function<void(TimerSource &)> fn);
    void setDue(Clock::time_point due, Clock::duration interval);
    void armOnQueue();
    void expired();
    void fire();

    friend struct TimerWheel;

    const std::shared_ptr<Queue> queue_;
    Handler event_;
    Handler cancelHandler_;
    Clock::time_point due_{};
    Clock::duration interval_{};
    bool scheduled_ = false;
    bool pendingFire_ = false; // expired while suspended
    int suspendCount_ = 1;
    bool cancelled_ = false;
    // The place in the shared list (guarded by the list's lock).
    std::multimap<Clock::time_point, std::weak_ptr<TimerSource>>::iterator entry_;
    bool listed_ = false;
};

} // namespace dispatch
