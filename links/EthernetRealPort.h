#pragma once
// The link over TCP to the PLC's network interface, port 2538.
#include <memory>
#include <string>

#include "links/RealPort.h"
#include "platform/TcpSocket.h"

namespace varnock {

class EthernetRealPort : public RealPort {
public:
    static constexpr uint16_t kPlcPort = 2538;
    static constexpr int kReceiveBufferSize = 4096;
    static constexpr uint32_t kPollStepMs = 10;
    static constexpr uint32_t kReadSlackMs = 10;
    static constexpr uint32_t kReconnectPauseMs = 2000;
    static constexpr int kSendAttempts = 2;
    // A PLC that does not answer must not hold the link lock for long.
    static constexpr uint32_t kConnectTimeoutMs = 3000;
    // How long the attempts of one write may wait together for room in the
    // socket's queue: a PLC that stopped reading must not hold the link lock.
    static constexpr uint32_t kSendTimeoutMs = 100;

    EthernetRealPort() = default;
    ~EthernetRealPort() override;

    OpenResult Open(const ChannelConfig& config) override;
    int ResetLine() override { return 1; }
    int Configure(const ChannelConfig&) override { return 1; }
    int Close() override;
    int Purge(uint8_t which) override;
    int Read(ByteArray& buffer, int count, uint32_t& received, uint32_t timeoutMs) override;
    int Write(const ByteArray& buffer, int count, uint32_t& sent, uint32_t timeoutMs) override;

    uint16_t LocalPort() const { return static_cast<uint16_t>(m_nLocalPort); }

private:
    uint32_t Available();
    void CheckLink();
    platform::Error Connect();
    // `dropQueued`: what the socket still holds is never sent.
    void Reconnect(bool dropQueued = false);

    std::string m_strIPAddress;
    std::unique_ptr<platform::TcpSocket> m_pSocket;
    uint32_t m_nLocalPort = 0;
};

}  // namespace varnock
