#include "platform/dispatch/ReadinessSource.h"

#include "platform/dispatch/IoRuntime.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace dispatch {

std::shared_ptr<ReadinessSource> ReadinessSource::create(int fd, std::shared_ptr<Queue> queue) {
    return std::shared_ptr<ReadinessSource>(new ReadinessSource(fd, std::move(queue)));
}

ReadinessSource::ReadinessSource(int fd, std::shared_ptr<Queue> queue)
    : fd_(fd), queue_(std::move(queue)), watch_(IoRuntime::shared().io()) {
    std::error_code ignored;
    watch_.assign(fd_, ignored);
    int accepting = 0;
    socklen_t len = sizeof accepting;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0) listening_ = accepting != 0;
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

void ReadinessSource::setEventHandler(Kind kind, Handler handler) {
    onQueue([kind, handler = std::move(handler)](ReadinessSource &s) mutable {
        s.side(kind).event = std::move(handler);
    });
}

void ReadinessSource::setCancelHandler(Handler handler) {
    onQueue([handler = std::move(handler)](ReadinessSource &s) mutable {
        s.cancelHandler_ = std::move(handler);
    });
}

void ReadinessSource::resume(Kind kind) {
    onQueue([kind](ReadinessSource &s) {
        Side &side = s.side(kind);
        if (s.cancelled_ || side.suspendCount == 0) return;
        if (--side.suspendCount == 0) s.armOnQueue(kind);
    });
}

void ReadinessSource::suspend(Kind kind) {
    onQueue([kind](ReadinessSource &s) {
        if (s.cancelled_) return;
        Side &side = s.side(kind);
        ++side.suspendCount;
        // A wait in flight stays registered; what it reports while suspended is dropped, and
        // resume() checks the descriptor again.
        side.armed = false;
    });
}

void ReadinessSource::cancel() {
    onQueue([](ReadinessSource &s) {
        if (s.cancelled_) return;
        s.cancelled_ = true;
        ++s.generation_;
        for (Side &side : s.sides_) {
            side.armed = false;
            side.event = nullptr;
        }
        // Releasing deregisters the descriptor from the reactor at once and aborts the waits,
        // so the owner may close it straight away and the number may be reused safely.
        if (s.watch_.is_open()) s.watch_.release();
        if (auto handler = std::move(s.cancelHandler_)) {
            s.cancelHandler_ = nullptr;
            handler();
        }
    });
}

bool ReadinessSource::isCancelled() const { return cancelled_; }

void ReadinessSource::armOnQueue(Kind kind) {
    Side &side = this->side(kind);
    if (side.armed || cancelled_ || side.suspendCount > 0 || !watch_.is_open()) return;
    side.armed = true;
    const uint64_t arm = ++side.armCount;
    auto self = shared_from_this();
    if (ready(kind)) {
        // Readiness already there is reported from this queue, after the running block (never
        // a nested call of the handler), without a wait: no change in the reactor, and no io
        // thread woken to report what is known here already.
        queue_->async([self, kind, arm] {
            const Side &s = self->side(kind);
            if (s.armed && s.armCount == arm && !self->cancelled_)
                self->fired(kind, std::error_code(), std::nullopt);
        });
        return;
    }
    // One wait per side stays registered until it completes, across arms. Registering it
    // re-arms the descriptor in the reactor, which reports readiness present at that moment as
    // well as later changes, so readiness that comes after the check above is not missed.
    if (side.waitPending) return;
    side.waitPending = true;
    const uint64_t generation = generation_;
    const auto waitType = kind == Kind::Read ? asio::posix::stream_descriptor::wait_read
                                             : asio::posix::stream_descriptor::wait_write;
    watch_.async_wait(waitType, [self, kind, generation](const std::error_code &error) {
        // Handled on this thread when the queue is free: no hand-off to another.
        self->queue_->asyncOrRun(
            [self, kind, generation, error] { self->waitCompleted(kind, generation, error); });
    });
}

uint64_t ReadinessSource::bytesWaiting() const {
    int available = 0;
    return ::ioctl(fd_, FIONREAD, &available) == 0 && available > 0 ? uint64_t(available) : 0;
}

bool ReadinessSource::ready(Kind kind) const {
    pollfd p{fd_, short(kind == Kind::Read ? POLLIN : POLLOUT), 0};
    return ::poll(&p, 1, 0) > 0;
}

void ReadinessSource::waitCompleted(Kind kind, uint64_t generation, const std::error_code &error) {
    if (generation != generation_ || cancelled_) return;
    Side &side = this->side(kind);
    side.waitPending = false;
    if (error == asio::error::operation_aborted) {
        // Not from a cancel (that changes the generation): wait again if still wanted.
        if (side.armed) {
            side.armed = false;
            armOnQueue(kind);
        }
        return;
    }
    if (!side.armed) return; // suspended meanwhile: resume() arms and checks again
    // Bytes waiting prove readiness without a poll(); none may still mean an end of stream.
    const bool countsBytes = kind == Kind::Read && !listening_;
    const uint64_t waiting = countsBytes ? bytesWaiting() : 0;
    if (!error && waiting == 0 && !ready(kind)) {
        // A change that is gone again (taken by a read in between, or one that came before
        // the wait was registered): wait on.
        side.armed = false;
        armOnQueue(kind);
        return;
    }
    fired(kind, error, countsBytes ? std::optional<uint64_t>(waiting) : std::nullopt);
}

void ReadinessSource::fired(Kind kind, const std::error_code &error, std::optional<uint64_t> waiting) {
    Side &side = this->side(kind);
    side.armed = false;
    if (side.suspendCount > 0) return; // armed again by resume()
    if (kind == Kind::Read) {
        if (listening_)
            data_ = 1;
        else
            data_ = waiting ? *waiting : bytesWaiting();
    }
    if (side.event) {
        auto handler = side.event; // the handler may cancel this source or replace itself
        handler();
    }
    // A failed wait (the descriptor itself is broken) is reported once, never spun on.
    if (!error) armOnQueue(kind);
}

} // namespace dispatch
