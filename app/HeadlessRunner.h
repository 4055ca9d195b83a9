#pragma once
// varnockd's run phase: the channels of the desktop program with a console
// in place of the main window. It connects every channel at once, reports
// each channel on a line of its own when it starts and whenever the engine
// reports a new state for it, and runs until it is asked to stop; then it
// disconnects, saves and hands back to the start-up for the final save and
// release. Optionally it connects a failed or lost channel again by itself,
// and traces the traffic.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bridge/MainWindowLink.h"
#include "common/LinkTypes.h"
#include "platform/MessageLoop.h"

namespace varnock {

class BridgeChannel;
class SettingsManager;
class VirtualPortManager;

struct HeadlessOptions {
    // A channel whose connect failed or whose link was lost is connected
    // again after this long, twice as long after each further failure, up
    // to ten times as long. 0: never.
    uint32_t reconnectMs = 0;
    // The traffic trace's file; empty: none.
    std::string tracePath;
    // Readable once `stop` is set (the stop signals' pipe); -1: none, the
    // loop then looks at `stop` often.
    int stopFd = -1;
};

class HeadlessRunner : public MainWindowLink {
public:
    using Options = HeadlessOptions;

    // `stop` is polled by the loop (set from a signal handler); the channel
    // lines go to `out`.
    explicit HeadlessRunner(const std::atomic<bool>& stop, std::FILE* out = stdout, Options options = {});
    ~HeadlessRunner() override;

    // For Application::SetRunPhase.
    void Run(SettingsManager& settings);

    // Link loss, from a channel's monitor thread: its message.
    void OnLinkLost() override;
    // Printed on the loop's thread; may schedule a reconnect.
    void OnChannelState(int channel, ChannelState state, const std::string& reason) override;

    // "Ethernet 127.0.0.1", "serial COM3 (/dev/ttyS3)", "USB".
    static std::string DescribeLink(LinkType linkType, const std::string& linkPort,
                                    const std::string& ipAddress);

private:
    // A channel as this loop follows it.
    struct Watch {
        bool retryPending = false;
        bool retrying = false;  // the last connect was one of ours
        uint32_t due = 0;       // tick count of the next try
        uint32_t interval = 0;
        int tries = 0;
    };

    void PrintStart(int index, const BridgeChannel& channel);
    // How long the loop may wait for work, in ms of the process clock: until
    // the next reconnect is due.
    uint32_t NextWait() const;
    void Report(int channel, ChannelState state, const std::string& reason);
    // Connects the channels whose next try is due.
    void RetryDue();

    const std::atomic<bool>& m_stop;
    std::FILE* m_out;
    const Options m_options;
    VirtualPortManager* m_manager = nullptr;  // while Run runs
    std::vector<Watch> m_watch;               // main thread only
    // Tripped at the end: a report still queued then prints nothing.
    std::shared_ptr<platform::CancelToken> m_reports;
};

}  // namespace varnock
