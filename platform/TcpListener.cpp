#include "platform/TcpListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace varnock::platform {

TcpConnection::~TcpConnection() {
    Close();
}

int TcpConnection::Read(uint8_t* data, int max, int timeoutMs) {
    if (m_fd < 0) return -1;
    pollfd p{m_fd, POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    ssize_t n = ::recv(m_fd, data, static_cast<size_t>(max), 0);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
}

bool TcpConnection::Write(const uint8_t* data, int count) {
    int done = 0;
    while (m_fd >= 0 && done < count) {
        ssize_t n = ::send(m_fd, data + done, static_cast<size_t>(count - done), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<int>(n);
    }
    return done == count;
}

bool TcpConnection::PrepareServed(int idleS, int intervalS, int count) {
    if (m_fd < 0) return false;
    const int flags = ::fcntl(m_fd, F_GETFL);
    int on = 1;
    const unsigned userTimeoutMs = static_cast<unsigned>((idleS + intervalS * count) * 1000);
    return flags >= 0 && ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           ::setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS) == 0 &&
           ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof intervalS) == 0 &&
           ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 &&
           ::setsockopt(m_fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) == 0 &&
           ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

int TcpConnection::ReadNow(uint8_t* data, int max) {
    if (m_fd < 0) return -1;
    for (;;) {
        ssize_t n = ::recv(m_fd, data, static_cast<size_t>(max), MSG_DONTWAIT);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

int TcpConnection::WriteNow(const uint8_t* data, int count) {
    if (m_fd < 0) return -1;
    for (;;) {
        ssize_t n = ::send(m_fd, data, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

void TcpConnection::Reset() {
    if (m_fd < 0) return;
    linger l{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
}

void TcpConnection::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

TcpListener::~TcpListener() {
    Close();
}

Error TcpListener::Listen(const std::string& address, uint16_t port) {
    Close();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return Error::InvalidAddress;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Error::FromErrno(errno);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
        const Error error = Error::FromErrno(errno);
        ::close(fd);
        return error;
    }
    m_fd = fd;
    return Error::None;
}

std::unique_ptr<TcpConnection> TcpListener::Accept(int timeoutMs, std::string* peer) {
    if (m_fd < 0) return nullptr;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return nullptr;
    sockaddr_in from{};
    socklen_t length = sizeof from;
    int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    if (peer) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        *peer = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
    }
    return std::make_unique<TcpConnection>(fd);
}

void TcpListener::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

}  // namespace varnock::platform
