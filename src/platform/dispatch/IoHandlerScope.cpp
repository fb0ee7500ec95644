#include "platform/dispatch/IoHandlerScope.h"

#include "platform/dispatch/Queue.h"

namespace dispatch {

namespace {

// Drains handed on inline, one after another, before the thread goes back to the io_context.
constexpr int kInlineHandOffs = 16;

thread_local IoHandlerScope *tScope = nullptr;

} // namespace

IoHandlerScope::IoHandlerScope() : outer_(tScope) {
    if (!outer_) tScope = this;
}

IoHandlerScope::~IoHandlerScope() {
    if (outer_) return;
    // Each inline drain may schedule further queues, which join the list.
    for (int handOffs = 0; !pending_.empty(); ++handOffs) {
        std::vector<std::shared_ptr<Queue>> ready;
        ready.swap(pending_);
        if (handOffs >= kInlineHandOffs) {
            tScope = nullptr;
            for (auto &queue : ready) queue->post();
            return;
        }
        for (size_t i = 1; i < ready.size(); ++i) ready[i]->post();
        ready.front()->drain();
    }
    tScope = nullptr;
}

IoHandlerScope *IoHandlerScope::current() { return tScope; }

void IoHandlerScope::flush() {
    IoHandlerScope *scope = tScope;
    if (!scope) return;
    std::vector<std::shared_ptr<Queue>> ready;
    ready.swap(scope->pending_);
    for (auto &queue : ready) queue->post();
}

void IoHandlerScope::defer(std::shared_ptr<Queue> queue) { pending_.push_back(std::move(queue)); }

} // namespace dispatch
