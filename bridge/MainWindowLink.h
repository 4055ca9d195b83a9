#pragma once
// What a channel's supervision tells the main window. The main window
// implements it and hands itself over with VirtualPortManager::SetMainWindow.
// The calls come from a channel's monitor thread; the window moves them to
// its own thread as it needs.
#include <string>

#include "common/Messages.h"
#include "platform/MessageBox.h"

namespace varnock {

// A channel as the window shows it. RepliesLost: connected, and bytes of
// the PLC's replies were lost since the last change.
enum class ChannelState { NotConnected, Connected, HostPortOpen, LinkLost, ConnectFailed, RepliesLost };

// The state in words, as the window and varnockd say it; with the network
// client that has the port open, when there is one.
inline std::string ChannelStateText(ChannelState state, const std::string& client = {}) {
    if (state == ChannelState::HostPortOpen && !client.empty())
        return platform::FormatMessageText(platform::LoadString(kStrClientConnected), client);
    return platform::LoadString(kStrChannelStates[static_cast<int>(state)]);
}

class MainWindowLink {
public:
    virtual ~MainWindowLink() = default;
    // A channel's link was declared lost; the channel is no longer connected
    // and its link is closed. The window returns to its not-connected state,
    // as its own disconnect leaves it, shows the link-lost message owned by
    // itself and returns once the user has closed it.
    virtual void OnLinkLost() = 0;
    // Channel `channel` (its place in the channel manager, from 0) is now in
    // `state`. Comes from the main thread (connect, disconnect), the monitor
    // thread (link lost) or the virtual port's event thread (the host opened
    // or closed its port), one channel's reports in the order they happened.
    // Must return at once, without waiting for the main thread. `reason`
    // says why a connect failed, in one line; empty otherwise.
    virtual void OnChannelState(int channel, ChannelState state, const std::string& reason) {
        (void)channel;
        (void)state;
        (void)reason;
    }
};

}  // namespace varnock
