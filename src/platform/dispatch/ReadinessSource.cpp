#include "platform/dispatch/ReadinessSource.h"

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
        // A wait in flight stays armed; its result is dropped when it arrives suspended.
    });
}

void ReadinessSource::cancel() {
    onQueue([](ReadinessSource &s) {
        if (s.cancelled_) return;
        s.cancelled_ = true;
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
    const uint64_t generation = generation_;
    auto self = shared_from_this();
    // The reactor's wait only sees changes (edge-triggered): readiness that is already there
    // when the wait is armed would go unnoticed, so it is checked here first.
    pollfd ready{fd_, short(kind_ == Kind::Read ? POLLIN : POLLOUT), 0};
    if (::poll(&ready, 1, 0) > 0) {
        queue_->async([self, generation] { self->fired(generation, std::error_code()); });
        return;
    }
    const auto waitType = kind_ == Kind::Read ? asio::posix::stream_descriptor::wait_read
                                              : asio::posix::stream_descriptor::wait_write;
    watch_.async_wait(waitType, [self, generation](const std::error_code &error) {
        self->queue_->async([self, generation, error] { self->fired(generation, error); });
    });
}

void ReadinessSource::fired(uint64_t generation, const std::error_code &error) {
    if (generation != generation_ || cancelled_) return;
    armed_ = false;
    if (error == asio::error::operation_aborted) return;
    if (suspendCount_ > 0) return; // armed again by resume()
    if (kind_ == Kind::Read) {
        if (listening_) {
            data_ = 1;
        } else {
            int available = 0;
            data_ = ::ioctl(fd_, FIONREAD, &available) == 0 && available > 0 ? uint64_t(available) : 0;
        }
    }
    if (event_) {
        auto handler = event_; // the handler may cancel this source or replace itself
        handler();
    }
    // A failed wait (the descriptor itself is broken) is reported once, never spun on.
    if (!error) armOnQueue();
}

} // namespace dispatch
