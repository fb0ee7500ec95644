#pragma once

#include <QByteArray>
#include <QHash>

#include <cstddef>

struct nlmsghdr;

// Tells which rtnetlink notices are changes of the network worth restarting for: an IPv4
// address added or removed (or given another broadcast address), a link whose up, running or
// carrier state changed. It keeps what it has seen, so the notices the kernel sends again and
// again for nothing of that kind (Wi-Fi scan results and statistics on links, lifetime
// refreshes of leased addresses) are not taken for changes.
class NetlinkChangeFilter {
public:
    // Applies a batch of messages as read from the socket (aligned for nlmsghdr) and tells
    // whether it changed anything that counts. Lengths inside the batch are checked, never
    // trusted; a malformed message ends the batch.
    bool apply(const void *data, std::size_t length);
    // Takes the messages of a dump (the state as it is) without reporting anything.
    void learn(const void *data, std::size_t length);
    // Forgets everything (before learning the state afresh).
    void clear();

    int knownLinks() const { return int(links_.size()); }
    int knownAddresses() const { return int(addresses_.size()); }

private:
    bool take(const nlmsghdr *message);
    bool walk(const void *data, std::size_t length, bool report);

    QHash<int, unsigned> links_;              // link index -> its up, running and carrier flags
    QHash<QByteArray, QByteArray> addresses_; // link, prefix and address -> broadcast address
};
