#include "links/EthernetRealPort.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/Clock.h"
#include "platform/Deadline.h"

namespace varnock {

using platform::TcpSocket;

EthernetRealPort::~EthernetRealPort() {
    if (m_pSocket) {
        m_pSocket->ShutdownSend();
        m_pSocket->Close();
        m_pSocket.reset();
    }
}

OpenResult EthernetRealPort::Open(const ChannelConfig& config) {
    m_pSocket = std::make_unique<TcpSocket>();
    m_strIPAddress = config.m_strIPAddress;
    platform::Error error = m_pSocket->Create(0);
    if (error == platform::Error::None) error = Connect();
    SetFailure({error, LinkFailure::Target::Peer, m_strIPAddress + " port " + std::to_string(kPlcPort)});
    if (error != platform::Error::None) return OPEN_FAILED;
    m_nLocalPort = m_pSocket->LocalPort();
    return OPEN_OK;
}

int EthernetRealPort::Close() {
    if (m_pSocket) {
        m_pSocket->ShutdownSend();
        m_pSocket->Close();
        m_pSocket.reset();
    }
    m_nLocalPort = 0;
    return 1;
}

uint32_t EthernetRealPort::Available() {
    uint32_t count = 0;
    if (!m_pSocket || !m_pSocket->BytesAvailable(count)) return 0;
    return count;
}

void EthernetRealPort::CheckLink() {
    uint32_t count = 0;
    if (m_pSocket && !m_pSocket->BytesAvailable(count)) {
        Pause(kReconnectPauseMs);
        Reconnect();
    }
}

platform::Error EthernetRealPort::Connect() {
    // The handshake moves no data: other links may work meanwhile, and the
    // owner's stop ends it.
    platform::Error error;
    Hooks().Wait([this, &error] {
        error = m_pSocket->Connect(m_strIPAddress, kPlcPort, kConnectTimeoutMs,
                                   [this] { return Hooks().Stopping(); });
    });
    return error;
}

void EthernetRealPort::Reconnect(bool dropQueued) {
    if (!m_pSocket || !m_pSocket->IsValid()) return;
    m_pSocket->ShutdownReceive();
    if (dropQueued)
        m_pSocket->Abort();
    else
        m_pSocket->Close();
    // From the local port of the first connection, as the PLC expects. A
    // failed connect shows up in the next transfer.
    if (m_pSocket->Create(static_cast<uint16_t>(m_nLocalPort)) == platform::Error::None) Connect();
}

int EthernetRealPort::Purge(uint8_t) {
    uint8_t drop[kReceiveBufferSize];
    for (uint32_t waiting = Available(); waiting > 0; waiting = Available()) {
        int max = waiting < sizeof drop ? static_cast<int>(waiting) : kReceiveBufferSize;
        int n = 0;
        if (m_pSocket->Receive(drop, max, n) != platform::Error::None || n == 0) break;
    }
    return 1;
}

int EthernetRealPort::Read(ByteArray& buffer, int count, uint32_t& received, uint32_t timeoutMs) {
    CheckLink();
    received = 0;
    if (count < 0) count = 0;
    int asked = count;

    uint32_t start = platform::GetTickCount();
    // An owner going away takes what is there at the next look.
    for (bool leaving = false;;) {
        uint32_t waiting = Available();
        if (waiting >= static_cast<uint32_t>(count)) break;
        if (leaving || platform::GetTickCount() - start + kReadSlackMs >= timeoutMs) {
            count = static_cast<int>(waiting);
            break;
        }
        // The wait moves no data: other links may work meanwhile. Until the
        // first bytes come it ends as they do: a command's reply comes
        // whole, and a look a whole step after it only holds the exchange up.
        leaving = waiting > 0 ? Pause(kPollStepMs) : Hooks().PauseForData(kPollStepMs, [this](uint32_t ms) {
            return m_pSocket && m_pSocket->WaitForBytes(ms);
        });
    }

    if (asked > 0 && count == 0) {
        // Nothing came; a peer that has gone away ends the read as a lost link.
        return m_pSocket && !m_pSocket->PeerClosed() ? 1 : 0;
    }

    uint8_t chunk[kReceiveBufferSize];
    while (count > 0) {
        int n = 0;
        if (m_pSocket->Receive(chunk, count < kReceiveBufferSize ? count : kReceiveBufferSize, n) !=
                platform::Error::None ||
            n == 0)
            return 0;  // an error, or the peer closed the connection
        buffer.Append(chunk, n);
        count -= n;
        received += static_cast<uint32_t>(n);
    }
    return 1;
}

int EthernetRealPort::Write(const ByteArray& buffer, int count, uint32_t& sent, uint32_t) {
    sent = 0;
    CheckLink();
    Purge(PURGE_BOTH);
    if (!m_pSocket) return 0;
    if (count > buffer.GetSize()) count = buffer.GetSize();
    if (count < 0) count = 0;
    std::vector<uint8_t> transfer(buffer.data(), buffer.data() + count);

    int attempt = 0;
    // A PLC that closed the connection (restarted, say) would take these
    // bytes without a word and never answer them: the first attempt has
    // failed on a lost connection.
    if (m_pSocket->IsValid() && m_pSocket->PeerClosed()) {
        ++attempt;
        Pause(kReconnectPauseMs);
        Reconnect();
    }
    using Ms = std::chrono::milliseconds;
    Ms roomLeft{kSendTimeoutMs};
    for (; attempt < kSendAttempts; ++attempt) {
        const auto start = platform::SteadyClock::now();
        int result = 0;
        const platform::Error error =
            m_pSocket->Send(transfer.data(), count, static_cast<uint32_t>(roomLeft.count()), result);
        if (error == platform::Error::None || result > 0) {
            sent = static_cast<uint32_t>(result);
            // The PLC reads frames by their length: the rest of one cut short
            // would be taken for the start of the next. The connection goes,
            // and the part of the frame still queued with it.
            if (result < count) Reconnect(true);
            return 1;
        }
        roomLeft -= std::min(roomLeft, std::chrono::duration_cast<Ms>(platform::SteadyClock::now() - start));
        // No reconnect after the last attempt: nobody would use it.
        if (attempt + 1 < kSendAttempts && error.IsLost()) {
            Pause(kReconnectPauseMs);
            Reconnect();
        }
    }
    // Nothing went out.
    return 0;
}

}  // namespace varnock
