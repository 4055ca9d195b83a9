#pragma once
// varnockd's run phase: the channels of the desktop program with a console
// in place of the main window. It connects every channel at once, reports
// each channel on a line of its own when it starts and whenever its state
// changes, and runs until it is asked to stop; then it disconnects, saves
// and hands back to the start-up for the final save and release.
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "bridge/MainWindowLink.h"
#include "common/LinkTypes.h"

namespace varnock {

class BridgeChannel;
class SettingsManager;
class VirtualPortManager;

class HeadlessRunner : public MainWindowLink {
public:
    enum class State { NotConnected, Connected, ConnectFailed, LinkLost, Disconnected };

    // `stop` is polled by the loop (set from a signal handler); the channel
    // lines go to `out`.
    explicit HeadlessRunner(const std::atomic<bool>& stop, std::FILE* out = stdout);

    // For Application::SetRunPhase.
    void Run(SettingsManager& settings);

    // Link loss, from a channel's monitor thread: its message. The loop
    // sees the channel's own flag drop and reports the channel.
    void OnLinkLost() override;

    static const char* StateName(State state);
    // "Ethernet 127.0.0.1", "serial COM3 (/dev/ttyS3)", "USB".
    static std::string DescribeLink(LinkType linkType, const std::string& linkPort,
                                    const std::string& ipAddress);

private:
    void PrintStart(int index, const BridgeChannel& channel);
    void Print(int index, const BridgeChannel& channel, State state);
    // Reports every channel whose connection has come or gone since the
    // last call; a drop is reported as `dropped`.
    void ReportChanges(VirtualPortManager& manager, State dropped);

    const std::atomic<bool>& m_stop;
    std::FILE* m_out;
    std::vector<bool> m_connected;  // as last reported; main thread only
};

}  // namespace varnock
