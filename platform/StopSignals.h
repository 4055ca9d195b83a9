#pragma once
// SIGINT, SIGTERM and SIGHUP as a request to end the program the orderly way
// (channels disconnected, settings saved) instead of killing it.
#include <atomic>

namespace varnock::platform {

// Installs the handlers (once); SIGPIPE is ignored as well, so a closed pipe
// or socket shows as a failed write.
void InstallStopSignals();

// Set by the handlers; readable from any thread.
const std::atomic<bool>& StopRequested();

// Becomes readable when a stop is requested, for event loops that wait on
// file descriptors. -1 before InstallStopSignals.
int StopSignalFd();

}  // namespace varnock::platform
