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

Error TcpSocket::Create(uint16_t localPort) {
    Close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Error::FromErrno(errno);
    // On every socket: a later one may bind to this one's port only if both
    // allow it, and a closed connection holds its port until the peer has
    // acknowledged the close, one round trip.
    int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        const Error error = Error::FromErrno(errno);
        ::close(fd);
        return error;
    }
    if (localPort != 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(localPort);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            const Error error = Error::FromErrno(errno);
            ::close(fd);
            return error;
        }
    }
    m_fd = fd;
    m_bound = localPort != 0;
    return Error::None;
}

Error TcpSocket::Connect(const std::string& address, uint16_t port, uint32_t timeoutMs,
                         const std::function<bool()>& cancelled) {
    if (m_fd < 0) return Error::NotOpen;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return Error::InvalidAddress;
    // Connect without blocking so that an unanswered attempt ends on time.
    if (!SetNonBlocking(m_fd, true)) return Error::FromErrno(errno);
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
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR) return Error::FromErrno(errno);
    if (rc != 0) {
        // A stop of the process, or of the caller, does not wait for a PLC
        // that does not answer.
        constexpr int kCancelLookMs = 10;
        int ready = 0;
        for (int left = MsUntil(deadline); ready == 0 && left > 0 && going(); left = MsUntil(deadline)) {
            ready = PollFd(m_fd, POLLOUT, cancelled ? std::min(left, kCancelLookMs) : left, StopSignalFd());
            if (ready == 0 && StopRequested()) break;
        }
        if (ready <= 0) return ready == 0 ? Error::TimedOut : Error::Other;
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) return Error::FromErrno(err);
    }
    if (!SetNonBlocking(m_fd, false)) return Error::FromErrno(errno);
    return Error::None;
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

Error TcpSocket::Receive(uint8_t* data, int max, int& received) {
    received = 0;
    if (m_fd < 0) return Error::NotOpen;
    if (max <= 0) return Error::None;
    for (;;) {
        ssize_t n = ::recv(m_fd, data, static_cast<size_t>(max), MSG_DONTWAIT);
        if (n >= 0) {
            received = static_cast<int>(n);
            return Error::None;
        }
        if (errno != EINTR) return Error::FromErrno(errno);
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
        // Failed: as good as closed.
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

bool TcpSocket::WaitForBytes(uint32_t timeoutMs) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    uint32_t count = 0;
    if (m_fd >= 0 && PollFd(m_fd, POLLIN, MsUntil(deadline)) > 0 && BytesAvailable(count) && count > 0)
        return true;
    std::this_thread::sleep_until(deadline);
    return false;
}

Error TcpSocket::Send(const uint8_t* data, int count, uint32_t timeoutMs, int& sent) {
    sent = 0;
    if (m_fd < 0) return Error::NotOpen;
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (sent < count) {
        // MSG_NOSIGNAL: a lost peer is an error code, never SIGPIPE.
        ssize_t n = ::send(m_fd, data + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Error::FromErrno(errno);
        if (PollFd(m_fd, POLLOUT, MsUntil(deadline)) <= 0) return Error::WouldBlock;
    }
    return Error::None;
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
