#pragma once
// Owns every channel, one per allocation row, in creation order, and
// broadcasts the main window's commands to them.
#include <cstddef>
#include <vector>

namespace varnock {

class BridgeChannel;
class SettingsManager;
class MainWindowLink;

class VirtualPortManager {
public:
    // What one channel holds open at most, as measured: its port's pty, lock
    // file and host socket, and its link. The thread that serves all ports
    // holds three more for the process.
    static constexpr long kDescriptorsPerChannel = 4;
    // Of these, what a channel opens only when it connects, after every
    // channel was made.
    static constexpr long kLinkDescriptors = 1;
    // Left free for the rest of the process: files it reads and writes, a
    // connect's socket, the trace.
    static constexpr long kDescriptorReserve = 32;

    // The process-wide manager, created on the first call.
    static VirtualPortManager* Instance();
    // Deletes the manager and with it every channel (the main window does
    // this when it is destroyed); the next Instance makes a new one.
    static void DeleteInstance();

    VirtualPortManager();
    // Deletes the channels in creation order.
    virtual ~VirtualPortManager();
    VirtualPortManager(const VirtualPortManager&) = delete;
    VirtualPortManager& operator=(const VirtualPortManager&) = delete;

    void SetSettings(SettingsManager* settings) { m_pSettings = settings; }
    // `index` is one-based: the channel for allocation row index - 1. A
    // channel for which too few descriptors are left is not made (a port
    // that cannot answer is worse than none); the first such says so once.
    void CreateChannel(int index);

    // Each returns the last channel's result (0 when there is none).
    int ConnectAll();
    int DisconnectAll();
    void SetMainWindow(MainWindowLink* window);

    int ChannelCount() const { return static_cast<int>(m_channels.size()); }
    BridgeChannel* Channel(int i) const { return m_channels.at(static_cast<std::size_t>(i)); }

private:
    std::vector<BridgeChannel*> m_channels;
    SettingsManager* m_pSettings = nullptr;
    bool m_bOutOfDescriptors = false;
};

}  // namespace varnock
