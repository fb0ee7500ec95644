#include "platform/dispatch/TimerSource.h"

#include "platform/dispatch/IoRuntime.h"

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

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<Queue> queue) {
    return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue)));
}

TimerSource::TimerSource(std::shared_ptr<Queue> queue)
    : queue_(std::move(queue)), timer_(IoRuntime::shared().io()) {}

TimerSource::~TimerSource() = default;

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
        // A wait in the reactor runs out on its own and finds nothing to do.
        t.event_ = nullptr;
        if (auto handler = std::move(t.cancelHandler_)) {
            t.cancelHandler_ = nullptr;
            handler();
        }
    });
}

void TimerSource::armOnQueue() {
    if (!scheduled_ || cancelled_ || suspendCount_ > 0) return;
    // A wait that ends no later than the time due arms again for it when it runs out.
    if (armed_ && armedAt_ <= due_) return;
    armed_ = true;
    armedAt_ = due_;
    const uint64_t wait = ++waits_;
    // expires_at() cancels a wait for a later time; its aborted completion does nothing.
    timer_.expires_at(due_);
    auto self = shared_from_this();
    timer_.async_wait([self, wait](const std::error_code &error) {
        if (error) return;
        // Handled on this thread when the queue is free: no hand-off to another.
        self->queue_->asyncOrRun([self, wait] { self->expired(wait); });
    });
}

void TimerSource::expired(uint64_t wait) {
    if (wait != waits_) return; // replaced by a wait for an earlier time
    armed_ = false;
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
