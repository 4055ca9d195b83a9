#pragma once
// A channel's state as the main window shows it, told to the window at each
// of the engine's own transitions. They come from the main thread (connect,
// disconnect), the monitor thread (link lost) and the virtual port's event
// thread (the host opens or closes its port); one lock keeps each change and
// its report together, so the window gets a channel's reports in order.
//
//   NotConnected, LinkLost, ConnectFailed
//       -- connect succeeds --> Connected, or HostPortOpen while the host
//                               has its port open
//       -- connect fails -----> ConnectFailed
//   Connected <-- the host opens / closes its port --> HostPortOpen
//   Connected, HostPortOpen -- link lost --> LinkLost
//   Connected, HostPortOpen -- reply bytes lost --> RepliesLost, which the
//                               host's port changes and a loss of the link
//                               leave as from Connected
//   any -- disconnect --> NotConnected
//
// Every connect and disconnect is reported, also one that leaves the state
// as it was (a failed retry); the host's port only while connected.
#include <atomic>
#include <mutex>
#include <string>

#include "bridge/MainWindowLink.h"

namespace varnock {

class ChannelStatus {
public:
    // Reports go to whichever window `window` holds at the time.
    explicit ChannelStatus(const std::atomic<MainWindowLink*>& window) : m_window(window) {}
    ChannelStatus(const ChannelStatus&) = delete;
    ChannelStatus& operator=(const ChannelStatus&) = delete;

    // The channel's place in the manager, as the reports name it.
    void SetIndex(int index) { m_index = index; }

    // Each returns the handler's result it is given. A failed connect's
    // `reason` goes with its report.
    int ConnectResult(int result, const std::string& reason = {});
    int Disconnected(int result);
    void HostPort(bool open);
    void LinkLost();
    void RepliesLost();

    ChannelState State() const;

private:
    // Under m_lock.
    void Set(ChannelState state, const std::string& reason = {});

    const std::atomic<MainWindowLink*>& m_window;
    std::atomic<int> m_index{-1};
    mutable std::mutex m_lock;
    ChannelState m_state = ChannelState::NotConnected;
    bool m_hostOpen = false;  // as the last open-state event said
};

}  // namespace varnock
