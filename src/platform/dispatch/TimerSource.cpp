#include "platform/dispatch/TimerSource.h"

#include "platform/dispatch/IoRuntime.h"

#include <asio/steady_timer.hpp>

#include <mutex>
#include <vector>

namespace dispatch {

namespace {
// Longer than about 30 years (or not a number) is never: the conversion of such a count to the
// clock's ticks would overflow.
constexpr double kNeverSeconds = 1e9;

TimerSource::Clock::duration seconds(double s) {
    return std::chrono::duration_cast<TimerSource::Clock::duration>(
        std::chrono::duration<double>(s < 0 ? 0 : s));
}
} // namespace

// The one wait in the reactor for every timer of the process, and the list of times due. Made
// once and never destroyed: an io thread may run its handler while the process ends.
struct TimerWheel {
    using Clock = TimerSource::Clock;
    std::mutex mutex;
    std::multimap<Clock::time_point, std::weak_ptr<TimerSource>> due;
    asio::steady_timer timer{IoRuntime::shared().io()};
    bool armed = false;
    Clock::time_point armedAt{};
    uint64_t arms = 0;

    static TimerWheel &shared() {
        static TimerWheel *wheel = new TimerWheel;
        return *wheel;
    }

    // Lock held. Lists the timer at `at`, in place of where it was.
    void list(TimerSource &t, Clock::time_point at) {
        unlist(t);
        t.entry_ = due.emplace(at, t.weak_from_this());
        t.listed_ = true;
        // The wait comes first; one that ends no later serves this time as well.
        if (!armed || at < armedAt) arm(at);
    }
    // Lock held.
    void unlist(TimerSource &t) {
        if (!t.listed_) return;
        due.erase(t.entry_);
        t.listed_ = false;
    }
    // Lock held. expires_at() cancels a wait for a later time; its aborted completion does nothing.
    void arm(Clock::time_point at) {
        armed = true;
        armedAt = at;
        const uint64_t number = ++arms;
        timer.expires_at(at);
        timer.async_wait([this, number](const std::error_code &error) {
            if (!error) ranOut(number);
        });
    }
    void ranOut(uint64_t number) {
        std::vector<std::shared_ptr<TimerSource>> ready;
        {
            std::lock_guard lock(mutex);
            if (number == arms) armed = false;
            const Clock::time_point now = Clock::now();
            auto it = due.begin();
            while (it != due.end() && it->first <= now) {
                if (auto t = it->second.lock()) {
                    t->listed_ = false;
                    ready.push_back(std::move(t));
                    it = due.erase(it);
                } else {
                    ++it; // being destroyed: its destructor takes it out of the list
                }
            }
            if (!armed && it != due.end()) arm(it->first);
        }
        // Handled on this thread when the queue is free: no hand-off to another.
        for (auto &t : ready) t->queue_->asyncOrRun([t] { t->expired(); });
    }
};

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<Queue> queue) {
    return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue)));
}

TimerSource::TimerSource(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {}

TimerSource::~TimerSource() {
    TimerWheel &wheel = TimerWheel::shared();
    std::lock_guard lock(wheel.mutex);
    wheel.unlist(*this);
}

uint64_t TimerSource::reactorWaits() {
    TimerWheel &wheel = TimerWheel::shared();
    std::lock_guard lock(wheel.mutex);
    return wheel.arms;
}

void TimerSource::onQueue(std::function<void(TimerSource &)> fn) {
    if (queue_->isCurrent()) {
        fn(*this);
        return;
    }
    queue_->async([self = shared_from_this(), fn = std::move(fn)] { fn(*self); });
}

void TimerSource::setEventHandler(Handler handler) {
    onQueue([handler = std::move(handler)](TimerSource &t) mutable { t.event_ = std::move(handler); });
}

void TimerSource::setCancelHandler(Handler handler) {
    onQueue(
        [handler = std::move(handler)](TimerSource &t) mutable { t.cancelHandler_ = std::move(handler); });
}

void TimerSource::schedule(double delay, double interval) {
    // Measured from the call, not from when the queue gets to it.
    const Clock::time_point due =
        !(delay < kNeverSeconds) ? Clock::time_point::max() : Clock::now() + seconds(delay);
    const Clock::duration every = interval < kNeverSeconds ? seconds(interval) : Clock::duration::zero();
    onQueue([due, every](TimerSource &t) { t.setDue(due, every); });
}

void TimerSource::scheduleAt(Clock::time_point due) {
    onQueue([due](TimerSource &t) { t.setDue(due, Clock::duration::zero()); });
}

void TimerSource::setDue(Clock::time_point due, Clock::duration interval) {
    if (cancelled_) return;
    due_ = due;
    interval_ = interval;
    scheduled_ = due != Clock::time_point::max();
    pendingFire_ = false;
    armOnQueue();
}

void TimerSource::resume() {
    onQueue([](TimerSource &t) {
        if (t.cancelled_ || t.suspendCount_ == 0) return;
        if (--t.suspendCount_ > 0) return;
        if (t.pendingFire_) {
            t.pendingFire_ = false;
            t.fire();
        } else {
            t.armOnQueue();
        }
    });
}

void TimerSource::suspend() {
    onQueue([](TimerSource &t) {
        if (!t.cancelled_) ++t.suspendCount_;
    });
}

void TimerSource::cancel() {
    onQueue([](TimerSource &t) {
        if (t.cancelled_) return;
        t.cancelled_ = true;
        t.scheduled_ = false;
        t.pendingFire_ = false;
        t.event_ = nullptr;
        t.armOnQueue(); // leaves the shared list
        if (auto handler = std::move(t.cancelHandler_)) {
            t.cancelHandler_ = nullptr;
            handler();
        }
    });
}

void TimerSource::armOnQueue() {
    TimerWheel &wheel = TimerWheel::shared();
    std::lock_guard lock(wheel.mutex);
    if (!scheduled_ || cancelled_ || suspendCount_ > 0)
        wheel.unlist(*this);
    else if (!listed_ || entry_->first != due_)
        wheel.list(*this, due_);
}

void TimerSource::expired() {
    if (cancelled_ || !scheduled_) return;
    if (Clock::now() < due_) {
        armOnQueue(); // moved later meanwhile
        return;
    }
    if (suspendCount_ > 0) {
        pendingFire_ = true;
        return;
    }
    fire();
}

void TimerSource::fire() {
    if (cancelled_ || !scheduled_) return;
    if (interval_.count() > 0) {
        due_ += interval_;
        armOnQueue();
    } else {
        scheduled_ = false;
    }
    if (event_) {
        auto handler = event_;
        handler();
    }
}

} // namespace dispatch
