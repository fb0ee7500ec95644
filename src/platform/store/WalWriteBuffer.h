#pragma once

// A file layer over SQLite's default one that gathers the writes of a write-ahead log: a commit
// writes every page as a frame header and a page, two system calls each, and here they leave in
// one write, right before the sync that makes the commit durable (or before anything else reads,
// sizes or truncates the log). Nothing reaches the disk later than it did: SQLite only counts a
// write as kept once it has synced the file, and every gathered byte is written before that sync.
// Other readers of the store see a frame only after the log's index names it, which SQLite
// updates after the sync. Database, journal and other files pass straight through.
class WalWriteBuffer {
public:
    // The name of the layer to open stores with (registered on first use, not as the default);
    // null when it could not be registered, and the default layer is used instead.
    static const char *vfsName();
    // Writes issued to logs and those that reached the file since the start (tests, benchmarks).
    static long writesGathered();
    static long writesIssued();
};
