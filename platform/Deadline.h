#pragma once
// Waiting on a descriptor within a time limit.
#include <chrono>

namespace varnock::platform {

using SteadyClock = std::chrono::steady_clock;

// Milliseconds left until `deadline`: 0 once it has passed, and never more
// than poll takes.
int MsUntil(SteadyClock::time_point deadline);

// Polls `fd` for `events` up to `timeoutMs` (-1: no limit); a signal does
// not end the wait early, but `wakeFd` (-1: none) becoming readable does,
// as if the time ran out. The events that came (revents, which may be only
// POLLHUP or POLLERR), 0 when the time ran out, -1 when poll failed.
int PollFd(int fd, short events, int timeoutMs, int wakeFd = -1);

}  // namespace varnock::platform
