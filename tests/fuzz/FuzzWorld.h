#pragma once

#include "core/wire/PacketField.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class KDTAppDelegate;
class ManagedObjectContext;
class Me;
class User;
class UserList;

// What the handlers of network input work on, made afresh for every input: a store in memory
// holding the local user, a few known users, a held copy, a stored message and a chat room
// (seeded once per process; every world opens the same store, whose seeded rows are put back
// when a world ends, so nothing one input stored is seen by the next), and a roster with the
// local user. Nothing leaves the process: every way out (packets, windows, sounds, information
// requests) is replaced by one that records nothing, and blocks for the main queue are kept
// until drain() runs them.
class FuzzWorld {
public:
    // Once per process, after fuzzSetUp(): the application object, the store folder that
    // cannot be made (so every store is in memory), the replaced ways out, the seeded store.
    static void setUpProcess();

    FuzzWorld();
    // Builds the seeded store itself, the slow way (schema, rows, one save), as the process
    // does once; tests set the two side by side.
    struct Seeding {};
    explicit FuzzWorld(Seeding);
    ~FuzzWorld();
    FuzzWorld(const FuzzWorld &) = delete;
    FuzzWorld &operator=(const FuzzWorld &) = delete;

    // Runs the blocks handed to the main queue, and those they hand on, up to a bound.
    static void drain();
    // Until a block for the main queue is there (one handed over by a socket's io thread), the
    // descriptor fd (when not -1) has one of the events, or the time is up; true when a block is.
    static bool waitForBlocks(std::chrono::microseconds bound, int fd = -1, short events = 0);

    // The frame of the fields (joined by 0xA6, a count and an id put in front, NUL behind)
    // read back as the receiving side reads it; nothing when the reader rejects it.
    static std::optional<PacketArray> readFields(const QByteArray &joinedFields);

    ManagedObjectContext *context() const { return context_; }
    Me *me() const { return me_; }
    User *bob() const { return bob_; }
    User *carol() const { return carol_; }

    static const QString kMeId, kBobId, kCarolId, kDaveId;
    static const qint64 kHeldId, kStoredId, kRoomId;

private:
    std::unique_ptr<KDTAppDelegate> delegate_;
    std::unique_ptr<UserList> roster_;
    ManagedObjectContext *context_ = nullptr;
    Me *me_ = nullptr;
    User *bob_ = nullptr;
    User *carol_ = nullptr;
    bool onKeptStore_ = false;
};
