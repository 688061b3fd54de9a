// DescriptorLimit: reading and raising RLIMIT_NOFILE.
#include "platform/DescriptorLimit.h"

#include <sys/resource.h>

namespace {

constexpr std::uint64_t kAssumed = 1024;

}  // namespace

std::uint64_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return kAssumed;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return DescriptorLimit();
}

std::uint64_t DescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return kAssumed;
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(limit.rlim_cur);
}
