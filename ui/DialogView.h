#pragma once
// What the dialog logic asks of a window, with every control addressed by
// its control ID as the templates give it. The Qt views implement it over
// the loaded templates; the tests implement it with plain records.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "settings/NetworkPort.h"

namespace varnock {

class AllocationRow;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int ID_HELP = 0xE146;  // 57670, sent by F1

// An IPv4 address control's four fields, first field first. A blank field
// reads as 0 and counts in `blank`.
struct IpFields {
    std::array<int, 4> value{0, 0, 0, 0};
    std::array<bool, 4> blank{false, false, false, false};
    bool AllBlank() const { return blank[0] && blank[1] && blank[2] && blank[3]; }
};

// A channel's virtual port and how it is served.
struct NetworkPortUse {
    std::string portName;
    NetworkPortConfig config;
};

class DialogView {
public:
    virtual ~DialogView() = default;

    // Any control.
    virtual void EnableControl(int id, bool enable) = 0;
    virtual bool IsControlEnabled(int id) const = 0;
    virtual void SetControlText(int id, const std::string& text) = 0;
    // What a text field holds.
    virtual std::string GetControlText(int id) const = 0;

    // Check boxes and radio buttons.
    virtual void SetCheck(int id, bool checked) = 0;
    virtual bool IsChecked(int id) const = 0;

    // Drop-down lists.
    virtual void ComboResetContent(int id) = 0;
    virtual void ComboAddString(int id, const std::string& text) = 0;
    virtual void ComboSetCurSel(int id, int index) = 0;
    virtual int ComboGetCurSel(int id) const = 0;
    virtual std::string ComboGetItemText(int id, int index) const = 0;

    // IPv4 address controls.
    virtual void IpSetAddress(int id, const std::array<int, 4>& fields) = 0;
    virtual IpFields IpGetAddress(int id) const = 0;

    // Shows a string-table message, its "%s" replaced by `arg` when given,
    // with the window as owner; returns when the user has closed it.
    virtual void ShowMessage(int number, unsigned style,
                             const std::optional<std::string>& arg = std::nullopt) = 0;
    // Ends the modal run with `result`.
    virtual void EndDialog(int result) = 0;
};

// The main window adds its list view, its menu and a few window operations.
class MainDialogView : public DialogView {
public:
    // List views. Item data is a row copy that the logic owns.
    // Width in pixels a header needs for `text`; negative when it cannot be
    // measured.
    virtual int ListMeasureHeader(int id, const std::string& text) const = 0;
    virtual void ListSetGridAndFullRowSelect(int id) = 0;
    virtual void ListInsertColumn(int id, int column, const std::string& header, int width) = 0;
    virtual void ListSetColumnWidth(int id, int column, int width) = 0;
    virtual int ListInsertItem(int id, int index, const std::string& text) = 0;
    virtual void ListSetItemText(int id, int item, int column, const std::string& text) = 0;
    // Text shown when the pointer rests on the cell; empty for none.
    virtual void ListSetItemToolTip(int id, int item, int column, const std::string& text) = 0;
    virtual void ListSetItemData(int id, int item, AllocationRow* row) = 0;
    virtual AllocationRow* ListGetItemData(int id, int item) const = 0;
    virtual int ListGetItemCount(int id) const = 0;
    // The item the keyboard selection is anchored on; -1 when none.
    virtual int ListGetSelectionMark(int id) const = 0;
    virtual int ListGetSelectedCount(int id) const = 0;
    virtual int ListGetTopIndex(int id) const = 0;
    // Gives the item the states selected and focused.
    virtual void ListSelectItem(int id, int item) = 0;
    virtual void ListDeleteAllItems(int id) = 0;

    // The window's menu (the system menu entries).
    virtual void AppendMenuSeparator() = 0;
    virtual void AppendMenuItem(int command, const std::string& text) = 0;

    // Stays on top of other windows, moved to the screen's top-left corner
    // at its present size.
    virtual void MakeTopmostAtOrigin() = 0;
    // Brings the window back from minimised, to the front, with the focus.
    virtual void RestoreWindow() = 0;

    // Modal runs of the other dialogs; each returns IDOK or IDCANCEL.
    virtual int RunAboutBox() = 0;
    virtual int RunLinkSettings(AllocationRow& row, const std::vector<std::string>& linkKinds) = 0;
    // `config` of virtual port `portName` changes only on IDOK; `others` are
    // the other channels' ports.
    virtual int RunNetworkPort(const std::string& portName, NetworkPortConfig& config,
                               const std::vector<NetworkPortUse>& others) = 0;
};

}  // namespace varnock
