#include "platform/ShellOpen.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace varnock::platform {
namespace {

XdgShellOpener g_xdgOpener;
std::atomic<ShellOpener*> g_opener{nullptr};

}  // namespace

bool XdgShellOpener::Open(const std::filesystem::path& file) {
    // Everything the children need is made before fork: between fork and
    // exec only async-signal-safe calls are allowed.
    std::string program = m_program;
    std::string argument = file.string();
    char* argv[] = {program.data(), argument.data(), nullptr};

    // Report an exec failure of the grandchild through a close-on-exec pipe.
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0) return false;

    pid_t child = fork();
    if (child < 0) {
        close(status[0]);
        close(status[1]);
        return false;
    }
    if (child == 0) {
        close(status[0]);
        setsid();
        pid_t grandchild = fork();
        if (grandchild < 0) _exit(1);
        if (grandchild > 0) _exit(0);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2) close(null);
        }
        // Ignored signals and the signal mask survive exec: the opener
        // starts as any program would, not with our SIGPIPE ignored.
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        sigemptyset(&byDefault.sa_mask);
        for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &byDefault, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(argv[0], argv);
        char failed = 1;
        ssize_t ignored = write(status[1], &failed, 1);
        (void)ignored;
        _exit(127);
    }
    close(status[1]);
    int childStatus = 0;
    while (waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    bool started = WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0;
    if (started) {
        // Closed at exec (nothing to read) or written when exec failed.
        char failed = 0;
        ssize_t n;
        while ((n = read(status[0], &failed, 1)) < 0 && errno == EINTR) {
        }
        started = n == 0;
    }
    close(status[0]);
    return started;
}

bool RecordingShellOpener::Open(const std::filesystem::path& file) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_opened.push_back(file);
    return true;
}

std::vector<std::filesystem::path> RecordingShellOpener::Opened() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_opened;
}

void SetShellOpener(ShellOpener* opener) {
    g_opener.store(opener);
}

ShellOpener& CurrentShellOpener() {
    ShellOpener* opener = g_opener.load();
    return opener ? *opener : g_xdgOpener;
}

}  // namespace varnock::platform
