#pragma once

#include "platform/dispatch/Queue.h"

#include <asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace dispatch {

// Calls its event handler on its queue while a descriptor is readable (or writable), like a
// level-triggered watch: after each call the wait is armed again. Starts suspended; suspend()
// and resume() nest. cancel() stops the watch at once and runs the cancel handler on the
// queue; the descriptor is never closed here (the cancel handler owns that).
//
// All methods may be called from any thread; they take effect on the source's queue.
// One descriptor number takes one source: a second watch on the same number needs a dup().
class ReadinessSource : public std::enable_shared_from_this<ReadinessSource> {
public:
    enum class Kind { Read, Write };
    using Handler = std::function<void()>;

    static std::shared_ptr<ReadinessSource> create(int fd, Kind kind, std::shared_ptr<Queue> queue);

    void setEventHandler(Handler handler);
    void setCancelHandler(Handler handler);
    void resume();
    void suspend();
    void cancel();

    bool isCancelled() const;
    int descriptor() const { return fd_; }
    // For a read source: bytes waiting in the descriptor (FIONREAD), read at the event; a
    // listening socket reports 1 when a connection is pending.
    uint64_t data() const { return data_; }

    ~ReadinessSource();
    ReadinessSource(const ReadinessSource &) = delete;
    ReadinessSource &operator=(const ReadinessSource &) = delete;

private:
    ReadinessSource(int fd, Kind kind, std::shared_ptr<Queue> queue);
    void onQueue(std::function<void(ReadinessSource &)> fn);
    void armOnQueue();
    bool ready() const;
    uint64_t bytesWaiting() const;
    void waitCompleted(uint64_t generation, const std::error_code &error);
    // `waiting`: the byte count when the caller has just read it.
    void fired(const std::error_code &error, std::optional<uint64_t> waiting);

    const int fd_;
    const Kind kind_;
    const std::shared_ptr<Queue> queue_;
    // Touched only on the queue:
    asio::posix::stream_descriptor watch_;
    Handler event_;
    Handler cancelHandler_;
    int suspendCount_ = 1;
    bool armed_ = false;       // an event is wanted (not suspended, not being handled)
    bool waitPending_ = false; // the reactor holds a wait of ours
    uint64_t armCount_ = 0;    // tells a readiness check of an earlier arm from the current one
    bool cancelled_ = false;
    uint64_t generation_ = 0;
    uint64_t data_ = 0;
    bool listening_ = false;
};

} // namespace dispatch
