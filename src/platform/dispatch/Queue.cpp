#include "platform/dispatch/Queue.h"

#include "platform/dispatch/IoHandlerScope.h"
#include "platform/dispatch/IoRuntime.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>

namespace dispatch {

namespace {

thread_local Queue *tCurrent = nullptr;

// Marks the calling thread as running blocks of one queue; nests for inline sync calls.
class CurrentScope {
public:
    explicit CurrentScope(Queue *queue) : previous_(tCurrent) { tCurrent = queue; }
    ~CurrentScope() { tCurrent = previous_; }
    CurrentScope(const CurrentScope &) = delete;
    CurrentScope &operator=(const CurrentScope &) = delete;

private:
    Queue *previous_;
};

std::mutex gPosterMutex;
Queue::MainPoster gMainPoster;

// A drain runs at most this many blocks before yielding its thread to other queues.
constexpr int kBlocksPerDrain = 64;

} // namespace

std::shared_ptr<Queue> Queue::create(std::string label) {
    return std::shared_ptr<Queue>(new Queue(std::move(label), false));
}

std::shared_ptr<Queue> Queue::main() {
    static const std::shared_ptr<Queue> queue(new Queue("main", true));
    return queue;
}

void Queue::setMainPoster(MainPoster poster) {
    std::lock_guard lock(gPosterMutex);
    gMainPoster = std::move(poster);
}

Queue *Queue::current() { return tCurrent; }

Queue::Queue(std::string label, bool main) : label_(std::move(label)), main_(main) {}

Queue::~Queue() = default;

bool Queue::isCurrent() const {
    if (tCurrent == this) return true;
    if (main_ && !tCurrent) {
        // Code running straight on the main thread (a Qt slot, a timer) is on the main queue
        // unless a test drives the main queue itself.
        std::lock_guard lock(gPosterMutex);
        auto *app = QCoreApplication::instance();
        return !gMainPoster && app && QThread::currentThread() == app->thread();
    }
    return false;
}

void Queue::async(Block block) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(block));
    if (!scheduled_) scheduleLocked();
}

void Queue::asyncOrRun(Block block) {
    {
        std::lock_guard lock(mutex_);
        if (scheduled_ || main_) {
            items_.push_back(std::move(block));
            if (!scheduled_) scheduleLocked();
            return;
        }
        scheduled_ = true; // held by this thread, like an inline sync()
    }
    {
        CurrentScope scope(this);
        block();
    }
    // What the block queued (and what others added meanwhile) runs here too, within the
    // drain's budget; drain() hands the queue back.
    drain();
}

void Queue::post() {
    auto self = shared_from_this();
    asio::post(IoRuntime::shared().io(), [self] {
        IoHandlerScope scope;
        self->drain();
    });
}

void Queue::scheduleLocked() {
    scheduled_ = true;
    if (!main_) {
        // A queue re-scheduling itself after its budget goes to the back of the io_context, so
        // other queues get their turn; other hand-offs stay on this thread.
        if (IoHandlerScope *scope = IoHandlerScope::current(); scope && tCurrent != this)
            scope->defer(shared_from_this());
        else
            post();
        return;
    }
    auto self = shared_from_this();
    MainPoster poster;
    {
        std::lock_guard lock(gPosterMutex);
        poster = gMainPoster;
    }
    if (poster) {
        poster([self] { self->drain(); });
        return;
    }
    auto *app = QCoreApplication::instance();
    if (!app) {
        // No main thread to run on (the application is gone): drop the work, as a process
        // that is ending would.
        items_.clear();
        scheduled_ = false;
        return;
    }
    QMetaObject::invokeMethod(
        app, [self] { self->drain(); }, Qt::QueuedConnection);
}

void Queue::drain() {
    CurrentScope scope(this);
    // Blocks are taken in batches (one lock per batch); what arrives meanwhile waits for the
    // next batch, so the order stays that of async().
    int run = 0;
    std::unique_lock lock(mutex_);
    while (!items_.empty() && run < kBlocksPerDrain) {
        running_.swap(items_);
        lock.unlock();
        for (Block &block : running_) {
            block();
            block = nullptr; // release what the block holds now, as it would be in order
            ++run;
        }
        running_.clear();
        lock.lock();
    }
    if (items_.empty())
        scheduled_ = false;
    else
        scheduleLocked();
}

void Queue::sync(const Block &block) {
    if (isCurrent()) {
        block();
        return;
    }
    {
        std::unique_lock lock(mutex_);
        if (!scheduled_ && !main_) {
            // Idle: take the queue on this thread for the block, then hand back what arrived.
            scheduled_ = true;
            lock.unlock();
            {
                CurrentScope scope(this);
                block();
            }
            lock.lock();
            if (items_.empty())
                scheduled_ = false;
            else
                scheduleLocked();
            return;
        }
    }
    // Queues this thread still has to hand on must not wait behind the block: post them.
    IoHandlerScope::flush();
    struct Done {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto state = std::make_shared<Done>();
    async([state, block] {
        block();
        std::lock_guard lock(state->mutex);
        state->done = true;
        state->cv.notify_one();
    });
    std::unique_lock lock(state->mutex);
    while (!state->done) {
        // Once the io threads are told to stop (the process is ending), a queued block may
        // never run: the caller goes on rather than hold up the exit.
        if (state->cv.wait_for(lock, std::chrono::milliseconds(50)) == std::cv_status::timeout && !main_ &&
            IoRuntime::shared().io().stopped())
            return;
    }
}

void Queue::after(double seconds, Block block) {
    auto timer = std::make_shared<asio::steady_timer>(IoRuntime::shared().io());
    const auto delay = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
    timer->expires_after(delay);
    auto self = shared_from_this();
    timer->async_wait([self, timer, block = std::move(block)](const std::error_code &) mutable {
        IoHandlerScope scope;
        self->async(std::move(block));
    });
}

} // namespace dispatch
