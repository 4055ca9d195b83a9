#include "platform/Descriptors.h"

#include <sys/resource.h>

#include <climits>
#include <filesystem>
#include <system_error>

namespace varnock::platform {

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

DescriptorBudget CurrentDescriptorBudget() {
    DescriptorBudget budget;
    rlimit limit{};
    budget.limit = ::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
                           limit.rlim_cur > static_cast<rlim_t>(INT_MAX)
                       ? INT_MAX
                       : static_cast<long>(limit.rlim_cur);
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++budget.open;
    // The listing's own descriptor was counted too.
    if (budget.open > 0) --budget.open;
    return budget;
}

}  // namespace varnock::platform
