#pragma once

#include "platform/dispatch/Queue.h"

#include <asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace dispatch {

// Watches one descriptor for reading and for writing with a single registration in the
// reactor, and calls the handler of each side on its queue while the descriptor is readable
// (writable), like a level-triggered watch: after each call that side's wait is armed again.
// Both sides start suspended; suspend() and resume() nest per side. cancel() stops the watch
// at once and runs the cancel handler on the queue; the descriptor is never closed here (the
// cancel handler owns that).
//
// All methods may be called from any thread; they take effect on the source's queue.
class ReadinessSource : public std::enable_shared_from_this<ReadinessSource> {
public:
    enum class Kind { Read = 0, Write = 1 };
    using Handler = std::function<void()>;

    static std::shared_ptr<ReadinessSource> create(int fd, std::shared_ptr<Queue> queue);

    void setEventHandler(Kind kind, Handler handler);
    void setCancelHandler(Handler handler);
    void resume(Kind kind);
    void suspend(Kind kind);
    void cancel();

    bool isCancelled() const;
    int descriptor() const { return fd_; }
    // Bytes waiting in the descriptor (FIONREAD), read at the last read event; a listening
    // socket reports 1 when a connection is pending.
    uint64_t data() const { return data_; }

    ~ReadinessSource();
    ReadinessSource(const ReadinessSource &) = delete;
    ReadinessSource &operator=(const ReadinessSource &) = delete;

private:
    struct Side {
        Handler event;
        int suspendCount = 1;
        bool armed = false;       // an event is wanted (not suspended, not being handled)
        bool waitPending = false; // the reactor holds a wait of this side
        uint64_t armCount = 0;    // tells a readiness check of an earlier arm from the current one
    };

    ReadinessSource(int fd, std::shared_ptr<Queue> queue);
    void onQueue(std::function<void(ReadinessSource &)> fn);
    Side &side(Kind kind) { return sides_[int(kind)]; }
    void armOnQueue(Kind kind);
    bool ready(Kind kind) const;
    uint64_t bytesWaiting() const;
    void waitCompleted(Kind kind, uint64_t generation, const std::error_code &error);
    // `waiting`: the byte count when the caller has just read it.
    void fired(Kind kind, const std::error_code &error, std::optional<uint64_t> waiting);

    const int fd_;
    const std::shared_ptr<Queue> queue_;
    // Touched only on the queue:
    asio::posix::stream_descriptor watch_;
    Side sides_[2];
    Handler cancelHandler_;
    bool cancelled_ = false;
    uint64_t generation_ = 0;
    uint64_t data_ = 0;
    bool listening_ = false;
};

} // namespace dispatch
