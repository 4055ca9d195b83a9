#include "vport/PtyPortWaiter.h"

#include <chrono>
#include <optional>

#include "platform/MessageLoop.h"

namespace varnock {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(PtyPortWaiter::kTickMs);

// Keys of the poller: a port's id with what the descriptor is to it; id 0
// for the waiter's own.
enum Kind : uint64_t { kMasterKey = 0, kSocketKey = 1, kWakeKey = 2, kWatchesKey = 3 };
uint64_t Key(uint64_t id, Kind kind) {
    return id << 2 | kind;
}

// The next tick of the shared cycle: every port that wants one is served
// on the same wake-up.
Clock::time_point NextTick(Clock::time_point now) {
    return Clock::time_point((now.time_since_epoch() / kTick + 1) * kTick);
}

}  // namespace

PtyPortWaiter& PtyPortWaiter::Instance() {
    static PtyPortWaiter* waiter = new PtyPortWaiter;
    return *waiter;
}

uint64_t PtyPortWaiter::Add(Port* port, const platform::Pty& pty, int socket) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_idle.wait(lock, [&] { return !m_stopping; });
    if (!m_thread.joinable()) {
        m_wake = std::make_unique<platform::WakeEvent>();
        if (platform::Poller::Create(m_poller) != platform::Error::None || !m_wake->ok() ||
            !m_poller->Watch(m_wake->fd(), kWakeKey, true, false))
            return 0;
        // Without the watches, closed ports are looked at on the cycle.
        if (platform::NodeWatches::Create(m_watches) == platform::Error::None)
            m_poller->Watch(m_watches->fd(), kWatchesKey, true, false);
        m_stop = false;
        m_thread = std::thread(&PtyPortWaiter::Run, this);
    }
    const uint64_t id = ++m_nextId;
    Entry entry{port, pty.MasterFd(), socket};
    entry.watch = m_watches ? m_watches->Add(pty.SlavePath()) : -1;
    if (entry.watch >= 0) m_byWatch[entry.watch] = id;
    if (socket >= 0) m_poller->Watch(socket, Key(id, kSocketKey), true, false);
    m_ports[id] = entry;
    m_due[id] |= kStart;
    m_wake->Signal();
    return id;
}

void PtyPortWaiter::Remove(uint64_t id) {
    std::unique_lock<std::mutex> lock(m_lock);
    auto it = m_ports.find(id);
    if (it == m_ports.end()) return;
    const Entry entry = it->second;
    m_ports.erase(it);
    m_due.erase(id);
    if (entry.masterWatched) m_poller->Forget(entry.master);
    if (entry.socket >= 0) m_poller->Forget(entry.socket);
    if (entry.watch >= 0) {
        m_watches->Remove(entry.watch);
        m_byWatch.erase(entry.watch);
    }
    // A pass that ends the port's own last reference cannot wait for itself.
    if (std::this_thread::get_id() == m_thread.get_id()) return;
    platform::MessageLoop& loop = platform::MessageLoop::Main();
    while (m_busy == id) {
        if (!loop.IsLoopThread()) {
            m_idle.wait(lock);
            continue;
        }
        lock.unlock();
        loop.Pump(std::chrono::milliseconds(5));
        lock.lock();
    }
    if (m_ports.empty() && !m_stopping) Stop(lock);
}

// The last port is gone: so are the thread and its descriptors.
void PtyPortWaiter::Stop(std::unique_lock<std::mutex>& lock) {
    m_stopping = true;
    m_stop = true;
    m_wake->Signal();
    std::thread thread = std::move(m_thread);
    lock.unlock();
    thread.join();
    lock.lock();
    m_poller.reset();
    m_watches.reset();
    m_wake.reset();
    m_byWatch.clear();
    m_stopping = false;
    m_idle.notify_all();
}

void PtyPortWaiter::Notify(uint64_t id, unsigned reasons) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_ports.count(id)) return;
    m_due[id] |= reasons;
    m_wake->Signal();
}

void PtyPortWaiter::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    std::optional<Clock::time_point> tickAt;
    while (!m_stop) {
        while (!m_due.empty() && !m_stop) {
            const auto [id, reasons] = *m_due.begin();
            m_due.erase(m_due.begin());
            auto it = m_ports.find(id);
            if (it == m_ports.end() || reasons == 0) continue;
            Port* port = it->second.port;
            m_busy = id;
            lock.unlock();
            const Interest want = port->Serve(reasons);
            lock.lock();
            if (auto again = m_ports.find(id); again != m_ports.end()) Apply(id, again->second, want);
            m_busy = 0;
            m_idle.notify_all();
        }
        if (m_stop) break;
        tickAt.reset();
        for (const auto& [id, entry] : m_ports) {
            if (entry.tick) tickAt = NextTick(Clock::now());
            if (tickAt) break;
        }
        int timeoutMs = -1;
        if (tickAt) {
            const auto left = *tickAt - Clock::now();
            timeoutMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
            if (timeoutMs < 0) timeoutMs = 0;
        }
        platform::Poller::Ready ready[64];
        platform::Poller* poller = m_poller.get();
        lock.unlock();
        const int n = poller->Wait(timeoutMs, ready, 64);
        lock.lock();
        for (int i = 0; i < n; ++i) {
            const uint64_t id = ready[i].key >> 2;
            switch (static_cast<Kind>(ready[i].key & 3)) {
                case kWakeKey:
                    m_wake->Clear();
                    break;
                case kWatchesKey:
                    TakeWatches();
                    break;
                case kMasterKey:
                    if (!m_ports.count(id)) break;
                    if (ready[i].in || ready[i].hangup) m_due[id] |= kMaster;
                    if (ready[i].out) m_due[id] |= kRoom;
                    break;
                case kSocketKey:
                    if (m_ports.count(id)) m_due[id] |= kSocket;
                    break;
            }
        }
        if (tickAt && Clock::now() >= *tickAt) {
            for (auto& [id, entry] : m_ports) {
                if (entry.tick) m_due[id] |= kTick;
            }
        }
    }
    m_busy = 0;
}

void PtyPortWaiter::Apply(uint64_t id, Entry& entry, const Interest& want) {
    // While the host has the slave closed the master reports hang-up for as
    // long as it lasts: only what comes is watched then (bytes of the closed
    // session that reach the master late), and the host's next open comes as
    // a watched open.
    const bool edge = !want.hostOpen;
    const bool data = want.data || edge;
    const bool room = want.room && !edge;
    if (!entry.masterWatched || entry.data != data || entry.room != room || entry.edge != edge) {
        entry.masterWatched = m_poller->Watch(entry.master, Key(id, kMasterKey), data, room, edge);
        entry.data = data;
        entry.room = room;
        entry.edge = edge;
    }
    entry.tick = want.tick || entry.watch < 0;
    if (want.again) m_due[id] |= kMaster;
    if (want.ownCloses) {
        TakeWatches();
        if (auto due = m_due.find(id); due != m_due.end()) due->second &= ~kClosed;
    }
}

void PtyPortWaiter::TakeWatches() {
    if (!m_watches) return;
    bool lost = false;
    for (const platform::NodeWatches::Seen& seen : m_watches->Take(&lost)) {
        auto port = m_byWatch.find(seen.watch);
        if (port == m_byWatch.end()) continue;
        m_due[port->second] |= (seen.opened ? kOpened : 0u) | (seen.closed ? kClosed : 0u);
    }
    if (lost) {
        for (auto& [id, entry] : m_ports) m_due[id] |= kOpened | kClosed;
    }
}

}  // namespace varnock
