#include "tests/support/PtyPair.h"

#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace varnock::test {

PtyPair::PtyPair() {
    int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << errno;
        if (fd >= 0) ::close(fd);
        return;
    }
    char name[128] = {};
    if (::ptsname_r(fd, name, sizeof name) != 0) {
        ADD_FAILURE() << "ptsname_r failed";
        ::close(fd);
        return;
    }
    m_master = fd;
    m_slavePath = name;
}

PtyPair::~PtyPair() {
    CloseMaster();
}

void PtyPair::CloseMaster() {
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}

bool PtyPair::Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    WaitFor([&] {
        ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        done += n > 0 ? static_cast<size_t>(n) : 0;
        return done == bytes.size() || (n < 0 && errno != EAGAIN && errno != EINTR);
    });
    return done == bytes.size();
}

std::vector<uint8_t> PtyPair::Read(size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> got;
    WaitFor(
        [&] {
            uint8_t buf[512];
            ssize_t n = ::read(m_master, buf, std::min(sizeof buf, count - got.size()));
            if (n > 0) got.insert(got.end(), buf, buf + n);
            return got.size() >= count;
        },
        timeout);
    return got;
}

bool PtyPair::SlaveTermios(termios& t) const {
    return ::tcgetattr(m_master, &t) == 0;
}

}  // namespace varnock::test
