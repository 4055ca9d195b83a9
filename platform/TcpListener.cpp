#include "platform/TcpListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

std::unique_ptr<TcpConnection> TcpListener::Accept(int timeoutMs) {
    if (m_fd < 0) return nullptr;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return nullptr;
    int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<TcpConnection>(fd);
}

void TcpListener::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

}  // namespace varnock::platform
