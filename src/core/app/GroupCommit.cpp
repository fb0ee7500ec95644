#include "core/app/GroupCommit.h"

#include "core/app/AppContext.h"
#include "platform/dispatch/Queue.h"

#include <utility>
#include <vector>

namespace {

struct Waiting {
    std::vector<std::function<void(bool)>> callers;
    bool scheduled = false;
    long saves = 0;
};

Waiting &waiting() {
    static Waiting w;
    return w;
}

} // namespace

void GroupCommit::afterSave(std::function<void(bool saved)> then) {
    Waiting &w = waiting();
    w.callers.push_back(std::move(then));
    if (w.scheduled) return;
    w.scheduled = true;
    // At the end of this turn: whatever else is already queued joins the same save.
    dispatch::Queue::main()->async([] { flush(); });
}

void GroupCommit::flush() {
    Waiting &w = waiting();
    w.scheduled = false;
    if (w.callers.empty()) return;
    std::vector<std::function<void(bool)>> callers;
    callers.swap(w.callers);
    ++w.saves;
    const bool saved = saveContextIfChanged();
    for (auto &then : callers) then(saved);
}

long GroupCommit::savesMade() { return waiting().saves; }
