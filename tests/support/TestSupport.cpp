#include "tests/support/TestSupport.h"

#include "platform/Pty.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace varnock::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "varnock-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

ScopedDeviceDir::ScopedDeviceDir() {
    ::chmod(m_dir.path().c_str(), 0700);
    if (const char* old = std::getenv("VARNOCK_DEVICE_DIR")) m_old = old;
    ::setenv("VARNOCK_DEVICE_DIR", m_dir.path().c_str(), 1);
}

ScopedDeviceDir::~ScopedDeviceDir() {
    m_old ? ::setenv("VARNOCK_DEVICE_DIR", m_old->c_str(), 1) : ::unsetenv("VARNOCK_DEVICE_DIR");
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::set<std::string> DirectoryNames(const fs::path& directory) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename());
    return names;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<uint8_t> ReadPty(platform::Pty& pty, size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> got(count);
    size_t have = 0;
    WaitFor([&] { return (have += std::max(0, pty.Read(got.data() + have, int(count - have)))) == count; },
            timeout);
    got.resize(have);
    return got;
}

bool WritePty(platform::Pty& pty, const std::vector<uint8_t>& bytes) {
    return pty.Write(bytes.data(), int(bytes.size()), 1000) == int(bytes.size());
}

// The exit code of `pid`; -1 when it died of a signal or still ran after `limit` (it is killed then).
static int Reap(pid_t pid, int& status, std::chrono::milliseconds limit) {
    if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunInChild(const std::function<int()>& body, std::chrono::milliseconds limit) {
    pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    return child < 0 ? -1 : Reap(child, status, limit);
}

bool DropFileOverride() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2] = {};
    if (::syscall(SYS_capget, &header, caps) != 0) return false;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) caps[cap / 32].effective &= ~(1u << (cap % 32));
    return ::syscall(SYS_capset, &header, caps) == 0;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err,
                           const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env = {"LANG=C"};
    for (const char* name : {"PATH", "HOME", "VARNOCK_DEVICE_DIR"})
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err == out)
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Signals ignored here (SIGPIPE, say) would be ignored by the child too.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&m_pid, args[0], &actions, &attr, args.data(), envp.data()) != 0) m_pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && m_status < 0 && ::kill(m_pid, SIGKILL) == 0) ::waitpid(m_pid, nullptr, 0);
}

void ChildProcess::Signal(int sig) {
    if (m_pid > 0 && m_status < 0) ::kill(m_pid, sig);
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (m_pid <= 0) return -1;
    return m_status < 0 ? Reap(m_pid, m_status, limit) : WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

bool InNetworkNamespace() {
    return std::getenv("VARNOCK_IN_NETNS") != nullptr;
}

void RunInNetworkNamespace() {
    TempDir dir;
    ChildProcess probe({"/usr/bin/unshare", "-n", "/bin/true"}, dir / "probe", dir / "probe");
    if (probe.Wait() != 0)
        GTEST_SKIP() << "no network namespace can be made here: " << ReadFile(dir / "probe");

    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::vector<std::string> env = {"VARNOCK_IN_NETNS=1"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    ChildProcess child({"/usr/bin/unshare", "-n", fs::read_symlink("/proc/self/exe").string(),
                        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
                       dir / "out", dir / "out", env);
    const int code = child.Wait(std::chrono::seconds(60));
    const std::string out = ReadFile(dir / "out");
    if (code == 0 && out.find("[  SKIPPED ]") != std::string::npos) GTEST_SKIP() << out;
    EXPECT_EQ(code, 0) << out;
}

DroppingListener::DroppingListener(const std::string& address) {
    sockaddr_in addr{AF_INET, htons(2538), {}, {}};
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    auto* at = reinterpret_cast<sockaddr*>(&addr);
    for (int i = 0; i < 3; ++i) fds[i] = ::socket(AF_INET, SOCK_STREAM | (i ? SOCK_NONBLOCK : 0), 0);
    int one = 1;
    ::setsockopt(fds[0], SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ok = ::bind(fds[0], at, sizeof addr) == 0 && ::listen(fds[0], 0) == 0;
    for (int i : {1, 2}) ::connect(fds[i], at, sizeof addr);
}

DroppingListener::~DroppingListener() {
    for (int fd : fds) ::close(fd);
}

}  // namespace varnock::test
