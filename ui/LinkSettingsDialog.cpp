#include "ui/LinkSettingsDialog.h"

#include <algorithm>

#include "common/Messages.h"
#include "platform/MessageBox.h"
#include "platform/SerialDevices.h"
#include "platform/Text.h"
#include "settings/AllocationRow.h"
#include "ui/IpAddress.h"

namespace varnock {
namespace {

using platform::EqualNoCase;
using platform::StartsWithNoCase;

constexpr int kComPortCount = 256;

// A link port that names a device by its path rather than by a COM name.
bool IsDevicePath(const std::string& linkPort) {
    return !linkPort.empty() && linkPort[0] == '/';
}

}  // namespace

bool LinkSettingsDialog::OnInitDialog() {
    if (!m_pRow) return false;
    m_view.SetControlText(IDC_LINK_VIRTUAL_PORT, m_pRow->m_strVirtualPort);

    for (const std::string& kind : m_linkKinds) {
        if (EqualNoCase(kind, "COM")) {
            m_view.EnableControl(IDC_LINK_SERIAL, true);
        } else if (EqualNoCase(kind, "USB")) {
            m_view.EnableControl(IDC_LINK_USB, true);
        } else if (EqualNoCase(kind, "Ethernet")) {
            m_view.EnableControl(IDC_LINK_ETHERNET, true);
        }
    }

    FillPortList();
    PreselectLink();
    ApplyEnablingRules();
    m_view.SetCheck(IDC_LINK_NO_CONNECT, m_pRow->m_bNoConnectCommand != 0);
    m_view.SetCheck(IDC_LINK_CONNECT, m_pRow->m_bNoConnectCommand == 0);
    PutAddress(m_pRow->m_strIPAddress);
    return true;
}

void LinkSettingsDialog::FillPortList() {
    // This machine's devices first: they are what a user looks for; the
    // COM names (links in the device directory) follow.
    m_view.ComboResetContent(IDC_LINK_COM_PORT);
    m_devicePaths.clear();
    for (const platform::SerialDevice& device : platform::ListSerialDevices(m_devDir, m_sysDir)) {
        m_devicePaths.push_back(device.path);
        m_view.ComboAddString(IDC_LINK_COM_PORT, platform::SerialDeviceText(device));
    }
    // A row's device that is not there now (unplugged) stays its choice:
    // OK must not turn it into COM1.
    const std::string& own = m_pRow->m_strLinkPort;
    if (IsDevicePath(own) &&
        std::find(m_devicePaths.begin(), m_devicePaths.end(), own) == m_devicePaths.end()) {
        m_devicePaths.push_back(own);
        m_view.ComboAddString(IDC_LINK_COM_PORT, own);
    }
    for (int n = 1; n <= kComPortCount; ++n)
        m_view.ComboAddString(IDC_LINK_COM_PORT, "COM" + std::to_string(n));
    m_view.ComboSetCurSel(IDC_LINK_COM_PORT, FirstComIndex());
}

int LinkSettingsDialog::FirstComIndex() const {
    return static_cast<int>(m_devicePaths.size());
}

std::string LinkSettingsDialog::SelectedPort() const {
    const int index = m_view.ComboGetCurSel(IDC_LINK_COM_PORT);
    if (index >= 0 && index < FirstComIndex()) return m_devicePaths[static_cast<size_t>(index)];
    return m_view.ComboGetItemText(IDC_LINK_COM_PORT, index);
}

// "COM" admits any COMn port by its prefix, ignoring case, and any device
// path; the other kinds admit only their own text, with case.
bool LinkSettingsDialog::IsLinkPortAllowed() const {
    for (const std::string& kind : m_linkKinds) {
        if (EqualNoCase(kind, "COM")) {
            if (StartsWithNoCase(m_pRow->m_strLinkPort, "COM") || IsDevicePath(m_pRow->m_strLinkPort))
                return true;
        } else if (kind == m_pRow->m_strLinkPort) {
            return true;
        }
    }
    return false;
}

void LinkSettingsDialog::PreselectLink() {
    if (!IsLinkPortAllowed()) return;
    int radio = 0;
    if (m_pRow->m_nLinkType == LinkType::Ethernet) {
        radio = IDC_LINK_ETHERNET;
    } else if (m_pRow->m_nLinkType == LinkType::Usb) {
        radio = IDC_LINK_USB;
    } else if (m_pRow->m_nLinkType == LinkType::Serial) {
        radio = IDC_LINK_SERIAL;
        auto device = std::find(m_devicePaths.begin(), m_devicePaths.end(), m_pRow->m_strLinkPort);
        if (device != m_devicePaths.end())
            m_view.ComboSetCurSel(IDC_LINK_COM_PORT, static_cast<int>(device - m_devicePaths.begin()));
        // The first COM name that begins with the port name, as a list box
        // searches; COM1 stays selected when none does.
        for (int i = FirstComIndex(); i < FirstComIndex() + kComPortCount && device == m_devicePaths.end();
             ++i) {
            if (StartsWithNoCase(m_view.ComboGetItemText(IDC_LINK_COM_PORT, i), m_pRow->m_strLinkPort)) {
                m_view.ComboSetCurSel(IDC_LINK_COM_PORT, i);
                break;
            }
        }
    }
    ApplyEnablingRules();
    if (radio) m_view.SetCheck(radio, true);
}

void LinkSettingsDialog::ApplyEnablingRules() {
    m_view.EnableControl(IDC_LINK_ADDRESS, false);
    m_view.EnableControl(IDC_LINK_ADDRESS_LABEL, false);
    m_view.EnableControl(IDC_LINK_ADDRESS_NOTE, false);
    for (int id : {IDC_LINK_NO_CONNECT, IDC_LINK_CONNECT, IDC_LINK_GROUP, IDC_LINK_FLAG_GROUP}) {
        m_view.EnableControl(id, true);
    }
    m_view.EnableControl(IDC_LINK_COM_PORT, m_view.IsChecked(IDC_LINK_SERIAL));
    if (m_view.IsChecked(IDC_LINK_ETHERNET)) {
        m_view.EnableControl(IDC_LINK_ADDRESS, true);
        m_view.EnableControl(IDC_LINK_ADDRESS_LABEL, true);
        m_view.EnableControl(IDC_LINK_ADDRESS_NOTE, true);
    }
}

void LinkSettingsDialog::PutAddress(const std::string& text) {
    m_view.IpSetAddress(IDC_LINK_ADDRESS, AddressFieldsFromText(text));
}

void LinkSettingsDialog::OnLinkClicked(int id) {
    if (id == IDC_LINK_SERIAL || id == IDC_LINK_USB || id == IDC_LINK_ETHERNET) ApplyEnablingRules();
}

void LinkSettingsDialog::OnOK() {
    if (!m_pRow) return;
    IpFields address = m_view.IpGetAddress(IDC_LINK_ADDRESS);
    if (m_view.IsChecked(IDC_LINK_ETHERNET)) {
        bool allZero = address.value == std::array<int, 4>{0, 0, 0, 0};
        if (address.AllBlank() || allZero) {
            m_view.ShowMessage(kMsgAddressRequired, platform::kMbIconError);
            return;
        }
    }

    m_pRow->m_strRealPort.clear();
    m_pRow->m_bNoConnectCommand = m_view.IsChecked(IDC_LINK_NO_CONNECT) ? 1 : 0;
    if (m_view.IsChecked(IDC_LINK_SERIAL)) {
        m_pRow->m_nLinkType = LinkType::Serial;
        m_pRow->m_strLinkPort = SelectedPort();
        m_pRow->m_strRealPort = "SERIAL2";
    } else if (m_view.IsChecked(IDC_LINK_USB)) {
        m_pRow->m_nLinkType = LinkType::Usb;
        m_pRow->m_strLinkPort = "USB";
        m_pRow->m_strRealPort = "USB";
    } else if (m_view.IsChecked(IDC_LINK_ETHERNET)) {
        m_pRow->m_nLinkType = LinkType::Ethernet;
        m_pRow->m_strLinkPort = "Ethernet";
        m_pRow->m_strIPAddress = FormatAddress(address.value);
        m_pRow->m_strRealPort = "Ethernet";
    }
    m_view.EndDialog(IDOK);
}

void LinkSettingsDialog::OnCancel() {
    m_view.EndDialog(IDCANCEL);
}

}  // namespace varnock
