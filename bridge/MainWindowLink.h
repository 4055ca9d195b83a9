#pragma once
// What a channel's supervision tells the main window. The main window
// implements it and hands itself over with VirtualPortManager::SetMainWindow.
// The calls come from a channel's monitor thread; the window moves them to
// its own thread as it needs.
namespace varnock {

class MainWindowLink {
public:
    virtual ~MainWindowLink() = default;
    // A channel's link was declared lost; the channel is no longer connected
    // and its link is closed. The window returns to its not-connected state,
    // as its own disconnect leaves it, shows the link-lost message owned by
    // itself and returns once the user has closed it.
    virtual void OnLinkLost() = 0;
};

}  // namespace varnock
