#include "bridge/RealPortRegistry.h"

#include "links/RealPortFactory.h"

namespace varnock {

RealPortRegistry::RealPortRegistry() : m_hMutex(platform::OpenNamedMutex(kMutexName)) {}

RealPortRegistry::~RealPortRegistry() {
    std::lock_guard<std::recursive_mutex> lock(*m_hMutex);
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
    std::lock_guard<std::recursive_mutex> lock(*m_hMutex);
    // A link left from an earlier open would otherwise be lost unclosed.
    CloseHeld();
    return CreateRealPort(config->m_nLinkType, *config, m_pPort);
}

int RealPortRegistry::Close(ChannelConfig* config) {
    std::lock_guard<std::recursive_mutex> lock(*m_hMutex);
    if (!config || !m_pPort) return 0;
    switch (config->m_nLinkType) {
        case 0:
        case 1:
        case 2:
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
        std::lock_guard<std::recursive_mutex> lock(*m_hMutex);
        if (m_pPort) result = m_pPort->Read(buffer, count, got, timeoutMs);
    }
    if (received) *received = got;
    return result;
}

int RealPortRegistry::Write(const ByteArray& buffer, int count, uint32_t* written, uint32_t timeoutMs) {
    uint32_t sent = 0;
    int result = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(*m_hMutex);
        if (m_pPort) result = m_pPort->Write(buffer, count, sent, timeoutMs);
    }
    if (written) *written = sent;
    return result;
}

int RealPortRegistry::IsOpen() {
    std::lock_guard<std::recursive_mutex> lock(*m_hMutex);
    return m_pPort ? 1 : 0;
}

int RealPortRegistry::ResetLine() {
    return m_pPort ? m_pPort->ResetLine() : 0;
}

int RealPortRegistry::Configure(ChannelConfig* config) {
    return m_pPort && config ? m_pPort->Configure(*config) : 0;
}

}  // namespace varnock
