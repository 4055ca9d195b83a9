#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace varnock::platform {

SingleInstanceGuard::~SingleInstanceGuard() {
    if (m_fd >= 0) ::close(m_fd);
}

SingleInstanceGuard::Result SingleInstanceGuard::Acquire(const std::filesystem::path& directory,
                                                         const std::string& name) {
    if (m_fd >= 0) return Result::Acquired;
    std::filesystem::path file = directory / name;
    m_error.clear();
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        m_error = "cannot create the lock file " + file.string() + ": " + std::strerror(errno);
        return Result::Failed;
    }
    int locked;
    while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        // Only a lock held elsewhere means another copy runs.
        const bool held = errno == EWOULDBLOCK;
        if (!held) m_error = "cannot lock " + file.string() + ": " + std::strerror(errno);
        ::close(fd);
        return held ? Result::HeldByAnother : Result::Failed;
    }
    m_fd = fd;
    // "<pid> <program>\n": what a second copy tells its user.
    std::error_code ec;
    const std::string record = std::to_string(::getpid()) + " " +
                               std::filesystem::read_symlink("/proc/self/exe", ec).filename().string() + "\n";
    // Without it only the second copy's message is poorer.
    if (::ftruncate(fd, 0) == 0) {
        ssize_t ignored = ::pwrite(fd, record.data(), record.size(), 0);
        (void)ignored;
    }
    return Result::Acquired;
}

SingleInstanceGuard::Holder SingleInstanceGuard::ReadHolder(const std::filesystem::path& directory,
                                                            const std::string& name) {
    Holder holder;
    std::ifstream in(directory / name);
    if (!(in >> holder.pid) || holder.pid <= 0) return Holder{};
    in >> holder.program;
    return holder;
}

}  // namespace varnock::platform
