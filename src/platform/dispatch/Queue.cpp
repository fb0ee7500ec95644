#include "platform/dispatch/Queue.h"

#include "platform/dispatch/IoRuntime.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <climits>

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

// A drain step runs at most this many blocks before the queue goes to the back of the line.
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
    std::unique_lock lock(mutex_);
    items_.push_back(std::move(block));
    if (active_ || posted_) return;
    posted_ = true;
    lock.unlock();
    post();
}

void Queue::asyncOrRun(Block block) {
    std::unique_lock lock(mutex_);
    items_.push_back(std::move(block));
    if (active_ || main_) {
        if (!active_ && !posted_) {
            posted_ = true;
            lock.unlock();
            post();
        }
        return;
    }
    active_ = true;
    runHeld(lock, kBlocksPerDrain, nullptr);
}

void Queue::post() {
    auto self = shared_from_this();
    if (!main_) {
        asio::post(IoRuntime::shared().io(), [self] { self->drainStep(); });
        return;
    }
    MainPoster poster;
    {
        std::lock_guard lock(gPosterMutex);
        poster = gMainPoster;
    }
    if (poster) {
        poster([self] { self->drainStep(); });
        return;
    }
    auto *app = QCoreApplication::instance();
    if (!app) {
        // No main thread to run on (the application is gone): drop the work, as a process
        // that is ending would.
        std::lock_guard lock(mutex_);
        items_.clear();
        posted_ = false;
        return;
    }
    QMetaObject::invokeMethod(
        app, [self] { self->drainStep(); }, Qt::QueuedConnection);
}

void Queue::drainStep() {
    std::unique_lock lock(mutex_);
    posted_ = false;
    // Taken meanwhile by a thread that ran the blocks itself; it hands the queue on when done.
    if (active_ || items_.empty()) return;
    active_ = true;
    runHeld(lock, kBlocksPerDrain, nullptr);
}

void Queue::runHeld(std::unique_lock<std::mutex> &lock, int budget, const bool *until) {
    {
        CurrentScope scope(this);
        // Blocks are taken in batches (one lock per batch); what arrives meanwhile waits for the
        // next batch, so the order stays that of async().
        int run = 0;
        while (!items_.empty() && run < budget && !(until && *until)) {
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
    }
    active_ = false;
    if (items_.empty() || posted_) return;
    posted_ = true;
    lock.unlock();
    post();
}

void Queue::sync(const Block &block) {
    if (isCurrent()) {
        block();
        return;
    }
    std::unique_lock lock(mutex_);
    if (!active_ && !main_) {
        // Nobody runs the queue: this thread takes it, runs what was queued before, then the
        // block, and hands back what arrives meanwhile.
        active_ = true;
        bool ran = false;
        items_.push_back([&] {
            block();
            ran = true;
        });
        runHeld(lock, INT_MAX, &ran);
        return;
    }
    lock.unlock();
    struct Done {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto state = std::make_shared<Done>();
    async([state, block] {
        block();
        std::lock_guard doneLock(state->mutex);
        state->done = true;
        state->cv.notify_one();
    });
    IoRuntime::WaitScope waiting; // an io thread waits here: the runtime keeps another running
    std::unique_lock doneLock(state->mutex);
    while (!state->done) {
        // Once the io threads are told to stop (the process is ending), a queued block may
        // never run: the caller goes on rather than hold up the exit.
        if (state->cv.wait_for(doneLock, std::chrono::milliseconds(50)) == std::cv_status::timeout &&
            !main_ && IoRuntime::shared().io().stopped())
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
        self->async(std::move(block));
    });
}

} // namespace dispatch
