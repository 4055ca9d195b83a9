#pragma once
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/TestSupport.h"

namespace varnock::test {

// Opens the port as host software would: raw, 9600 baud (a new terminal's settings).
class HostPort {
public:
    // Waits until `done` or the time is up, pumping the main loop where this thread serves it.
    using Waiter = std::function<bool(const std::function<bool()>& done, std::chrono::milliseconds)>;

    HostPort() = default;
    explicit HostPort(const std::filesystem::path& path, Waiter wait = {}) { Open(path, std::move(wait)); }
    ~HostPort() { Close(); }
    bool Open(const std::filesystem::path& path, Waiter wait = {}) {
        Close();
        m_wait = std::move(wait);
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0) return false;
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        return ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    int Fd() const { return m_fd; }
    // Changes the line settings; returns tcsetattr's result.
    int SetLine(speed_t speed, tcflag_t set, tcflag_t clear) {
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfsetspeed(&tio, speed);
        tio.c_cflag = (tio.c_cflag & ~clear) | set;
        return ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    bool Write(const std::string& bytes) {
        size_t done = 0;
        Until(5000, [&] {
            ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            done += n > 0 ? static_cast<size_t>(n) : 0;
            return done == bytes.size() || (n < 0 && errno != EAGAIN);
        });
        return done == bytes.size();
    }
    // Reads until `count` bytes came or `timeoutMs` passed without any.
    std::string Read(size_t count, int timeoutMs = 2000) {
        std::string got;
        for (size_t before = std::string::npos; got.size() < count && got.size() != before;) {
            before = got.size();
            Until(timeoutMs, [&] {
                char buffer[4096];
                ssize_t n = ::read(m_fd, buffer, sizeof buffer);
                if (n > 0) got.append(buffer, static_cast<size_t>(n));
                return got.size() >= count || n == 0 || (n < 0 && errno != EAGAIN);
            });
        }
        return got;
    }

private:
    void Until(int timeoutMs, const std::function<bool()>& done) {
        (m_wait ? m_wait : WaitFor)(done, std::chrono::milliseconds(timeoutMs));
    }
    int m_fd = -1;
    Waiter m_wait;
};

}  // namespace varnock::test
