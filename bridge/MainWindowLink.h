#pragma once
// What a channel's supervision needs of the main window when it declares a
// link lost. The main window implements it and hands itself over with
// VirtualPortManager::SetMainWindow. The calls come from a channel's monitor
// thread; the window moves them to its own thread as it needs.
namespace varnock {

class MainWindowLink {
public:
    // Control IDs of the main window.
    static constexpr int kEditButton = 1001;
    static constexpr int kConnectButton = 1002;
    static constexpr int kDisconnectButton = 1004;

    virtual ~MainWindowLink() = default;
    virtual void EnableControl(int controlId, bool enable) = 0;
    virtual void ClearConnectedFlag() = 0;
    // Shows string `number` owned by the window and returns once the user
    // has closed it.
    virtual int ShowOwnedMessage(int number, unsigned style) = 0;
};

}  // namespace varnock
