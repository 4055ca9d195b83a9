#pragma once
// The one thread that serves every pty port in service, and what it waits
// on: each port's master (the host's bytes, room for ours, its hang-up),
// each port's host library socket, the opens and closes of every slave (one
// inotify instance) and a wake event. It and its three descriptors exist
// while a port is in service.
//
// Nothing is looked at on a cycle while nothing happens, with one exception:
// a pty tells nobody when its host changes the line settings. So while a host
// has a port open, or its bytes wait untaken, the port is looked at on the
// ticks of one 50 ms cycle shared by all ports: 20 wake-ups a second however
// many such ports there are, none while every port is closed and drained.
//
// A pass runs one port at a time. A sink that waits for the main thread (the
// channel itself only notes a settings change) holds every port's events
// meanwhile.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Poller.h"
#include "platform/Pty.h"

namespace varnock {

class PtyPortWaiter {
public:
    static constexpr int kTickMs = 50;

    // What woke a port: bits of Serve's argument.
    enum Reason : unsigned {
        kStart = 1,    // it has just gone in service
        kOpened = 2,   // its slave was opened (also by the port itself)
        kClosed = 4,   // its slave was closed
        kMaster = 8,   // the host's bytes or hang-up
        kRoom = 16,    // room in the host's input
        kSocket = 32,  // the host library's messages
        kWriter = 64,  // bytes for the host were queued
        kTick = 128,   // the shared cycle
    };
    // What a port wants watched after a pass.
    struct Interest {
        bool hostOpen = false;   // watch the master for the host's hang-up, and
        bool data = false;       // for its bytes,
        bool room = false;       // for room in its input
        bool tick = false;       // another pass on the next tick
        bool again = false;      // another pass at once
        bool ownCloses = false;  // the pass opened and closed the slave: those closes are no host's
    };
    class Port {
    public:
        virtual Interest Serve(unsigned reasons) = 0;

    protected:
        ~Port() = default;
    };

    static PtyPortWaiter& Instance();

    // Serves `port` from now on, starting with a pass; `socket` (-1: none)
    // is watched always, the opens and closes of `slavePath` from now on.
    // 0 when no waiter can be made (no descriptor left).
    uint64_t Add(Port* port, const platform::Pty& pty, int socket);
    // No pass of the port is under way after it, and none starts again. On
    // the main loop's thread the loop runs meanwhile: a pass may wait for it.
    void Remove(uint64_t id);
    // Has the port served soon, from any thread.
    void Notify(uint64_t id, unsigned reasons);

private:
    struct Entry {
        Port* port = nullptr;
        int master = -1;
        int socket = -1;
        int watch = -1;
        bool masterWatched = false;
        bool data = false;
        bool room = false;
        bool edge = false;
        bool tick = false;
    };

    void Run();
    void Apply(uint64_t id, Entry& entry, const Interest& want);
    // Reads the slaves' opens and closes into m_due.
    void TakeWatches();
    void Stop(std::unique_lock<std::mutex>& lock);

    std::mutex m_lock;
    std::condition_variable m_idle;  // m_busy changed, or the thread ended
    std::map<uint64_t, Entry> m_ports;
    std::map<int, uint64_t> m_byWatch;
    std::map<uint64_t, unsigned> m_due;  // ports to serve, with why
    uint64_t m_nextId = 0;
    uint64_t m_busy = 0;  // the port whose pass is under way
    bool m_stop = false;
    bool m_stopping = false;
    std::thread m_thread;
    std::unique_ptr<platform::Poller> m_poller;
    std::unique_ptr<platform::NodeWatches> m_watches;
    std::unique_ptr<platform::WakeEvent> m_wake;
};

}  // namespace varnock
