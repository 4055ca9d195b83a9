#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace varnock::platform {

SingleInstanceGuard::~SingleInstanceGuard() {
    if (m_fd >= 0) ::close(m_fd);
}

bool SingleInstanceGuard::Acquire(const std::filesystem::path& directory, const std::string& name) {
    if (m_fd >= 0) return true;
    std::filesystem::path file = directory / name;
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

}  // namespace varnock::platform
