#pragma once

#include <memory>
#include <vector>

namespace dispatch {

class Queue;

// Marks an io-thread handler of the dispatch layer (a queue's drain, a readiness or timer
// completion). Queues scheduled inside it are not posted at once: posting wakes another io
// thread for each (a futex wake and a context switch per hand-off). When the outermost scope
// ends, the first of them drains on this thread and the rest are posted.
class IoHandlerScope {
public:
    IoHandlerScope();
    ~IoHandlerScope();
    IoHandlerScope(const IoHandlerScope &) = delete;
    IoHandlerScope &operator=(const IoHandlerScope &) = delete;

    // The outermost scope open on this thread, or null.
    static IoHandlerScope *current();
    // Posts what the current scope holds: before the thread blocks on another queue.
    static void flush();

    // A queue that was just scheduled, to drain when the scope ends.
    void defer(std::shared_ptr<Queue> queue);

private:
    IoHandlerScope *outer_;
    std::vector<std::shared_ptr<Queue>> pending_;
};

} // namespace dispatch
