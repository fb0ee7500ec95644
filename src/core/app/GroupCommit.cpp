#include "core/app/GroupCommit.h"

#include "core/app/AppContext.h"
#include "platform/dispatch/IoRuntime.h"
#include "platform/dispatch/Queue.h"
#include "platform/store/ManagedObjectContext.h"

#include <QLoggingCategory>

#include <utility>
#include <vector>

namespace {

Q_LOGGING_CATEGORY(lcCommit, "murnavell.app.store")

using Callers = std::vector<std::function<void(bool)>>;

struct Waiting {
    Callers callers;
    bool scheduled = false;
    bool syncing = false; // a commit's sync is under way on another thread
    long saves = 0;
};

Waiting &waiting() {
    static Waiting w;
    return w;
}

void tell(Callers &callers, bool saved) {
    for (auto &then : callers) then(saved);
}

void commitAndSync();

void schedule() {
    Waiting &w = waiting();
    // While a sync is under way, callers wait for it to end and then share the next commit.
    if (w.scheduled || w.syncing || w.callers.empty()) return;
    w.scheduled = true;
    // At the end of this turn: whatever else is already queued joins the same save.
    dispatch::Queue::main()->async([] { commitAndSync(); });
}

void commitAndSync() {
    Waiting &w = waiting();
    w.scheduled = false;
    if (w.syncing || w.callers.empty()) return;
    Callers callers;
    callers.swap(w.callers);
    ++w.saves;
    ManagedObjectContext *context = appManagedObjectContext();
    StoreError error;
    if (context && !context->commit(&error)) {
        qCWarning(lcCommit).noquote() << "save failed:" << error.code << error.message;
        tell(callers, false);
        return;
    }
    std::function<bool()> sync = context ? context->pendingSync() : std::function<bool()>();
    if (!sync) {
        // Nothing waits for the disk (a store that synced in its commit, or nothing to write).
        tell(callers, true);
        return;
    }
    w.syncing = true;
    dispatch::runBlocking([sync = std::move(sync), callers = std::move(callers)]() mutable {
        const bool synced = sync();
        dispatch::Queue::main()->async([synced, callers = std::move(callers)]() mutable {
            if (!synced) qCWarning(lcCommit) << "syncing the store failed";
            waiting().syncing = false;
            tell(callers, synced);
            schedule();
        });
    });
}

} // namespace

void GroupCommit::afterSave(std::function<void(bool saved)> then) {
    waiting().callers.push_back(std::move(then));
    schedule();
}

void GroupCommit::flush() {
    Waiting &w = waiting();
    if (w.callers.empty()) return;
    Callers callers;
    callers.swap(w.callers);
    ++w.saves;
    // Commits whose sync is still under way elsewhere are synced here too: a caller's packet
    // may be in one of them.
    ManagedObjectContext *context = appManagedObjectContext();
    StoreError error;
    const bool saved = !context || context->save(&error);
    if (!saved) qCWarning(lcCommit).noquote() << "save failed:" << error.code << error.message;
    tell(callers, saved);
}

long GroupCommit::savesMade() { return waiting().saves; }
