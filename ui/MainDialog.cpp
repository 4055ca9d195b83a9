#include "ui/MainDialog.h"

#include <algorithm>
#include <filesystem>

#include "common/Messages.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "settings/AllocationRow.h"
#include "settings/SettingsManager.h"
#include "ui/HelpLauncher.h"

namespace varnock {

namespace {
constexpr int kHeaderStrings[4] = {kStrColumnVirtualPort, kStrColumnLink, kStrColumnLinkPort,
                                   kStrColumnNoConnect};
constexpr int kUnmeasuredWidth = 30;
constexpr int kFlagColumnWidth = 160;
constexpr int kStatusColumnLimit = 400;
}  // namespace

MainDialog::MainDialog(MainDialogView& view, ChannelBroadcasts& channels, HelpLauncher& help)
    : m_view(view),
      m_channels(channels),
      m_help(help),
      m_mainThreadCalls(std::make_shared<platform::CancelToken>()) {}

MainDialog::~MainDialog() {
    m_mainThreadCalls->Cancel();
}

std::string MainDialog::ColumnText(const AllocationRow& row, int column) {
    switch (column) {
        case 0:
            return row.m_strVirtualPort;
        case 1:
            switch (row.m_nLinkType) {
                case LinkType::Ethernet:
                    return "Ethernet";
                case LinkType::Usb:
                    return "USB";
                case LinkType::Serial:
                    // A path is told by its last part; the tool tip has it whole.
                    return std::filesystem::path(row.m_strLinkPort).filename().string();
            }
            return {};
        case 2:
            // The stored third field of other links ("SERIAL2", "USB") says
            // nothing to the user.
            return row.m_nLinkType == LinkType::Ethernet ? row.m_strIPAddress : "-";
        case 3:
            return platform::LoadString(row.m_bNoConnectCommand != 0 ? kStrFlagOn : kStrFlagOff);
        default:
            return {};
    }
}

std::string MainDialog::ColumnToolTip(const AllocationRow& row, int column) {
    if (column != 1 || row.m_nLinkType != LinkType::Serial || row.m_strLinkPort.empty()) return {};
    return platform::ResolveDeviceName(row.m_strLinkPort).string();
}

bool MainDialog::OnInitDialog() {
    if (!m_pSettings) return false;
    m_bConnected = 0;

    std::string about = platform::LoadString(kStrAboutMenu);
    const std::pair<int, int> entries[] = {{IDM_MANUAL, kStrMenuManual},
                                           {IDM_INSTALLER_32, kStrMenuInstaller32},
                                           {IDM_INSTALLER_64, kStrMenuInstaller64}};
    m_view.AppendMenuSeparator();
    for (const auto& [command, number] : entries) {
        std::string text = platform::LoadString(number);
        if (!text.empty()) m_view.AppendMenuItem(command, text);
    }
    if (!about.empty()) {
        m_view.AppendMenuSeparator();
        m_view.AppendMenuItem(IDM_ABOUTBOX, about);
    }

    m_view.ListSetGridAndFullRowSelect(IDC_MAIN_LIST);
    for (int column = 0; column < 4; ++column) {
        std::string header = platform::LoadString(kHeaderStrings[column]);
        int width = m_view.ListMeasureHeader(IDC_MAIN_LIST, header);
        m_columnWidths[static_cast<size_t>(column)] = width;
        m_view.ListInsertColumn(IDC_MAIN_LIST, column, header, width < 0 ? kUnmeasuredWidth : width);
    }
    m_view.ListSetColumnWidth(IDC_MAIN_LIST, 3, kFlagColumnWidth);
    m_columnWidths[3] = kFlagColumnWidth;
    // Wide enough for the longest state, not only for its header.
    int statusWidth = m_view.ListMeasureHeader(IDC_MAIN_LIST, platform::LoadString(kStrColumnStatus));
    for (int number : kStrChannelStates)
        statusWidth =
            std::max(statusWidth, m_view.ListMeasureHeader(IDC_MAIN_LIST, platform::LoadString(number)));
    m_view.ListInsertColumn(IDC_MAIN_LIST, kMainStatusColumn, platform::LoadString(kStrColumnStatus),
                            statusWidth < 0 ? kUnmeasuredWidth : statusWidth);
    m_columnWidths[kMainStatusColumn] = statusWidth;

    FillList();

    if (m_pSettings->GetWndAlwaysOnTop()) m_view.MakeTopmostAtOrigin();

    if (HasRowCopies()) m_channels.SetMainWindow(this);
    return true;
}

void MainDialog::FillList() {
    // Up to the rows held: the item count may be far larger.
    for (int i = 0; i < m_pSettings->GetRowCount(); ++i) {
        const AllocationRow* row = m_pSettings->GetRow(i);
        if (!row) continue;
        auto copy = std::make_unique<AllocationRow>(*row);
        int item = m_view.ListInsertItem(IDC_MAIN_LIST, i, "");
        SetItemTexts(item, *copy);
        m_view.ListSetItemText(IDC_MAIN_LIST, item, kMainStatusColumn,
                               ChannelStateText(ChannelState::NotConnected));
        m_view.ListSetItemData(IDC_MAIN_LIST, item, copy.get());
        m_rowCopies.push_back(std::move(copy));
    }
}

void MainDialog::SetItemTexts(int item, const AllocationRow& row) {
    for (int column = 0; column < 4; ++column) {
        m_view.ListSetItemText(IDC_MAIN_LIST, item, column, ColumnText(row, column));
        m_view.ListSetItemToolTip(IDC_MAIN_LIST, item, column, ColumnToolTip(row, column));
    }
    // A port served over the network says so beside its name.
    const NetworkPortConfig network = m_pSettings->GetNetworkPort(row.m_strVirtualPort);
    std::string port = ColumnText(row, 0);
    if (network.Served()) {
        const std::string listen = network.address + ":" + std::to_string(network.port);
        port += " (" +
                platform::FormatMessageText(platform::LoadString(kStrNetworkPortSuffix),
                                            FormatNetworkPort(network)) +
                ")";
        std::string tip = platform::FormatMessageText(platform::LoadString(kStrNetworkPortTip), listen);
        if (!network.allowed.empty())
            tip += "\n" + platform::FormatMessageText(platform::LoadString(kStrNetworkClientsTip),
                                                      FormatClientList(network.allowed));
        m_view.ListSetItemText(IDC_MAIN_LIST, item, 0, port);
        m_view.ListSetItemToolTip(IDC_MAIN_LIST, item, 0, tip);
    }
    // The port and link columns grow to their texts, up to the flag
    // column's width (the tool tip has the rest), so the status stays in view.
    FitColumn(0, port, kFlagColumnWidth);
    FitColumn(1, ColumnText(row, 1), kFlagColumnWidth);
}

void MainDialog::FitColumn(int column, const std::string& text, int limit) {
    const int width = std::min(m_view.ListMeasureHeader(IDC_MAIN_LIST, text), limit);
    int& current = m_columnWidths[static_cast<size_t>(column)];
    if (width <= current) return;
    current = width;
    m_view.ListSetColumnWidth(IDC_MAIN_LIST, column, width);
}

void MainDialog::EnableRowEditing(bool enable) {
    m_view.EnableControl(IDC_MAIN_EDIT, enable);
    m_view.EnableControl(IDC_MAIN_NETWORK, enable);
}

bool MainDialog::HasRowCopies() const {
    for (int i = 0; i < m_view.ListGetItemCount(IDC_MAIN_LIST); ++i) {
        if (m_view.ListGetItemData(IDC_MAIN_LIST, i)) return true;
    }
    return false;
}

void MainDialog::OnCommand(int id) {
    switch (id) {
        case IDC_MAIN_EDIT:
            OnEdit();
            break;
        case IDC_MAIN_CONNECT:
            OnConnect();
            break;
        case IDC_MAIN_DISCONNECT:
            OnDisconnect();
            break;
        case IDC_MAIN_EXIT:
            OnClose();
            break;
        case IDC_MAIN_NETWORK:
            OnNetworkPort();
            break;
        case ID_COMMAND_RESTORE:
            m_view.RestoreWindow();
            break;
        case ID_COMMAND_ABOUT:
            m_view.RunAboutBox();
            break;
        case ID_HELP:
            m_help.OpenManual();
            break;
        default:
            break;
    }
}

void MainDialog::OnSysCommand(int command) {
    switch (command & 0xFFF0) {
        case IDM_ABOUTBOX:
            m_view.RunAboutBox();
            break;
        case IDM_MANUAL:
            m_help.OpenManual();
            break;
        case IDM_INSTALLER_32:
            m_help.RunDriverInstaller(32);
            break;
        case IDM_INSTALLER_64:
            m_help.RunDriverInstaller(64);
            break;
        default:
            break;
    }
}

void MainDialog::OnEdit() {
    int mark = m_view.ListGetSelectionMark(IDC_MAIN_LIST);
    if (mark < 0 || !m_pSettings) return;
    AllocationRow* itemRow = m_view.ListGetItemData(IDC_MAIN_LIST, mark);
    if (!itemRow) return;

    AllocationRow edited(*itemRow);
    std::vector<std::string> linkKinds;
    m_pSettings->CopyRealPortList(linkKinds);
    if (m_view.RunLinkSettings(edited, linkKinds) != IDOK) return;

    // The file is written by Close or at exit; the channel takes the change
    // at its next connect.
    *itemRow = edited;
    m_pSettings->ReplaceRow(*itemRow, mark);
    SetItemTexts(mark, *itemRow);
}

void MainDialog::OnNetworkPort() {
    const int mark = m_view.ListGetSelectionMark(IDC_MAIN_LIST);
    if (mark < 0 || !m_pSettings || m_bConnected == 1) return;
    const AllocationRow* itemRow = m_view.ListGetItemData(IDC_MAIN_LIST, mark);
    if (!itemRow) return;
    const std::string& name = itemRow->m_strVirtualPort;
    const NetworkPortConfig before = m_pSettings->GetNetworkPort(name);
    std::vector<NetworkPortUse> others;
    for (int i = 0; i < m_pSettings->GetRowCount(); ++i) {
        const AllocationRow* row = m_pSettings->GetRow(i);
        if (row && row->m_strVirtualPort != name)
            others.push_back({row->m_strVirtualPort, m_pSettings->GetNetworkPort(row->m_strVirtualPort)});
    }
    NetworkPortConfig edited = before;
    if (m_view.RunNetworkPort(name, edited, others) != IDOK) return;
    // Only a change is held for Save, so a file without network ports
    // stays as it was.
    if (edited == before) return;
    m_pSettings->SetNetworkPort(name, edited);
    SetItemTexts(mark, *itemRow);
}

void MainDialog::OnActivate(int item, int subItem) {
    if (m_bConnected == 1) return;
    int mark = m_view.ListGetSelectionMark(IDC_MAIN_LIST);
    if (mark == -1 || item < 0) return;

    if (subItem == 3) {
        AllocationRow* row = m_view.ListGetItemData(IDC_MAIN_LIST, item);
        if (!row || !m_pSettings) return;
        row->m_bNoConnectCommand = row->m_bNoConnectCommand != 0 ? 0 : 1;
        m_view.ListSetItemText(IDC_MAIN_LIST, item, 3, ColumnText(*row, 3));
        m_pSettings->ReplaceRow(*row, mark);
    } else {
        OnEdit();
    }
}

void MainDialog::OnConnect() {
    m_view.EnableControl(IDC_MAIN_CONNECT, false);
    EnableRowEditing(false);
    int result = 0;
    if (HasRowCopies()) result = m_channels.ConnectAll();
    if (result == 1) {
        m_view.EnableControl(IDC_MAIN_DISCONNECT, true);
        m_bConnected = 1;
    } else {
        m_view.EnableControl(IDC_MAIN_CONNECT, true);
        EnableRowEditing(true);
    }
}

void MainDialog::OnDisconnect() {
    m_view.EnableControl(IDC_MAIN_DISCONNECT, false);
    if (HasRowCopies()) m_channels.DisconnectAll();
    m_view.EnableControl(IDC_MAIN_CONNECT, true);
    EnableRowEditing(true);
    m_bConnected = 0;
}

void MainDialog::OnClose() {
    if (m_bConnected == 1) OnDisconnect();
    if (m_pSettings) m_pSettings->Save();
    m_view.EndDialog(IDOK);
}

void MainDialog::OnShowWindow(bool show) {
    if (!show || m_view.ListGetSelectedCount(IDC_MAIN_LIST) > 0) return;
    int top = m_view.ListGetTopIndex(IDC_MAIN_LIST);
    if (top >= 0 && top < m_view.ListGetItemCount(IDC_MAIN_LIST)) m_view.ListSelectItem(IDC_MAIN_LIST, top);
}

void MainDialog::OnDestroy() {
    // Link loss reports from here on find no window; a monitor thread
    // waiting for its box is let go, so channel teardown cannot wait on it.
    m_mainThreadCalls->Cancel();
    m_channels.DeleteManager();
    m_view.ListDeleteAllItems(IDC_MAIN_LIST);
    m_rowCopies.clear();
}

void MainDialog::OnLinkLost() {
    OnMainThread([](MainDialog& dialog) {
        dialog.m_view.EnableControl(IDC_MAIN_CONNECT, true);
        dialog.EnableRowEditing(true);
        dialog.m_view.EnableControl(IDC_MAIN_DISCONNECT, false);
        dialog.m_bConnected = 0;
        dialog.m_view.ShowMessage(kMsgLinkLost, platform::kMbIconError);
        return 1;
    });
}

void MainDialog::OnChannelState(int channel, ChannelState state, const std::string& reason) {
    // Posted, not sent: a driver event or a monitor thread must never wait
    // for the window. A report that comes after teardown changes nothing.
    platform::MessageLoop::Main().Post([this, calls = m_mainThreadCalls, channel, state, reason] {
        if (calls->IsCancelled()) return;
        // A network port's client is asked for here, on the main thread, so
        // the driver's event thread never waits for the window.
        const std::string client =
            state == ChannelState::HostPortOpen ? m_channels.NetworkClient(channel) : std::string();
        const std::string text = ChannelStateText(state, client);
        FitColumn(kMainStatusColumn, text, kStatusColumnLimit);
        m_view.ListSetItemText(IDC_MAIN_LIST, channel, kMainStatusColumn, text);
        m_view.ListSetItemToolTip(IDC_MAIN_LIST, channel, kMainStatusColumn, reason);
    });
}

int MainDialog::OnMainThread(std::function<int(MainDialog&)> action) {
    // Teardown runs on the main thread too, so the window cannot go away
    // while the action (a modal box) runs.
    return static_cast<int>(platform::MessageLoop::Main().Send(
        [this, action = std::move(action)] { return static_cast<intptr_t>(action(*this)); },
        m_mainThreadCalls));
}

}  // namespace varnock
