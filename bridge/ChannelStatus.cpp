#include "bridge/ChannelStatus.h"

namespace varnock {

namespace {

bool IsConnected(ChannelState state) {
    return state == ChannelState::Connected || state == ChannelState::HostPortOpen ||
           state == ChannelState::RepliesLost;
}

}  // namespace

int ChannelStatus::ConnectResult(int result, const std::string& reason) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (result != 1)
        Set(ChannelState::ConnectFailed, reason);
    else
        Set(m_hostOpen ? ChannelState::HostPortOpen : ChannelState::Connected);
    return result;
}

int ChannelStatus::Disconnected(int result) {
    std::lock_guard<std::mutex> lock(m_lock);
    Set(ChannelState::NotConnected);
    return result;
}

void ChannelStatus::HostPort(bool open) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_hostOpen = open;
    if (IsConnected(m_state)) Set(open ? ChannelState::HostPortOpen : ChannelState::Connected);
}

void ChannelStatus::LinkLost() {
    std::lock_guard<std::mutex> lock(m_lock);
    Set(ChannelState::LinkLost);
}

void ChannelStatus::RepliesLost() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (IsConnected(m_state)) Set(ChannelState::RepliesLost);
}

ChannelState ChannelStatus::State() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_state;
}

void ChannelStatus::Set(ChannelState state, const std::string& reason) {
    m_state = state;
    if (MainWindowLink* window = m_window.load()) window->OnChannelState(m_index.load(), state, reason);
}

}  // namespace varnock
