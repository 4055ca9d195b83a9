#include "bridge/RealPortRegistry.h"

#include <condition_variable>
#include <mutex>

#include "links/RealPortFactory.h"

namespace varnock {

namespace {

// Link operations take turns in the order they asked. A plain mutex lets the
// thread that just released it take it again at once, so one channel's
// back-to-back timed reads would keep every other channel's writes waiting.
class LinkTurns {
public:
    void Enter() {
        std::unique_lock<std::mutex> lock(m_lock);
        uint64_t ticket = m_next++;
        m_turn.wait(lock, [&] { return m_serving == ticket; });
    }
    void Leave() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_serving;
        }
        m_turn.notify_all();
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
};

// The turn, then the named mutex, for one link operation.
class LinkLock {
public:
    explicit LinkLock(std::recursive_mutex& mutex) : m_mutex(mutex) {
        LinkTurns::Shared().Enter();
        m_mutex.lock();
    }
    ~LinkLock() {
        m_mutex.unlock();
        LinkTurns::Shared().Leave();
    }
    LinkLock(const LinkLock&) = delete;
    LinkLock& operator=(const LinkLock&) = delete;

private:
    std::recursive_mutex& m_mutex;
};

}  // namespace

RealPortRegistry::RealPortRegistry() : m_hMutex(platform::OpenNamedMutex(kMutexName)) {}

RealPortRegistry::~RealPortRegistry() {
    LinkLock lock(*m_hMutex);
    CloseHeld();
}

int RealPortRegistry::CloseHeld() {
    if (!m_pPort) return 0;
    int result = m_pPort->Close();
    m_pPort.reset();
    return result;
}

int RealPortRegistry::Open(ChannelConfig* config) {
    if (!config) return RealPort::OPEN_FAILED;
    LinkLock lock(*m_hMutex);
    // A link left from an earlier open would otherwise be lost unclosed.
    CloseHeld();
    return CreateRealPort(config->m_nLinkType, *config, m_pPort);
}

int RealPortRegistry::Close(ChannelConfig* config) {
    LinkLock lock(*m_hMutex);
    if (!config || !m_pPort) return 0;
    switch (config->m_nLinkType) {
        case LinkType::Serial:
        case LinkType::Ethernet:
        case LinkType::Usb:
            return CloseHeld();
        default:
            // No link of another type is ever created; drop it all the same.
            m_pPort.reset();
            return 0;
    }
}

int RealPortRegistry::Read(ByteArray& buffer, int count, uint32_t* received, uint32_t timeoutMs) {
    uint32_t got = 0;
    int result = 0;
    {
        LinkLock lock(*m_hMutex);
        if (m_pPort) result = m_pPort->Read(buffer, count, got, timeoutMs);
    }
    if (received) *received = got;
    return result;
}

int RealPortRegistry::Write(const ByteArray& buffer, int count, uint32_t* written, uint32_t timeoutMs) {
    uint32_t sent = 0;
    int result = 0;
    {
        LinkLock lock(*m_hMutex);
        if (m_pPort) result = m_pPort->Write(buffer, count, sent, timeoutMs);
    }
    if (written) *written = sent;
    return result;
}

int RealPortRegistry::IsOpen() {
    LinkLock lock(*m_hMutex);
    return m_pPort ? 1 : 0;
}

int RealPortRegistry::ResetLine() {
    return m_pPort ? m_pPort->ResetLine() : 0;
}

int RealPortRegistry::Configure(ChannelConfig* config) {
    return m_pPort && config ? m_pPort->Configure(*config) : 0;
}

}  // namespace varnock
