#pragma once
// The link over a serial port: the PLC cable on a COM port.
#include <memory>

#include "links/RealPort.h"
#include "platform/SerialLine.h"

namespace varnock {

class SerialRealPort : public RealPort {
public:
    static constexpr uint32_t kQueueSize = 5000;
    static constexpr uint32_t kBreakMs = 200;
    static constexpr uint32_t kAfterBreakMs = 100;
    static constexpr uint32_t kDefaultReadTimeoutMs = 1000;
    static constexpr uint32_t kWriteTimeoutPerByteMs = 1000;

    SerialRealPort();
    // Runs over a given line (tests pass one with seams).
    explicit SerialRealPort(std::unique_ptr<platform::SerialLine> line);
    ~SerialRealPort() override;

    OpenResult Open(const ChannelConfig& config) override;
    int ResetLine() override;
    int Configure(const ChannelConfig& config) override;
    int Close() override;
    int Purge(uint8_t which) override;
    int Read(ByteArray& buffer, int count, uint32_t& received, uint32_t timeoutMs) override;
    int Write(const ByteArray& buffer, int count, uint32_t& sent, uint32_t timeoutMs) override;

private:
    int GetCommState(platform::SerialState& state);
    void ApplyTimeoutRule(platform::SerialTimeouts& timeouts);

    std::unique_ptr<platform::SerialLine> m_line;
};

}  // namespace varnock
