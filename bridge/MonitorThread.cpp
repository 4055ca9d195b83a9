#include "bridge/BridgeChannel.h"
#include "bridge/ChannelThreads.h"
#include "bridge/MainWindowLink.h"
#include "common/Messages.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"

namespace varnock {

namespace {

constexpr uint32_t kProbePeriodMs = 30000;
constexpr int kProbeFailuresForLoss = 4;

// After the flags: the link is closed on the main thread, without a
// disconnect command, then the main window is told.
void LinkLost(BridgeChannel* channel) {
    channel->Window().SendMessage(WM_CHANNEL_CLOSE_LINK, 0, 0);
    channel->Status().LinkLost();
    if (MainWindowLink* window = channel->MainWindow())
        window->OnLinkLost();
    else
        platform::ShowMessage(kMsgLinkLost, platform::kMbIconError);
}

}  // namespace

unsigned MonitorThread(BridgeChannel* channel) {
    bool probing = false;
    uint32_t probeStart = 0;
    int failures = 0;

    // A host settings change waits for a moment when no exchange runs; it
    // goes out before the host bytes that came after it.
    auto syncCommParams = [channel] {
        if (channel->m_bCommParamsPending.exchange(0) != 0)
            channel->Window().SendMessage(WM_CHANNEL_SYNC_COMM_PARAMS, 0, 0);
    };

    while (channel->m_bRunMonitor.load() != 0) {
        // Nothing to do until a flag changes, which wakes the monitor.
        uint32_t sleep = platform::WakeSignal::kForever;
        if (channel->m_bIdle.load() == 1 && channel->m_bConnected.load()) {
            // Looked at first: a change made before these bytes is seen too.
            const bool hostData = channel->m_bLDRDataUnProcessed.load() == 1;
            syncCommParams();
            if (hostData) {
                channel->m_bIdle = 0;
                channel->StartWorker(SendDataThread);
            } else if (!probing && channel->ActiveLinkType() == LinkType::Ethernet) {
                probeStart = platform::GetTickCount();
                failures = 0;
                probing = true;
                channel->m_bIdle = 0;
            }
        }
        if (probing) {
            if (channel->ActiveLinkType() == LinkType::Ethernet &&
                channel->m_bLDRDataUnProcessed.load() != 1 && channel->m_bConnected.load()) {
                syncCommParams();
                uint32_t now = platform::GetTickCount();
                if (now - probeStart >= kProbePeriodMs) {
                    probeStart = now;
                    LRESULT probed = channel->Window().SendMessage(WM_CHANNEL_PROBE, 0, 0);
                    // A probe cut short by teardown says nothing about the link.
                    if (channel->m_bRunMonitor.load() == 0) break;
                    if (probed != 0)
                        failures = 0;
                    else
                        ++failures;
                    if (failures >= kProbeFailuresForLoss) {
                        channel->m_bConnected = 0;
                        channel->m_bIdle = 1;
                        probing = false;
                        LinkLost(channel);
                    }
                }
                // Until the next probe is due.
                const uint32_t since = platform::GetTickCount() - probeStart;
                if (probing) sleep = since < kProbePeriodMs ? kProbePeriodMs - since : 0;
            } else {
                probing = false;
                channel->m_bIdle = 1;
                // The next round starts the send if host data waits.
                sleep = 0;
            }
        }
        channel->WaitForWork(sleep);
    }
    // Teardown waits for this acknowledgement.
    channel->m_bRunMonitor = 1;
    return 0;
}

}  // namespace varnock
