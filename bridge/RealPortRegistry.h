#pragma once
// The channel's link holder: at most one open link, used under the one
// process-wide "RealPortMutex" so that only one link operation of the whole
// process runs at a time.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/ByteArray.h"
#include "common/ChannelConfig.h"
#include "links/RealPort.h"
#include "platform/NamedMutex.h"

namespace varnock {

class RealPortRegistry : private LinkHooks {
public:
    static constexpr const char* kMutexName = "RealPortMutex";

    RealPortRegistry();
    // Closes a link still held before it is deleted.
    ~RealPortRegistry() override;
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
    class Operation;

    int CloseHeld();
    // The link's waits give the process-wide turn up for their length; its
    // messages wait until no lock is held.
    void Wait(const std::function<void()>& wait) override;
    void Notify(int message, unsigned style) override;
    void ShowNotices();

    std::unique_ptr<RealPort> m_pPort;
    platform::NamedMutexHandle m_hMutex;
    // Keeps the link to one of this channel's threads at a time, also while
    // that thread waits without the process-wide turn.
    std::recursive_mutex m_linkLock;
    std::atomic<bool> m_bHeld{false};
    std::mutex m_noticeLock;
    std::vector<std::pair<int, unsigned>> m_notices;
};

}  // namespace varnock
