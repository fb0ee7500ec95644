#pragma once

#include <functional>

// Shares one save of the program's context among everything that needs its changes durable
// before it answers: each caller is told after the save that holds its changes, and all that
// asked in one turn of the main loop share it, so many senders share one sync of the store.
// The save is committed on the main loop and synced to the disk on another thread meanwhile:
// the main loop goes on taking messages, which all share the next save once the sync is over.
class GroupCommit {
public:
    // `then(saved)` runs on the main loop once the changes made so far are on the disk; `saved`
    // is false when the save or its sync failed (nothing that depended on them may be
    // confirmed then; changes not written stay pending).
    static void afterSave(std::function<void(bool saved)> then);
    // Saves and syncs now, on this thread, and tells everyone waiting; nothing is done when
    // nobody waits.
    static void flush();
    // Saves made for those waiting since the start (for tests and benchmarks).
    static long savesMade();
};
