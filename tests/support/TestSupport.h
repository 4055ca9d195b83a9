#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

// Timing limits that sanitizers make meaningless.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VARNOCK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VARNOCK_SANITIZED 1
#endif
#endif

namespace varnock::platform {
class Pty;
}

namespace varnock::test {

// A fresh directory under the system's temp folder, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Points VARNOCK_DEVICE_DIR at a fresh temporary directory for a scope.
class ScopedDeviceDir {
public:
    ScopedDeviceDir();
    ~ScopedDeviceDir();
    const std::filesystem::path& path() const { return m_dir.path(); }

private:
    TempDir m_dir;
    std::optional<std::string> m_old;
};

void WriteFile(const std::filesystem::path& path, const std::string& content);
std::string ReadFile(const std::filesystem::path& path);
std::set<std::string> DirectoryNames(const std::filesystem::path& directory);

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// What the far end of a pty got, until `count` bytes came or `timeout` passed.
std::vector<uint8_t> ReadPty(platform::Pty& pty, size_t count,
                             std::chrono::milliseconds timeout = std::chrono::seconds(1));
bool WritePty(platform::Pty& pty, const std::vector<uint8_t>& bytes);

// Runs `body` in a forked child (single-threaded programs only): its exit code; -1 on signal or `limit`.
int RunInChild(const std::function<int()>& body, std::chrono::milliseconds limit = std::chrono::seconds(2));

// In a RunInChild child: file permissions apply from here on, also to root.
bool DropFileOverride();

// A child with only PATH, HOME, LANG=C, VARNOCK_DEVICE_DIR, `extraEnv`; output to files; killed at end.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& out,
                 const std::filesystem::path& err, const std::vector<std::string>& extraEnv = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    void Signal(int sig);
    // The exit code; -1 when it died of a signal, or when it did not end within `limit` (then it is killed).
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    pid_t m_pid = -1;
    int m_status = -1;
};

// True inside the child that RunInNetworkNamespace starts.
bool InNetworkNamespace();
// Reruns this test in its own network namespace (unshare -n), or skips saying why none can be made.
void RunInNetworkNamespace();

// Listens on `address`:2538 accepting nothing; its queue full, attempts go unanswered as if dropped.
struct DroppingListener {
    explicit DroppingListener(const std::string& address);
    ~DroppingListener();
    DroppingListener(const DroppingListener&) = delete;
    DroppingListener& operator=(const DroppingListener&) = delete;
    int fds[3];
    bool ok = false;
};

}  // namespace varnock::test
