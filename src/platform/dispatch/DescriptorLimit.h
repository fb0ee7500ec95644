#pragma once

#include <cstdint>

namespace dispatch {

// The process's limit on open descriptors. Every connection holds one, and the soft limit a
// session starts with (often 1024) is far below the hard one: the application and the test
// driver raise it once at start, before they open sockets.
class DescriptorLimit {
public:
    // Raises the soft limit to the hard one; true when they are equal afterwards.
    static bool raiseToHardLimit();
    static uint64_t soft();
    static uint64_t hard();
};

} // namespace dispatch
