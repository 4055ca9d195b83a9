#pragma once
// The channel's link holder: at most one open link, used under the one
// process-wide "RealPortMutex" so that only one link operation of the whole
// process runs at a time.
#include <cstdint>
#include <memory>

#include "common/ByteArray.h"
#include "common/ChannelConfig.h"
#include "links/RealPort.h"
#include "platform/NamedMutex.h"

namespace varnock {

class RealPortRegistry {
public:
    static constexpr const char* kMutexName = "RealPortMutex";

    RealPortRegistry();
    // Closes a link still held before it is deleted.
    ~RealPortRegistry();
    RealPortRegistry(const RealPortRegistry&) = delete;
    RealPortRegistry& operator=(const RealPortRegistry&) = delete;

    // Creates the link for the configured type and opens it; the link is
    // kept whatever the result, so that Close finds it. Open result code.
    int Open(ChannelConfig* config);
    // Closes and forgets the link; the close result, 0 when none was held.
    int Close(ChannelConfig* config);
    // The link's result; 0 and nothing transferred when no link is held.
    int Read(ByteArray& buffer, int count, uint32_t* received, uint32_t timeoutMs);
    int Write(const ByteArray& buffer, int count, uint32_t* written, uint32_t timeoutMs);
    int IsOpen();
    // Serial links only; these bypass the lock.
    int ResetLine();
    int Configure(ChannelConfig* config);

private:
    int CloseHeld();

    std::unique_ptr<RealPort> m_pPort;
    platform::NamedMutexHandle m_hMutex;
};

}  // namespace varnock
