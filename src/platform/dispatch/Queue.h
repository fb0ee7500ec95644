#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dispatch {

// A serial queue: blocks run one at a time, in the order they were added, on an io thread (or
// on the Qt main thread for the main queue). Blocks of different queues may run in parallel.
class Queue : public std::enable_shared_from_this<Queue> {
public:
    using Block = std::function<void()>;
    using MainPoster = std::function<void(Block)>;

    static std::shared_ptr<Queue> create(std::string label);

    // The main queue: blocks run on the Qt main thread (posted to the application object), or
    // through the poster a test installs with setMainPoster().
    static std::shared_ptr<Queue> main();
    // Replaces how the main queue hands its drain step to the main thread; an empty function
    // restores the Qt main thread.
    static void setMainPoster(MainPoster poster);

    // The queue whose block is running on this thread, or null.
    static Queue *current();

    const std::string &label() const { return label_; }
    bool isMain() const { return main_; }
    // True while a block of this queue runs on the calling thread.
    bool isCurrent() const;

    void async(Block block);
    // Like async(), except that when no thread runs the queue the calling thread takes it at
    // once, as sync() does, runs what is queued up to and including the block, and returns: no
    // hand-off to an io thread. Only for blocks that never wait for another queue. The main
    // queue always queues.
    void asyncOrRun(Block block);
    // Runs the block on this queue and waits for it. Inline when already on it; when no thread
    // runs the queue, the calling thread takes it and runs what is queued, then the block. It
    // waits only while another thread runs the queue (or for the main thread), and an io
    // thread that waits lets the runtime start another first.
    void sync(const Block &block);
    // Runs the block on this queue after the delay (seconds, measured on the steady clock).
    void after(double seconds, Block block);

    ~Queue();
    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;

private:
    Queue(std::string label, bool main);
    void post();
    void drainStep();
    // Runs queued blocks while this thread holds the queue (`active_` set, lock held on entry);
    // stops when `until` is true or after `budget` blocks, then hands the queue back.
    void runHeld(std::unique_lock<std::mutex> &lock, int budget, const bool *until);

    const std::string label_;
    const bool main_;
    std::mutex mutex_;
    std::vector<Block> items_;
    std::vector<Block> running_; // the batch being run; touched only by the holder
    bool posted_ = false;        // a drain step is on its way to a thread
    bool active_ = false;        // a thread holds the queue and runs its blocks
};

} // namespace dispatch
