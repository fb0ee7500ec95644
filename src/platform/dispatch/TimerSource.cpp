#include "platform/dispatch/TimerSource.h"

#include "platform/dispatch/IoRuntime.h"

namespace dispatch {

namespace {
std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
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
    const auto due = std::chrono::steady_clock::now() + seconds(delay);
    onQueue([due, interval](TimerSource &t) {
        if (t.cancelled_) return;
        ++t.generation_;
        t.due_ = due;
        t.interval_ = seconds(interval);
        t.scheduled_ = true;
        t.pendingFire_ = false;
        t.timer_.cancel();
        t.armOnQueue();
    });
}

void TimerSource::resume() {
    onQueue([](TimerSource &t) {
        if (t.cancelled_ || t.suspendCount_ == 0) return;
        if (--t.suspendCount_ > 0) return;
        if (t.pendingFire_) {
            t.pendingFire_ = false;
            t.fired(t.generation_);
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
        ++t.generation_;
        t.timer_.cancel();
        t.event_ = nullptr;
        if (auto handler = std::move(t.cancelHandler_)) {
            t.cancelHandler_ = nullptr;
            handler();
        }
    });
}

void TimerSource::armOnQueue() {
    if (!scheduled_ || cancelled_ || suspendCount_ > 0) return;
    const uint64_t generation = generation_;
    timer_.expires_at(due_);
    auto self = shared_from_this();
    timer_.async_wait([self, generation](const std::error_code &error) {
        if (error) return;
        // Handled on this thread when the queue is free: no hand-off to another.
        self->queue_->asyncOrRun([self, generation] {
            if (self->generation_ != generation) return;
            self->fired(generation);
        });
    });
}

void TimerSource::fired(uint64_t generation) {
    if (generation != generation_ || cancelled_ || !scheduled_) return;
    if (suspendCount_ > 0) {
        pendingFire_ = true;
        return;
    }
    if (interval_.count() > 0) {
        due_ += interval_;
        ++generation_;
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
