#pragma once
// One thread waiting on many descriptors: an epoll set, and one inotify
// instance for the opens and closes of many device nodes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace varnock::platform {

class Poller {
public:
    static Error Create(std::unique_ptr<Poller>& poller);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Watches `fd` for input and/or room under `key`, or changes what is
    // watched; hang-up and errors are reported whatever is asked. With
    // `edge`, only as they come (a lasting hang-up once), not while they
    // last.
    bool Watch(int fd, uint64_t key, bool in, bool out, bool edge = false);
    void Forget(int fd);

    struct Ready {
        uint64_t key = 0;
        bool in = false;
        bool out = false;
        bool hangup = false;
    };
    // Waits up to timeoutMs (-1: without limit); the number of entries of
    // `ready` filled.
    int Wait(int timeoutMs, Ready* ready, int room);

private:
    Poller() = default;
    int m_fd = -1;
};

// Opens and closes of device nodes, as the kernel reports them: a close that
// a quick reopen hides from a pty master's hang-up is still seen, and an open
// is waited for without looking again and again. One descriptor for all.
class NodeWatches {
public:
    static Error Create(std::unique_ptr<NodeWatches>& watches);
    ~NodeWatches();
    NodeWatches(const NodeWatches&) = delete;
    NodeWatches& operator=(const NodeWatches&) = delete;
    int fd() const { return m_fd; }

    // The watch's number, -1 when the node cannot be watched.
    int Add(const std::string& path);
    void Remove(int watch);
    struct Seen {
        int watch = -1;
        bool opened = false;
        bool closed = false;
    };
    // What happened since the last call, without waiting. `*lost` is set
    // when the kernel dropped events: any node may have been opened and
    // closed.
    std::vector<Seen> Take(bool* lost);

private:
    NodeWatches() = default;
    int m_fd = -1;
};

}  // namespace varnock::platform
