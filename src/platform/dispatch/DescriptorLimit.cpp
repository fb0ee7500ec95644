#include "platform/dispatch/DescriptorLimit.h"

#include <sys/resource.h>

namespace dispatch {

bool DescriptorLimit::raiseToHardLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur == limit.rlim_max) return true;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

uint64_t DescriptorLimit::soft() {
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? uint64_t(limit.rlim_cur) : 0;
}

uint64_t DescriptorLimit::hard() {
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? uint64_t(limit.rlim_max) : 0;
}

} // namespace dispatch
