#pragma once

#include <functional>

// Shares one save of the program's context among everything that needs its changes durable
// before it answers: each caller is told after the save that holds its changes, and all that
// asked in one turn of the main loop (messages that arrived while the last save was writing)
// share it, so many senders share one sync of the store.
class GroupCommit {
public:
    // `then(saved)` runs on the main loop after the next save; `saved` is false when it failed
    // (its changes are still pending then, and nothing that depended on them may be confirmed).
    static void afterSave(std::function<void(bool saved)> then);
    // Saves now and tells everyone waiting; nothing is done when nobody waits.
    static void flush();
    // Saves made by flush() since the start (for tests and benchmarks).
    static long savesMade();
};
