#include "platform/LocalDatagram.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varnock::platform {
namespace fs = std::filesystem;

namespace {

bool MakeAddress(const fs::path& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty() || text.size() >= sizeof(address->sun_path)) return false;
    std::memcpy(address->sun_path, text.c_str(), text.size());
    return true;
}

}  // namespace

Error LocalDatagramSocket::Bind(const fs::path& path, std::unique_ptr<LocalDatagramSocket>& bound) {
    bound.reset();
    auto fail = [](int e) { return Error::FromErrno(e); };
    sockaddr_un address{};
    if (!MakeAddress(path, &address)) return Error(Error::InvalidAddress, ENAMETOOLONG);
    std::unique_ptr<LocalDatagramSocket> socket(new LocalDatagramSocket);
    socket->m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket->m_fd < 0) return fail(errno);
    int on = 1;
    // A small queue: a burst beyond it is dropped by the sender, not kept.
    int queue = 16 * 1024;
    if (::setsockopt(socket->m_fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 ||
        ::setsockopt(socket->m_fd, SOL_SOCKET, SO_RCVBUF, &queue, sizeof(queue)) != 0)
        return fail(errno);
    // Only a socket is ever replaced (a dead process's): any other file at
    // the name is somebody's, and the bind fails on it.
    struct stat before {};
    if (::lstat(path.c_str(), &before) == 0 && S_ISSOCK(before.st_mode)) ::unlink(path.c_str());
    // The directory is private already; the mode keeps the file so when
    // the directory is opened up by hand.
    if (::bind(socket->m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::chmod(path.c_str(), 0600) != 0)
        return fail(errno);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return fail(errno);
    socket->m_path = path;
    socket->m_inode = st.st_ino;
    bound = std::move(socket);
    return Error::None;
}

LocalDatagramSocket::~LocalDatagramSocket() {
    // Only our own socket file: the name may have been taken over since.
    struct stat st {};
    if (!m_path.empty() && ::lstat(m_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == m_inode)
        ::unlink(m_path.c_str());
    if (m_fd >= 0) ::close(m_fd);
}

long LocalDatagramSocket::Receive(uint8_t* buffer, size_t room, Sender* sender) {
    static_assert(sizeof(Sender::address) >= sizeof(sockaddr_un));
    for (;;) {
        iovec io{buffer, room};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        sockaddr_un from{};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof(from);
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        ssize_t n = ::recvmsg(m_fd, &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        bool ours = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
                ucred sender{};
                std::memcpy(&sender, CMSG_DATA(c), sizeof(sender));
                ours = sender.uid == ::getuid();
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                // Descriptors are never asked for: close what a sender slipped in.
                size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; ++i) {
                    int fd = -1;
                    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                    if (fd >= 0) ::close(fd);
                }
            }
        }
        if (!ours) continue;
        if (sender) {
            sender->length = message.msg_namelen;
            std::memcpy(sender->address, &from, sizeof(from));
        }
        return static_cast<long>(n);
    }
}

bool LocalDatagramSocket::Answer(const Sender& sender, const uint8_t* data, size_t size) {
    if (sender.length <= sizeof(sa_family_t) || sender.length > sizeof(sockaddr_un)) return false;
    return ::sendto(m_fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(sender.address),
                    sender.length) == static_cast<ssize_t>(size);
}

bool SendLocalDatagram(const fs::path& path, const uint8_t* data, size_t size) {
    sockaddr_un address{};
    if (!MakeAddress(path, &address)) return false;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t n = ::sendto(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                         sizeof(address));
    ::close(fd);
    return n == static_cast<ssize_t>(size);
}

}  // namespace varnock::platform
