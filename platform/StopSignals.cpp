#include "platform/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <mutex>

namespace varnock::platform {
namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");
int g_pipe[2] = {-1, -1};

void OnStopSignal(int) {
    g_stop.store(true);
    if (g_pipe[1] >= 0) {
        char byte = 1;
        // Full pipe: a stop is already pending.
        [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &byte, 1);
    }
}

}  // namespace

void InstallStopSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_pipe[0] = g_pipe[1] = -1;
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        // A closed terminal (SIGHUP) ends the program as Ctrl-C does.
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
        action.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &action, nullptr);
    });
}

const std::atomic<bool>& StopRequested() {
    return g_stop;
}

int StopSignalFd() {
    return g_pipe[0];
}

}  // namespace varnock::platform
