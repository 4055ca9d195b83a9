#include "app/HeadlessRunner.h"

#include <algorithm>
#include <thread>

#include "bridge/BridgeChannel.h"
#include "bridge/FrameTrace.h"
#include "bridge/VirtualPortManager.h"
#include "common/Messages.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Pty.h"
#include "settings/SettingsManager.h"
#include "vport/VirtualPort.h"

namespace varnock {

namespace {

// How long the loop waits for work before it looks at the stop flag again
// when no stop pipe wakes it.
constexpr uint32_t kPollPeriodMs = 50;
// The reconnect interval grows to at most this many times the first one.
constexpr uint32_t kMaxBackoff = 10;

}  // namespace

HeadlessRunner::HeadlessRunner(const std::atomic<bool>& stop, std::FILE* out, Options options)
    : m_stop(stop),
      m_out(out),
      m_options(std::move(options)),
      m_reports(std::make_shared<platform::CancelToken>()) {}

HeadlessRunner::~HeadlessRunner() {
    m_reports->Cancel();
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
    // The virtual port appears in the device directory under its name, or
    // is served over the network.
    std::string path = channel.NetworkAddress().empty()
                           ? (platform::DeviceDirectory().path / name).string()
                           : platform::FormatMessageText(platform::LoadString(kStrNetworkPortSuffix),
                                                         channel.NetworkAddress());
    std::fprintf(m_out, "channel %d: %s at %s, link %s, %s\n", index, name.c_str(), path.c_str(),
                 link.c_str(), ChannelStateText(ChannelState::NotConnected).c_str());
    std::fflush(m_out);
}

void HeadlessRunner::OnChannelState(int channel, ChannelState state, const std::string& reason) {
    // Posted: the reporting thread (a driver event, a monitor) must not wait.
    platform::MessageLoop::Main().Post([this, reports = m_reports, channel, state, reason] {
        if (!reports->IsCancelled()) Report(channel, state, reason);
    });
}

void HeadlessRunner::Report(int channel, ChannelState state, const std::string& reason) {
    if (!m_manager || channel < 0 || channel >= m_manager->ChannelCount()) return;
    const ChannelConfig* config = m_manager->Channel(channel)->Config();
    // Asked here, on the main thread, so that the driver's thread never waits.
    VirtualPort* port = m_manager->Channel(channel)->Port();
    const std::string client =
        state == ChannelState::HostPortOpen && port ? port->NetworkClient() : std::string();
    const std::string text = ChannelStateText(state, client);
    std::fprintf(m_out, "channel %d: %s %s%s%s\n", channel + 1,
                 config ? config->m_strVirtualPort.c_str() : "", text.c_str(), reason.empty() ? "" : ". ",
                 reason.c_str());
    std::fflush(m_out);

    Watch& watch = m_watch[static_cast<size_t>(channel)];
    const uint32_t first = m_options.reconnectMs;
    if (first == 0) return;
    if (state == ChannelState::ConnectFailed || state == ChannelState::LinkLost) {
        // Doubling while our own tries keep failing; a fresh failure starts over.
        watch.interval = watch.retrying ? std::min(watch.interval * 2, first * kMaxBackoff) : first;
        watch.due = platform::GetTickCount() + watch.interval;
        watch.retryPending = !m_stop.load();
    } else {
        watch = Watch{};
    }
}

void HeadlessRunner::RetryDue() {
    const uint32_t now = platform::GetTickCount();
    for (int i = 0; i < m_manager->ChannelCount() && !m_stop.load(); ++i) {
        Watch& watch = m_watch[static_cast<size_t>(i)];
        if (!watch.retryPending || static_cast<int32_t>(now - watch.due) < 0) continue;
        watch.retryPending = false;
        watch.retrying = true;
        BridgeChannel& channel = *m_manager->Channel(i);
        std::fprintf(m_out, "channel %d: %s reconnecting, try %d\n", i + 1,
                     channel.Config() ? channel.Config()->m_strVirtualPort.c_str() : "", ++watch.tries);
        std::fflush(m_out);
        // Its result comes as a report like any connect's.
        channel.Window().SendMessage(WM_CHANNEL_CONNECT, 0, 0);
    }
}

uint32_t HeadlessRunner::NextWait() const {
    // With a stop pipe an idle bridge wakes only for its work.
    uint32_t wait = m_options.stopFd >= 0 ? platform::WakeSignal::kForever : kPollPeriodMs;
    const uint32_t now = platform::GetTickCount();
    for (const Watch& watch : m_watch) {
        if (!watch.retryPending) continue;
        const int32_t left = static_cast<int32_t>(watch.due - now);
        wait = std::min(wait, static_cast<uint32_t>(std::max(left, 0)));
    }
    return wait;
}

void HeadlessRunner::Run(SettingsManager& settings) {
    auto& loop = platform::MessageLoop::Main();
    // The channels' messaging windows belong to this thread.
    loop.BindToCurrentThread();
    if (!m_options.tracePath.empty()) StartFrameTrace(m_options.tracePath);

    m_manager = VirtualPortManager::Instance();
    m_manager->SetSettings(&settings);
    // One channel per row held; `items` only bounds the rows read, so a
    // huge count makes no more channels than the file has rows.
    const int rows = settings.GetRowCount();
    for (int i = 1; i <= rows && !m_stop.load(); ++i) m_manager->CreateChannel(i);

    const int channels = m_manager->ChannelCount();
    m_watch.assign(static_cast<size_t>(channels), Watch{});
    for (int i = 0; i < channels; ++i) PrintStart(i + 1, *m_manager->Channel(i));

    if (channels > 0 && !m_stop.load()) {
        m_manager->SetMainWindow(this);
        m_manager->ConnectAll();
    }
    // A stop signal wakes the loop at once; the pipe stays readable, so
    // the watcher ends by itself.
    std::thread stopWatcher;
    if (m_options.stopFd >= 0)
        stopWatcher = std::thread([&loop, fd = m_options.stopFd] {
            platform::WaitReadable(&fd, 1, -1);
            loop.Post([] {});
        });
    while (!m_stop.load()) {
        loop.PumpOnClock(NextWait());
        RetryDue();
    }
    if (stopWatcher.joinable()) stopWatcher.join();

    // As the main window's Close, but every channel is disconnected: one that
    // connected must say goodbye even when a later one failed.
    if (channels > 0) m_manager->DisconnectAll();
    loop.Pump();  // the last reports
    m_reports->Cancel();
    settings.Save();
    VirtualPortManager::DeleteInstance();
    m_manager = nullptr;
    StopFrameTrace();
}

void HeadlessRunner::OnLinkLost() {
    platform::ShowMessage(kMsgLinkLost, platform::kMbIconError);
}

}  // namespace varnock
