#include "ui/NetworkPortDialog.h"

#include <algorithm>

#include "common/Messages.h"
#include "platform/MessageBox.h"
#include "platform/Text.h"
#include "ui/IpAddress.h"

namespace varnock {
namespace {

constexpr const char* kAnyAddress = "0.0.0.0";

// An address a port can listen on: all four fields filled; 0.0.0.0 for all,
// otherwise not in 0.x.x.x, nor multicast, nor broadcast (224 and above).
bool IsListenAddress(const IpFields& fields) {
    if (std::any_of(fields.blank.begin(), fields.blank.end(), [](bool blank) { return blank; })) return false;
    if (fields.value == std::array<int, 4>{0, 0, 0, 0}) return true;
    return fields.value[0] != 0 && fields.value[0] < 224;
}

}  // namespace

bool NetworkPortDialog::Collide(const NetworkPortConfig& a, const NetworkPortConfig& b) {
    if (!a.Served() || !b.Served() || a.port != b.port) return false;
    return a.address == b.address || a.address == kAnyAddress || b.address == kAnyAddress;
}

bool NetworkPortDialog::OnInitDialog() {
    if (!m_pConfig) return false;
    m_view.SetControlText(IDC_NET_VIRTUAL_PORT, m_strPortName);
    m_view.SetCheck(IDC_NET_SERVED, m_pConfig->Served());
    m_view.IpSetAddress(IDC_NET_ADDRESS, AddressFieldsFromText(m_pConfig->address));
    const uint16_t port = m_pConfig->Served() ? m_pConfig->port : OfferedPort();
    m_view.SetControlText(IDC_NET_PORT, port ? std::to_string(port) : "");
    m_view.SetControlText(IDC_NET_CLIENTS, FormatClientList(m_pConfig->allowed));
    ApplyEnablingRules();
    return true;
}

uint16_t NetworkPortDialog::OfferedPort() const {
    for (uint32_t port = kFirstOfferedTcpPort; port <= 65535; ++port) {
        auto used = [port](const NetworkPortUse& other) {
            return other.config.Served() && other.config.port == port;
        };
        if (std::none_of(m_others.begin(), m_others.end(), used)) return static_cast<uint16_t>(port);
    }
    return 0;
}

void NetworkPortDialog::ApplyEnablingRules() {
    const bool served = m_view.IsChecked(IDC_NET_SERVED);
    for (int id : {IDC_NET_GROUP, IDC_NET_ADDRESS, IDC_NET_PORT, IDC_NET_CLIENTS})
        m_view.EnableControl(id, served);
}

void NetworkPortDialog::OnServedClicked() {
    ApplyEnablingRules();
}

void NetworkPortDialog::OnOK() {
    if (!m_pConfig) return;
    if (!m_view.IsChecked(IDC_NET_SERVED)) {
        *m_pConfig = NetworkPortConfig{};
        m_view.EndDialog(IDOK);
        return;
    }
    NetworkPortConfig config;
    const IpFields address = m_view.IpGetAddress(IDC_NET_ADDRESS);
    if (!IsListenAddress(address)) {
        m_view.ShowMessage(kMsgListenAddressInvalid, platform::kMbIconError);
        return;
    }
    config.address = FormatAddress(address.value);
    // A bare port number, as the settings read it.
    const std::string portText = platform::Trim(m_view.GetControlText(IDC_NET_PORT));
    std::optional<NetworkPortConfig> port = ParseNetworkPort(portText);
    if (portText.find(':') != std::string::npos || !port || !port->Served()) {
        m_view.ShowMessage(kMsgTcpPortInvalid, platform::kMbIconError);
        return;
    }
    config.port = port->port;
    std::optional<std::vector<std::string>> allowed = ParseClientList(m_view.GetControlText(IDC_NET_CLIENTS));
    if (!allowed) {
        m_view.ShowMessage(kMsgClientListInvalid, platform::kMbIconError);
        return;
    }
    config.allowed = std::move(*allowed);
    for (const NetworkPortUse& other : m_others) {
        if (!Collide(config, other.config)) continue;
        m_view.ShowMessage(
            kMsgTcpPortInUse, platform::kMbIconError,
            other.portName + " on " + other.config.address + ":" + std::to_string(other.config.port));
        return;
    }
    *m_pConfig = std::move(config);
    m_view.EndDialog(IDOK);
}

void NetworkPortDialog::OnCancel() {
    m_view.EndDialog(IDCANCEL);
}

}  // namespace varnock
