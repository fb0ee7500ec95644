#include "platform/dispatch/ReadinessSource.h"

#include "platform/dispatch/IoHandlerScope.h"
#include "platform/dispatch/IoRuntime.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace dispatch {

std::shared_ptr<ReadinessSource> ReadinessSource::create(int fd, Kind kind, std::shared_ptr<Queue> queue) {
    return std::shared_ptr<ReadinessSource>(new ReadinessSource(fd, kind, std::move(queue)));
}

ReadinessSource::ReadinessSource(int fd, Kind kind, std::shared_ptr<Queue> queue)
    : fd_(fd), kind_(kind), queue_(std::move(queue)), watch_(IoRuntime::shared().io()) {
    std::error_code ignored;
    watch_.assign(fd_, ignored);
    int accepting = 0;
    socklen_t len = sizeof accepting;
    if (kind_ == Kind::Read && ::getsockopt(fd_, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0)
        listening_ = accepting != 0;
}

ReadinessSource::~ReadinessSource() {
    // The descriptor belongs to the owner: detach without closing it.
    if (watch_.is_open()) watch_.release();
}

void ReadinessSource::onQueue(std::function<void(ReadinessSource &)> fn) {
    if (queue_->isCurrent()) {
        fn(*this);
        return;
    }
    queue_->async([self = shared_from_this(), fn = std::move(fn)] { fn(*self); });
}

void ReadinessSource::setEventHandler(Handler handler) {
    onQueue([handler = std::move(handler)](ReadinessSource &s) mutable { s.event_ = std::move(handler); });
}

void ReadinessSource::setCancelHandler(Handler handler) {
    onQueue([handler = std::move(handler)](ReadinessSource &s) mutable {
        s.cancelHandler_ = std::move(handler);
    });
}

void ReadinessSource::resume() {
    onQueue([](ReadinessSource &s) {
        if (s.cancelled_ || s.suspendCount_ == 0) return;
        if (--s.suspendCount_ == 0) s.armOnQueue();
    });
}

void ReadinessSource::suspend() {
    onQueue([](ReadinessSource &s) {
        if (s.cancelled_) return;
        ++s.suspendCount_;
        // A wait in flight stays registered; what it reports while suspended is dropped, and
        // resume() checks the descriptor again.
        s.armed_ = false;
    });
}

void ReadinessSource::cancel() {
    onQueue([](ReadinessSource &s) {
        if (s.cancelled_) return;
        s.cancelled_ = true;
        s.armed_ = false;
        ++s.generation_;
        // Releasing deregisters the descriptor from the reactor at once and aborts the wait,
        // so the owner may close it straight away and the number may be reused safely.
        if (s.watch_.is_open()) s.watch_.release();
        s.event_ = nullptr;
        if (auto handler = std::move(s.cancelHandler_)) {
            s.cancelHandler_ = nullptr;
            handler();
        }
    });
}

bool ReadinessSource::isCancelled() const { return cancelled_; }

void ReadinessSource::armOnQueue() {
    if (armed_ || cancelled_ || suspendCount_ > 0 || !watch_.is_open()) return;
    armed_ = true;
    const uint64_t arm = ++armCount_;
    auto self = shared_from_this();
    // The reactor's wait only sees changes (edge-triggered), so readiness that is already there
    // is checked with poll(). The wait is registered first: a change between the check and the
    // registration would otherwise be seen by neither. One wait stays registered until it
    // completes, across arms: any change after it was registered completes it.
    if (!waitPending_) {
        waitPending_ = true;
        const uint64_t generation = generation_;
        const auto waitType = kind_ == Kind::Read ? asio::posix::stream_descriptor::wait_read
                                                  : asio::posix::stream_descriptor::wait_write;
        watch_.async_wait(waitType, [self, generation](const std::error_code &error) {
            IoHandlerScope scope; // the queue drains on this thread, no wake-up of another
            self->queue_->async([self, generation, error] { self->waitCompleted(generation, error); });
        });
    }
    if (ready()) {
        // On this queue, after the running block: never a nested call of the handler.
        queue_->async([self, arm] {
            if (self->armed_ && self->armCount_ == arm && !self->cancelled_)
                self->fired(std::error_code(), std::nullopt);
        });
    }
}

uint64_t ReadinessSource::bytesWaiting() const {
    int available = 0;
    return ::ioctl(fd_, FIONREAD, &available) == 0 && available > 0 ? uint64_t(available) : 0;
}

bool ReadinessSource::ready() const {
    pollfd p{fd_, short(kind_ == Kind::Read ? POLLIN : POLLOUT), 0};
    return ::poll(&p, 1, 0) > 0;
}

void ReadinessSource::waitCompleted(uint64_t generation, const std::error_code &error) {
    if (generation != generation_ || cancelled_) return;
    waitPending_ = false;
    if (error == asio::error::operation_aborted) {
        // Not from a cancel (that changes the generation): wait again if still wanted.
        if (armed_) {
            armed_ = false;
            armOnQueue();
        }
        return;
    }
    if (!armed_) return; // suspended meanwhile: resume() arms and checks again
    // Bytes waiting prove readiness without a poll(); none may still mean an end of stream.
    const bool countsBytes = kind_ == Kind::Read && !listening_;
    const uint64_t waiting = countsBytes ? bytesWaiting() : 0;
    if (!error && waiting == 0 && !ready()) {
        // A change that is gone again (taken by a read in between, or one that came before
        // the wait was registered): wait on.
        armed_ = false;
        armOnQueue();
        return;
    }
    fired(error, countsBytes ? std::optional<uint64_t>(waiting) : std::nullopt);
}

void ReadinessSource::fired(const std::error_code &error, std::optional<uint64_t> waiting) {
    armed_ = false;
    if (suspendCount_ > 0) return; // armed again by resume()
    if (kind_ == Kind::Read) {
        if (listening_)
            data_ = 1;
        else
            data_ = waiting ? *waiting : bytesWaiting();
    }
    if (event_) {
        auto handler = event_; // the handler may cancel this source or replace itself
        handler();
    }
    // A failed wait (the descriptor itself is broken) is reported once, never spun on.
    if (!error) armOnQueue();
}

} // namespace dispatch
