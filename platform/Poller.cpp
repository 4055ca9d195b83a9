#include "platform/Poller.h"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

namespace varnock::platform {

Error Poller::Create(std::unique_ptr<Poller>& poller) {
    poller.reset();
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return Error::FromErrno(errno);
    poller.reset(new Poller);
    poller->m_fd = fd;
    return Error::None;
}

Poller::~Poller() {
    if (m_fd >= 0) ::close(m_fd);
}

bool Poller::Watch(int fd, uint64_t key, bool in, bool out, bool edge) {
    epoll_event event{};
    event.events = (in ? EPOLLIN : 0u) | (out ? EPOLLOUT : 0u) | (edge ? EPOLLET : 0u);
    event.data.u64 = key;
    if (::epoll_ctl(m_fd, EPOLL_CTL_MOD, fd, &event) == 0) return true;
    return errno == ENOENT && ::epoll_ctl(m_fd, EPOLL_CTL_ADD, fd, &event) == 0;
}

void Poller::Forget(int fd) {
    ::epoll_ctl(m_fd, EPOLL_CTL_DEL, fd, nullptr);
}

int Poller::Wait(int timeoutMs, Ready* ready, int room) {
    epoll_event events[64];
    const int n = ::epoll_wait(m_fd, events, room < 64 ? room : 64, timeoutMs);
    for (int i = 0; i < n; ++i) {
        ready[i].key = events[i].data.u64;
        ready[i].in = events[i].events & EPOLLIN;
        ready[i].out = events[i].events & EPOLLOUT;
        ready[i].hangup = events[i].events & (EPOLLHUP | EPOLLERR);
    }
    return n > 0 ? n : 0;
}

Error NodeWatches::Create(std::unique_ptr<NodeWatches>& watches) {
    watches.reset();
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return Error::FromErrno(errno);
    watches.reset(new NodeWatches);
    watches->m_fd = fd;
    return Error::None;
}

NodeWatches::~NodeWatches() {
    if (m_fd >= 0) ::close(m_fd);
}

int NodeWatches::Add(const std::string& path) {
    const int watch = ::inotify_add_watch(m_fd, path.c_str(), IN_OPEN | IN_CLOSE);
    return watch >= 0 ? watch : -1;
}

void NodeWatches::Remove(int watch) {
    ::inotify_rm_watch(m_fd, watch);
}

std::vector<NodeWatches::Seen> NodeWatches::Take(bool* lost) {
    *lost = false;
    std::vector<Seen> seen;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(m_fd, buffer, sizeof(buffer))) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) *lost = true;
            if (event->mask & (IN_OPEN | IN_CLOSE))
                seen.push_back({event->wd, (event->mask & IN_OPEN) != 0, (event->mask & IN_CLOSE) != 0});
        }
    }
    return seen;
}

}  // namespace varnock::platform
