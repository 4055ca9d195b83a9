#include "bridge/RealPortRegistry.h"

#include <condition_variable>
#include <thread>

#include "links/RealPortFactory.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"

namespace varnock {

namespace {

// Link operations take turns in the order they asked. A plain mutex lets the
// thread that just released it take it again at once, so one channel's
// back-to-back timed reads would keep every other channel's writes waiting.
// The thread whose turn it is may ask again, as a Windows mutex lets its
// owner: work it runs inside an operation must not wait for itself.
class LinkTurns {
public:
    void Enter() {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_owner == std::this_thread::get_id()) {
            ++m_depth;
            return;
        }
        uint64_t ticket = m_next++;
        m_turn.wait(lock, [&] { return m_serving == ticket; });
        m_owner = std::this_thread::get_id();
        m_depth = 1;
    }
    void Leave() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (--m_depth > 0) return;
            m_owner = std::thread::id();
            ++m_serving;
        }
        m_turn.notify_all();
    }
    // How often the calling thread holds the turn; 0 when it is not its turn.
    int DepthOfCaller() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_owner == std::this_thread::get_id() ? m_depth : 0;
    }
    // One for the process, as the named mutex is; never destroyed, so a
    // holder that outlives static destruction still finds it.
    static LinkTurns& Shared() {
        static LinkTurns* turns = new LinkTurns;
        return *turns;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_turn;
    uint64_t m_next = 0;
    uint64_t m_serving = 0;
    std::thread::id m_owner;
    int m_depth = 0;
};

}  // namespace

// One link operation: this channel's link first, then the process-wide turn
// and the named mutex. A thread waiting for the link holds no turn, so it
// holds up no other channel.
class RealPortRegistry::Operation {
public:
    explicit Operation(RealPortRegistry& registry) : m_registry(registry) {
        m_registry.m_linkLock.lock();
        LinkTurns::Shared().Enter();
        m_registry.m_hMutex->lock();
    }
    ~Operation() {
        m_registry.m_hMutex->unlock();
        LinkTurns::Shared().Leave();
        m_registry.m_linkLock.unlock();
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

private:
    RealPortRegistry& m_registry;
};

RealPortRegistry::RealPortRegistry() : m_hMutex(platform::OpenNamedMutex(kMutexName)) {}

RealPortRegistry::~RealPortRegistry() {
    Operation op(*this);
    CloseHeld();
}

int RealPortRegistry::CloseHeld() {
    m_bHeld = false;
    if (!m_pPort) return 0;
    int result = m_pPort->Close();
    m_pPort.reset();
    return result;
}

namespace {

// The main thread serves every channel: while one of its link operations
// waits, the wait runs on a thread of its own and the main thread goes on
// with the others' messages.
void WaitServingMainLoop(const std::function<void()>& wait) {
    auto& loop = platform::MessageLoop::Main();
    if (!loop.IsLoopThread()) {
        wait();
        return;
    }
    std::atomic<bool> done{false};
    std::thread aside([&] {
        wait();
        done = true;
        loop.Post([] {});  // wakes the pump
    });
    while (!done.load()) loop.Pump(std::chrono::milliseconds(50));
    aside.join();
}

}  // namespace

void RealPortRegistry::Wait(const std::function<void()>& wait) {
    LinkTurns& turns = LinkTurns::Shared();
    // Only an outermost operation gives its turn up: one nested in another
    // would give up what the outer one relies on.
    if (turns.DepthOfCaller() != 1) {
        wait();
        return;
    }
    m_hMutex->unlock();
    turns.Leave();
    WaitServingMainLoop(wait);
    turns.Enter();
    m_hMutex->lock();
}

bool RealPortRegistry::Stopping() {
    return m_pStop && m_pStop->IsSet();
}

bool RealPortRegistry::Pause(uint32_t ms) {
    if (Stopping()) return true;
    bool stopped = false;
    Wait([&] {
        if (m_pStop)
            stopped = platform::Sleep(ms, *m_pStop);
        else
            platform::Sleep(ms);
    });
    return stopped;
}

bool RealPortRegistry::PauseForData(uint32_t ms, const std::function<bool(uint32_t)>& arrived) {
    return m_bRepliesWhole ? LinkHooks::PauseForData(ms, arrived) : Pause(ms);
}

void RealPortRegistry::Notify(int message, unsigned style) {
    std::lock_guard<std::mutex> lock(m_noticeLock);
    m_notices.emplace_back(message, style);
}

void RealPortRegistry::ShowNotices() {
    // A box waits for the user; under the lock every channel would wait too.
    if (LinkTurns::Shared().DepthOfCaller() > 0) return;
    std::vector<std::pair<int, unsigned>> notices;
    {
        std::lock_guard<std::mutex> lock(m_noticeLock);
        notices.swap(m_notices);
    }
    for (const auto& [message, style] : notices) platform::ShowMessage(message, style);
}

OpenResult RealPortRegistry::Open(ChannelConfig* config) {
    if (!config) return RealPort::OPEN_FAILED;
    OpenResult result;
    {
        Operation op(*this);
        // A link left from an earlier open would otherwise be lost unclosed.
        CloseHeld();
        result = CreateRealPort(config->m_nLinkType, *config, m_pPort, CurrentLinkEnvironment(), this);
        m_bHeld = m_pPort != nullptr;
        m_openFailure = m_pPort && result != RealPort::OPEN_OK ? m_pPort->Failure() : LinkFailure{};
    }
    ShowNotices();
    return result;
}

int RealPortRegistry::Close(ChannelConfig* config) {
    Operation op(*this);
    if (!config || !m_pPort) return 0;
    switch (config->m_nLinkType) {
        case LinkType::Serial:
        case LinkType::Ethernet:
        case LinkType::Usb:
            return CloseHeld();
        default:
            // No link of another type is ever created; drop it all the same.
            m_bHeld = false;
            m_pPort.reset();
            return 0;
    }
}

int RealPortRegistry::Read(ByteArray& buffer, int count, uint32_t* received, uint32_t timeoutMs) {
    uint32_t got = 0;
    int result = 0;
    {
        Operation op(*this);
        if (m_pPort) result = m_pPort->Read(buffer, count, got, timeoutMs);
    }
    ShowNotices();
    if (received) *received = got;
    return result;
}

int RealPortRegistry::Write(const ByteArray& buffer, int count, uint32_t* written, uint32_t timeoutMs) {
    uint32_t sent = 0;
    int result = 0;
    {
        Operation op(*this);
        if (m_pPort) result = m_pPort->Write(buffer, count, sent, timeoutMs);
    }
    ShowNotices();
    if (written) *written = sent;
    return result;
}

int RealPortRegistry::IsOpen() {
    return m_bHeld ? 1 : 0;
}

int RealPortRegistry::ResetLine() {
    return m_pPort ? m_pPort->ResetLine() : 0;
}

int RealPortRegistry::Configure(ChannelConfig* config) {
    return m_pPort && config ? m_pPort->Configure(*config) : 0;
}

}  // namespace varnock
