#pragma once
// The main window's behaviour: the channel list, Connect, Disconnect, Edit,
// the flag toggle, the menu entries, Close and teardown. The window itself
// is a MainDialogView; all of this runs on the main thread, except the link
// loss report that a channel's monitor thread makes.
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/MainWindowLink.h"
#include "platform/MessageLoop.h"
#include "ui/DialogView.h"

namespace varnock {

class AllocationRow;
class HelpLauncher;
class SettingsManager;

// Control IDs of the main window.
constexpr int IDC_MAIN_EDIT = 1001;
constexpr int IDC_MAIN_CONNECT = 1002;
constexpr int IDC_MAIN_LIST = 1003;
constexpr int IDC_MAIN_DISCONNECT = 1004;
constexpr int IDC_MAIN_EXIT = 1005;
constexpr int IDC_MAIN_NETWORK = 1006;  // the selected channel's network port
// The channel list's status column, after the row's own four.
constexpr int kMainStatusColumn = 4;

// Menu commands (as the system menu delivered them) and window commands.
constexpr int IDM_ABOUTBOX = 0x10;
constexpr int IDM_MANUAL = 0x20;
constexpr int IDM_INSTALLER_32 = 0x40;
constexpr int IDM_INSTALLER_64 = 0x80;
constexpr int ID_COMMAND_RESTORE = 32776;
constexpr int ID_COMMAND_ABOUT = 32777;

// What the main window asks of all channels at once: the channel manager's
// broadcasts and its deletion.
class ChannelBroadcasts {
public:
    virtual ~ChannelBroadcasts() = default;
    // The reply of the last channel; 0 when there is none.
    virtual int ConnectAll() = 0;
    virtual int DisconnectAll() = 0;
    virtual void SetMainWindow(MainWindowLink* window) = 0;
    // Deletes the manager, and with it every channel, if it exists.
    virtual void DeleteManager() = 0;
    // "address:port" of the network client that has channel `channel`'s
    // port open; empty for a pty port or while none has.
    virtual std::string NetworkClient(int channel) {
        (void)channel;
        return {};
    }
};

class MainDialog : public MainWindowLink {
public:
    MainDialog(MainDialogView& view, ChannelBroadcasts& channels, HelpLauncher& help);
    ~MainDialog() override;
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;

    void SetSettings(SettingsManager* settings) { m_pSettings = settings; }

    // Window events, as the view reports them.
    bool OnInitDialog();
    // Button clicks (1001, 1002, 1004, 1005, 1006) and window commands (32776,
    // 32777, ID_HELP).
    void OnCommand(int id);
    // Menu entries.
    void OnSysCommand(int command);
    // Double-click or Enter on a list item; `subItem` is the column.
    void OnActivate(int item, int subItem);
    // The close box.
    void OnClose();
    void OnShowWindow(bool show);
    void OnDestroy();

    void OnEdit();
    // The selected row's virtual port served over the network or not.
    void OnNetworkPort();
    void OnConnect();
    void OnDisconnect();

    // Link loss, from a channel's monitor thread: Connect and Edit enabled,
    // Disconnect disabled, not connected, then the link-lost message. All of
    // it runs on the main thread while the caller waits (for the message
    // until the user has closed it); once the window is being torn down it
    // returns at once.
    void OnLinkLost() override;
    // A channel's state, from any thread: its row's status column follows
    // on the main thread; the caller does not wait for it.
    // The reason of a failed connect shows where the status column's text is.
    void OnChannelState(int channel, ChannelState state, const std::string& reason) override;

    int IsConnected() const { return m_bConnected.load(); }

    // Text of `column` for a row: the link's short name (a device's file
    // name), the PLC's address or "-", the flag's text.
    static std::string ColumnText(const AllocationRow& row, int column);
    // Tool tip of `column`: the path a serial link's name opens.
    static std::string ColumnToolTip(const AllocationRow& row, int column);

private:
    void FillList();
    bool HasRowCopies() const;
    void SetItemTexts(int item, const AllocationRow& row);
    // The rows can be edited (Edit link, Network port) or not.
    void EnableRowEditing(bool enable);
    // Widens `column` to `text`, up to `limit` pixels; never narrows it.
    void FitColumn(int column, const std::string& text, int limit);
    // Runs `action` on the main thread and waits for it; 0 when the window
    // is gone first.
    int OnMainThread(std::function<int(MainDialog&)> action);

    MainDialogView& m_view;
    ChannelBroadcasts& m_channels;
    HelpLauncher& m_help;
    SettingsManager* m_pSettings = nullptr;
    std::array<int, 5> m_columnWidths{};  // as measured, header or widest text
    // Set on the main thread, read from any.
    std::atomic<int> m_bConnected{0};
    // The row copies that the list items carry.
    std::vector<std::unique_ptr<AllocationRow>> m_rowCopies;
    // Tripped at teardown: a report still on its way finds no window.
    std::shared_ptr<platform::CancelToken> m_mainThreadCalls;
};

}  // namespace varnock
