#pragma once
// The host software's side of a virtual port.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace varnock::test {

// Opens the port as host software would: raw mode at 9600 baud (a session
// starts with the settings of a new terminal).
class HostPort {
public:
    explicit HostPort(const std::filesystem::path& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0) return;
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    ~HostPort() { Close(); }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    // Changes the line settings; returns tcsetattr's result.
    int SetLine(speed_t speed, tcflag_t set, tcflag_t clear) {
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfsetspeed(&tio, speed);
        tio.c_cflag = (tio.c_cflag & ~clear) | set;
        return ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    bool Write(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = Wait(POLLOUT) ? ::write(m_fd, bytes.data() + done, bytes.size() - done) : -1;
            if (n < 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads until `count` bytes came or `timeoutMs` passed without any.
    std::string Read(size_t count, int timeoutMs = 2000) {
        std::string got;
        char buffer[4096];
        for (ssize_t n = 1; got.size() < count && n > 0;) {
            n = Wait(POLLIN, timeoutMs) ? ::read(m_fd, buffer, sizeof buffer) : 0;
            if (n > 0) got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

private:
    bool Wait(short events, int timeoutMs = 2000) {
        pollfd p{m_fd, events, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }
    int m_fd;
};

}  // namespace varnock::test
