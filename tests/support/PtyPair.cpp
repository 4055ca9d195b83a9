#include "tests/support/PtyPair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
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
    while (done < bytes.size()) {
        ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_master, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> PtyPair::Read(size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
        uint8_t buf[512];
        ssize_t n = ::read(m_master, buf, std::min(sizeof buf, count - got.size()));
        if (n > 0) {
            got.insert(got.end(), buf, buf + n);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{m_master, POLLIN, 0};
        // A master whose slave is closed reports hang-up: pace the loop.
        if (::poll(&p, 1, static_cast<int>(left.count())) > 0 && !(p.revents & POLLIN)) ::usleep(1000);
    }
    return got;
}

bool PtyPair::SlaveTermios(termios& t) const {
    return ::tcgetattr(m_master, &t) == 0;
}

}  // namespace varnock::test
