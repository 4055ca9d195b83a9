#include "bridge/VirtualPortManager.h"

#include <algorithm>
#include <string>

#include "bridge/BridgeChannel.h"
#include "bridge/RealPortRegistry.h"
#include "common/Messages.h"
#include "platform/Descriptors.h"
#include "platform/MessageBox.h"
#include "platform/StopSignals.h"
#include "settings/SettingsManager.h"

namespace varnock {

namespace {

VirtualPortManager* g_manager = nullptr;

}  // namespace

VirtualPortManager* VirtualPortManager::Instance() {
    if (!g_manager) g_manager = new VirtualPortManager();
    return g_manager;
}

void VirtualPortManager::DeleteInstance() {
    delete g_manager;
    g_manager = nullptr;
}

VirtualPortManager::VirtualPortManager() : m_pSettings(SettingsManager::GetInstance()) {}

VirtualPortManager::~VirtualPortManager() {
    for (BridgeChannel* channel : m_channels) channel->AskThreadsToStop();
    for (BridgeChannel* channel : m_channels) delete channel;
    m_channels.clear();
    if (g_manager == this) g_manager = nullptr;
}

void VirtualPortManager::CreateChannel(int index) {
    if (!m_pSettings || m_bOutOfDescriptors) return;
    AllocationRow* row = m_pSettings->GetRow(index - 1);
    if (!row) return;
    const platform::DescriptorBudget budget = platform::CurrentDescriptorBudget();
    // The links of the channels made so far are still to come.
    const long open = budget.open + ChannelCount() * kLinkDescriptors;
    if (budget.limit - open < kDescriptorsPerChannel + kDescriptorReserve) {
        m_bOutOfDescriptors = true;
        const long rows = std::max(m_pSettings->GetRowCount(), index);
        const long needed = open + (rows - index + 1) * kDescriptorsPerChannel + kDescriptorReserve;
        platform::ShowMessage(kMsgTooFewDescriptors, platform::kMbIconError,
                              "the limit is " + std::to_string(budget.limit) + ", " + std::to_string(rows) +
                                  " channels need " + std::to_string(needed) + "; only the first " +
                                  std::to_string(ChannelCount()) + " are made");
        return;
    }

    auto* config = new ChannelConfig();
    config->m_nLinkType = row->m_nLinkType;
    config->m_strLinkPort = row->m_strLinkPort;
    config->m_strVirtualPort = row->m_strVirtualPort;
    config->m_bNoConnectCommand = row->m_bNoConnectCommand;
    if (config->m_nLinkType == LinkType::Ethernet) config->m_strIPAddress = row->m_strIPAddress;

    // Trial open: report an unusable link now, but release it again; the
    // link is opened for use only when the user connects. Skipped once the
    // process is stopping: an unanswered attempt would hold the stop up.
    if (!platform::StopRequested()) {
        RealPortRegistry trial;
        if (trial.Open(config) != RealPort::OPEN_OK && !platform::StopRequested())
            platform::ShowMessage(kMsgPortNotOpened, platform::kMbIconWarning, config->m_strLinkPort,
                                  ReasonLine(trial.OpenFailure()));
        trial.Close(config);
    }

    auto* channel = new BridgeChannel(config, m_pSettings);
    channel->SetSettings(m_pSettings);
    channel->Status().SetIndex(ChannelCount());
    m_channels.push_back(channel);
}

int VirtualPortManager::ConnectAll() {
    int result = 0;
    for (BridgeChannel* channel : m_channels) {
        if (platform::StopRequested()) break;
        result = static_cast<int>(channel->Window().SendMessage(WM_CHANNEL_CONNECT, 0, 0));
    }
    return result;
}

int VirtualPortManager::DisconnectAll() {
    // A channel's disconnect first clears its connected flag, then waits
    // until its monitor and reply phase have given it back (up to a monitor
    // cycle each). Cleared for every channel first, those waits run side by
    // side; each channel's disconnect then sends its command as before.
    for (BridgeChannel* channel : m_channels) {
        channel->m_bConnected = 0;
        channel->WakeMonitor();  // a probing monitor sleeps until its next probe
    }
    int result = 0;
    for (BridgeChannel* channel : m_channels)
        result = static_cast<int>(channel->Window().SendMessage(WM_CHANNEL_DISCONNECT, 0, 0));
    return result;
}

void VirtualPortManager::SetMainWindow(MainWindowLink* window) {
    for (BridgeChannel* channel : m_channels)
        channel->Window().SendMessage(WM_CHANNEL_SET_MAIN_WINDOW, 0, reinterpret_cast<LPARAM>(window));
}

}  // namespace varnock
