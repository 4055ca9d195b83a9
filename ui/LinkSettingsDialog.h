#pragma once
// The link settings dialog's behaviour: which link one allocation row's
// virtual port is bridged to, and the row's flag. Works on a row copy that
// the main window hands in; the copy changes only when the user confirms.
#include <filesystem>
#include <string>
#include <vector>

#include "ui/DialogView.h"

namespace varnock {

class AllocationRow;

// Control IDs of the link settings dialog.
constexpr int IDC_LINK_VIRTUAL_PORT = 1004;
constexpr int IDC_LINK_SERIAL = 1006;
constexpr int IDC_LINK_USB = 1007;
constexpr int IDC_LINK_ETHERNET = 1008;
constexpr int IDC_LINK_COM_PORT = 1009;
constexpr int IDC_LINK_GROUP = 1011;
constexpr int IDC_LINK_FLAG_GROUP = 1012;
constexpr int IDC_LINK_ADDRESS = 1013;
constexpr int IDC_LINK_ADDRESS_LABEL = 1014;
constexpr int IDC_LINK_ADDRESS_NOTE = 1015;
constexpr int IDC_LINK_NO_CONNECT = 1016;
constexpr int IDC_LINK_CONNECT = 1017;

class LinkSettingsDialog {
public:
    explicit LinkSettingsDialog(DialogView& view) : m_view(view) {}

    void SetRow(AllocationRow* row) { m_pRow = row; }
    void SetLinkKinds(const std::vector<std::string>& kinds) {
        m_linkKinds.assign(kinds.begin(), kinds.end());
    }
    // Where the machine's serial devices are looked for ("/dev", "/sys").
    void SetDeviceFolders(std::filesystem::path dev, std::filesystem::path sys) {
        m_devDir = std::move(dev);
        m_sysDir = std::move(sys);
    }

    bool OnInitDialog();
    // A click on one of the link radio buttons (1006, 1007, 1008).
    void OnLinkClicked(int id);
    void OnOK();
    void OnCancel();

private:
    bool IsLinkPortAllowed() const;
    void PreselectLink();
    void ApplyEnablingRules();
    void PutAddress(const std::string& text);
    // The serial port list: the devices' paths, then COM1 to COM256.
    void FillPortList();
    // Index of COM1 in the list.
    int FirstComIndex() const;
    std::string SelectedPort() const;

    DialogView& m_view;
    AllocationRow* m_pRow = nullptr;
    std::vector<std::string> m_linkKinds;
    std::filesystem::path m_devDir = "/dev";
    std::filesystem::path m_sysDir = "/sys";
    // What the list's entries before the COM names store.
    std::vector<std::string> m_devicePaths;
};

}  // namespace varnock
