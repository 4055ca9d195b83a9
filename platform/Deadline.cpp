#include "platform/Deadline.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace varnock::platform {

int MsUntil(SteadyClock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 1 << 30));
}

int PollFd(int fd, short events, int timeoutMs, int wakeFd) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    int wait = timeoutMs;
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        int rc = ::poll(p, wakeFd >= 0 ? 2 : 1, wait);
        if (rc > 0) return p[0].revents;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
        if (timeoutMs >= 0) wait = MsUntil(deadline);
    }
}

}  // namespace varnock::platform
