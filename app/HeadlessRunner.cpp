#include "app/HeadlessRunner.h"

#include <chrono>

#include "bridge/BridgeChannel.h"
#include "bridge/VirtualPortManager.h"
#include "common/Messages.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/Paths.h"
#include "settings/SettingsManager.h"

namespace varnock {

namespace {

// How long the loop waits for work before it looks at the stop flag and the
// channels again.
constexpr std::chrono::milliseconds kPollPeriod{50};

}  // namespace

HeadlessRunner::HeadlessRunner(const std::atomic<bool>& stop, std::FILE* out) : m_stop(stop), m_out(out) {}

const char* HeadlessRunner::StateName(State state) {
    switch (state) {
        case State::NotConnected:
            return "not connected";
        case State::Connected:
            return "connected";
        case State::ConnectFailed:
            return "connect failed";
        case State::LinkLost:
            return "link lost";
        case State::Disconnected:
            return "disconnected";
    }
    return "";
}

std::string HeadlessRunner::DescribeLink(LinkType linkType, const std::string& linkPort,
                                         const std::string& ipAddress) {
    switch (linkType) {
        case LinkType::Serial:
            return "serial " + linkPort + " (" + platform::ResolveDeviceName(linkPort).string() + ")";
        case LinkType::Ethernet:
            return "Ethernet " + ipAddress;
        case LinkType::Usb:
            return "USB";
    }
    return "unknown link type " + std::to_string(static_cast<int>(linkType));
}

void HeadlessRunner::PrintStart(int index, const BridgeChannel& channel) {
    const ChannelConfig* config = channel.Config();
    std::string name = config ? config->m_strVirtualPort : std::string();
    std::string link = config
                           ? DescribeLink(config->m_nLinkType, config->m_strLinkPort, config->m_strIPAddress)
                           : std::string("none");
    // The virtual port appears in the device directory under its name.
    std::string path = (platform::DeviceDirectory().path / name).string();
    std::fprintf(m_out, "channel %d: %s at %s, link %s, %s\n", index, name.c_str(), path.c_str(),
                 link.c_str(), StateName(State::NotConnected));
    std::fflush(m_out);
}

void HeadlessRunner::Print(int index, const BridgeChannel& channel, State state) {
    const ChannelConfig* config = channel.Config();
    std::fprintf(m_out, "channel %d: %s %s\n", index, config ? config->m_strVirtualPort.c_str() : "",
                 StateName(state));
    std::fflush(m_out);
}

void HeadlessRunner::ReportChanges(VirtualPortManager& manager, State dropped) {
    for (int i = 0; i < manager.ChannelCount(); ++i) {
        const BridgeChannel& channel = *manager.Channel(i);
        bool connected = channel.IsConnected();
        if (connected == m_connected[i]) continue;
        m_connected[i] = connected;
        Print(i + 1, channel, connected ? State::Connected : dropped);
    }
}

void HeadlessRunner::Run(SettingsManager& settings) {
    auto& loop = platform::MessageLoop::Main();
    // The channels' messaging windows belong to this thread.
    loop.BindToCurrentThread();

    VirtualPortManager* manager = VirtualPortManager::Instance();
    manager->SetSettings(&settings);
    // One channel per row held; `items` only bounds the rows read, so a
    // huge count makes no more channels than the file has rows.
    const int rows = settings.GetRowCount();
    for (int i = 1; i <= rows && !m_stop.load(); ++i) manager->CreateChannel(i);

    const int channels = manager->ChannelCount();
    m_connected.assign(static_cast<size_t>(channels), false);
    for (int i = 0; i < channels; ++i) PrintStart(i + 1, *manager->Channel(i));

    if (channels > 0 && !m_stop.load()) {
        manager->SetMainWindow(this);
        manager->ConnectAll();
        for (int i = 0; i < channels; ++i) {
            if (!manager->Channel(i)->IsConnected()) Print(i + 1, *manager->Channel(i), State::ConnectFailed);
        }
        ReportChanges(*manager, State::LinkLost);
    }

    while (!m_stop.load()) {
        loop.Pump(kPollPeriod);
        ReportChanges(*manager, State::LinkLost);
    }

    // As the main window's Close, but every channel is disconnected: one that
    // connected must say goodbye even when a later one failed.
    if (channels > 0) manager->DisconnectAll();
    ReportChanges(*manager, State::Disconnected);
    settings.Save();
    VirtualPortManager::DeleteInstance();
}

void HeadlessRunner::OnLinkLost() {
    platform::ShowMessage(kMsgLinkLost, platform::kMbIconError);
}

}  // namespace varnock
