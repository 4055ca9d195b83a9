#pragma once
// The channel's link holder: at most one open link, used under the one
// process-wide "RealPortMutex" so that only one link operation of the whole
// process runs at a time.
//
// An operation gives the process-wide turn up only while it waits without
// moving data on any link: a pause before a reconnect, a connect's
// handshake, and the 10 ms steps in which a read waits for data to arrive.
// On the main thread the wait runs aside while the main thread serves the
// other channels' messages.
// Meanwhile it keeps its own link (m_linkLock): no other operation on that
// link, such as a write with its purge or a close, comes between its looks,
// and what other channels do on their own links does not touch it. Each
// operation thus stays one whole on its link, while the turn is held only
// for what moves data or changes a link; a timed read of one channel no
// longer holds every other channel's writes back for its whole time-out.
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
#include "platform/Clock.h"
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
    // kept whatever the result, so that Close finds it.
    OpenResult Open(ChannelConfig* config);
    // Why the last Open failed; nothing known when it did not.
    const LinkFailure& OpenFailure() const { return m_openFailure; }
    // Closes and forgets the link; the close result, 0 when none was held.
    int Close(ChannelConfig* config);
    // The link's result; 0 and nothing transferred when no link is held.
    int Read(ByteArray& buffer, int count, uint32_t* received, uint32_t timeoutMs);
    int Write(const ByteArray& buffer, int count, uint32_t* written, uint32_t timeoutMs);
    int IsOpen();
    // Serial links only; these bypass the lock.
    int ResetLine();
    int Configure(ChannelConfig* config);
    // While on, a read that has nothing yet ends its wait as the first bytes
    // come instead of looking again a step later: for the commands of
    // connect and disconnect, whose replies come whole and which run for
    // every channel one after another. Other reads keep their steps.
    void AwaitRepliesWhole(bool on) { m_bRepliesWhole = on; }
    // The owner's stop: once set, the link's pauses and handshakes end at
    // once. None: they run their length. Set before the link is used.
    void SetStopEvent(platform::StopEvent* stop) { m_pStop = stop; }

private:
    class Operation;

    int CloseHeld();
    // The link's waits give the process-wide turn up for their length; its
    // messages wait until no lock is held.
    void Wait(const std::function<void()>& wait) override;
    bool Pause(uint32_t ms) override;
    // Only while replies are awaited whole (see AwaitRepliesWhole).
    bool PauseForData(uint32_t ms, const std::function<bool(uint32_t)>& arrived) override;
    void Notify(int message, unsigned style) override;
    bool Stopping() override;
    void ShowNotices();

    std::unique_ptr<RealPort> m_pPort;
    LinkFailure m_openFailure;
    platform::NamedMutexHandle m_hMutex;
    platform::StopEvent* m_pStop = nullptr;
    // Keeps the link to one of this channel's threads at a time, also while
    // that thread waits without the process-wide turn.
    std::recursive_mutex m_linkLock;
    std::atomic<bool> m_bHeld{false};
    std::atomic<bool> m_bRepliesWhole{false};
    std::mutex m_noticeLock;
    std::vector<std::pair<int, unsigned>> m_notices;
};

}  // namespace varnock
