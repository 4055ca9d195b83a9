#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/Deadline.h"
#include "platform/StopSignals.h"

namespace varnock::platform {
namespace {

bool SetNonBlocking(int fd, bool on) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

TcpSocket::~TcpSocket() {
    Close();
}

int TcpSocket::Fail(int err) {
    m_lastError = Error::FromErrno(err);
    return -1;
}

bool TcpSocket::Create(uint16_t localPort) {
    Close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Fail(errno);
        return false;
    }
    // On every socket: a later one may bind to this one's port only if both
    // allow it, and a closed connection holds its port until the peer has
    // acknowledged the close, one round trip.
    int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        Fail(errno);
        ::close(fd);
        return false;
    }
    if (localPort != 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(localPort);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            Fail(errno);
            ::close(fd);
            return false;
        }
    }
    m_fd = fd;
    m_bound = localPort != 0;
    m_lastError = Error::None;
    return true;
}

bool TcpSocket::Connect(const std::string& address, uint16_t port, uint32_t timeoutMs,
                        const std::function<bool()>& cancelled) {
    if (m_fd < 0) {
        m_lastError = Error::NotOpen;
        return false;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        m_lastError = Error::InvalidAddress;
        return false;
    }
    // Connect without blocking so that an unanswered attempt ends on time.
    if (!SetNonBlocking(m_fd, true)) {
        Fail(errno);
        return false;
    }
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    int rc = ::connect(m_fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    // From a given local port to the same peer again: until the peer has
    // acknowledged the close of the previous connection, the kernel still
    // holds that connection and refuses this one.
    auto going = [&] { return !cancelled || !cancelled(); };
    while (rc != 0 && errno == EADDRNOTAVAIL && m_bound && MsUntil(deadline) > 0 && going()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        rc = ::connect(m_fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR) {
        Fail(errno);
        return false;
    }
    if (rc != 0) {
        // A stop of the process, or of the caller, does not wait for a PLC
        // that does not answer.
        constexpr int kCancelLookMs = 10;
        int ready = 0;
        for (int left = MsUntil(deadline); ready == 0 && left > 0 && going(); left = MsUntil(deadline)) {
            ready = PollFd(m_fd, POLLOUT, cancelled ? std::min(left, kCancelLookMs) : left, StopSignalFd());
            if (ready == 0 && StopRequested()) break;
        }
        if (ready <= 0) {
            m_lastError = ready == 0 ? Error::TimedOut : Error::Other;
            return false;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) {
            Fail(err);
            return false;
        }
    }
    if (!SetNonBlocking(m_fd, false)) {
        Fail(errno);
        return false;
    }
    m_lastError = Error::None;
    return true;
}

uint16_t TcpSocket::LocalPort() const {
    if (m_fd < 0) return 0;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
    return ntohs(local.sin_port);
}

bool TcpSocket::BytesAvailable(uint32_t& count) const {
    count = 0;
    if (m_fd < 0) return false;
    int n = 0;
    if (::ioctl(m_fd, FIONREAD, &n) != 0 || n < 0) return false;
    count = static_cast<uint32_t>(n);
    return true;
}

int TcpSocket::Receive(uint8_t* data, int max) {
    if (m_fd < 0) {
        m_lastError = Error::NotOpen;
        return -1;
    }
    if (max <= 0) return 0;
    for (;;) {
        ssize_t n = ::recv(m_fd, data, static_cast<size_t>(max), MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return Fail(errno);
    }
}

bool TcpSocket::PeerClosed() {
    if (m_fd < 0) return true;
    uint8_t byte = 0;
    for (;;) {
        ssize_t n = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) return false;
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        Fail(errno);
        return true;
    }
}

int TcpSocket::Send(const uint8_t* data, int count, uint32_t timeoutMs) {
    if (m_fd < 0) {
        m_lastError = Error::NotOpen;
        return -1;
    }
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    int sent = 0;
    while (sent < count) {
        // MSG_NOSIGNAL: a lost peer is an error code, never SIGPIPE.
        ssize_t n = ::send(m_fd, data + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(errno);
            return sent > 0 ? sent : -1;
        }
        if (PollFd(m_fd, POLLOUT, MsUntil(deadline)) <= 0) {
            m_lastError = Error::WouldBlock;
            return sent > 0 ? sent : -1;
        }
    }
    m_lastError = Error::None;
    return sent;
}

void TcpSocket::ShutdownSend() {
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_WR);
}

void TcpSocket::ShutdownReceive() {
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_RD);
}

void TcpSocket::Abort() {
    if (m_fd < 0) return;
    linger reset{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    Close();
}

void TcpSocket::Close() {
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
    m_bound = false;
}

}  // namespace varnock::platform
