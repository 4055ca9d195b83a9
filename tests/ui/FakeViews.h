#pragma once
// Windows without a display: every control is a record keyed by its ID.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "settings/AllocationRow.h"
#include "ui/DialogView.h"
#include "ui/MainDialog.h"

namespace varnock::test {

struct FakeControl {
    bool enabled = true, checked = false;
    std::string text;
    std::vector<std::string> items;  // drop-down entries
    int curSel = -1;
    IpFields ip{{0, 0, 0, 0}, {true, true, true, true}};
};

template <class Base>
class FakeDialogBase : public Base {
public:
    mutable std::map<int, FakeControl> controls;
    std::vector<int> messages;
    std::string lastArg;     // of the last message
    unsigned lastStyle = 0;  // of the last message
    int endResult = -1;      // -1 while the dialog runs

    void EnableControl(int id, bool enable) override { controls[id].enabled = enable; }
    bool IsControlEnabled(int id) const override { return controls[id].enabled; }
    void SetControlText(int id, const std::string& text) override { controls[id].text = text; }
    std::string GetControlText(int id) const override { return controls[id].text; }
    void SetCheck(int id, bool checked) override { controls[id].checked = checked; }
    bool IsChecked(int id) const override { return controls[id].checked; }
    void ComboResetContent(int id) override { controls[id].items.clear(), controls[id].curSel = -1; }
    void ComboAddString(int id, const std::string& text) override { controls[id].items.push_back(text); }
    void ComboSetCurSel(int id, int index) override { controls[id].curSel = index; }
    int ComboGetCurSel(int id) const override { return controls[id].curSel; }
    std::string ComboGetItemText(int id, int index) const override { return controls[id].items.at(index); }
    void IpSetAddress(int id, const std::array<int, 4>& fields) override { controls[id].ip = {fields, {}}; }
    IpFields IpGetAddress(int id) const override { return controls[id].ip; }
    void ShowMessage(int number, unsigned style, const std::optional<std::string>& arg) override {
        messages.push_back(number), lastStyle = style, lastArg = arg.value_or("");
    }
    void EndDialog(int result) override { endResult = result; }

    void ClickRadio(int id, std::initializer_list<int> group) {
        for (int other : group) controls[other].checked = other == id;
    }
};

using FakeDialogView = FakeDialogBase<DialogView>;

class FakeMainView : public FakeDialogBase<MainDialogView> {
public:
    struct Item {
        std::vector<std::string> texts = std::vector<std::string>(5);
        std::vector<std::string> tips = std::vector<std::string>(5);
        AllocationRow* data = nullptr;
    };
    std::vector<std::pair<std::string, int>> columns;
    std::vector<Item> items;
    std::vector<int> menu;  // commands, 0 for a separator
    int selectionMark = -1;
    bool topmost = false;
    int aboutRuns = 0, restores = 0;
    // Plays the user's part in the link settings dialog; Cancel when unset.
    std::function<int(AllocationRow&, const std::vector<std::string>&)> linkSettings;
    // The same for the network port dialog.
    std::function<int(const std::string&, NetworkPortConfig&, const std::vector<NetworkPortUse>&)>
        networkPort;

    int ListMeasureHeader(int, const std::string& text) const override { return int(text.size()) * 7; }
    void ListSetGridAndFullRowSelect(int) override {}
    void ListInsertColumn(int, int column, const std::string& header, int width) override {
        columns.insert(columns.begin() + column, {header, width});
    }
    void ListSetColumnWidth(int, int column, int width) override { columns.at(column).second = width; }
    int ListInsertItem(int, int index, const std::string& text) override {
        index = std::min<int>(index, static_cast<int>(items.size()));
        items.insert(items.begin() + index, Item{})->texts[0] = text;
        return index;
    }
    void ListSetItemText(int, int item, int column, const std::string& text) override {
        items.at(item).texts.at(column) = text;
    }
    void ListSetItemToolTip(int, int item, int column, const std::string& text) override {
        items.at(item).tips.at(column) = text;
    }
    void ListSetItemData(int, int item, AllocationRow* row) override { items.at(item).data = row; }
    AllocationRow* ListGetItemData(int, int item) const override { return items.at(item).data; }
    int ListGetItemCount(int) const override { return static_cast<int>(items.size()); }
    int ListGetSelectionMark(int) const override { return selectionMark; }
    int ListGetSelectedCount(int) const override { return selectionMark >= 0; }
    int ListGetTopIndex(int) const override { return 0; }
    void ListSelectItem(int, int item) override { selectionMark = item; }
    void ListDeleteAllItems(int) override { items.clear(); }
    void AppendMenuSeparator() override { menu.push_back(0); }
    void AppendMenuItem(int command, const std::string&) override { menu.push_back(command); }
    void MakeTopmostAtOrigin() override { topmost = true; }
    void RestoreWindow() override { ++restores; }
    int RunAboutBox() override { return ++aboutRuns, IDOK; }
    int RunLinkSettings(AllocationRow& row, const std::vector<std::string>& kinds) override {
        return linkSettings ? linkSettings(row, kinds) : IDCANCEL;
    }
    int RunNetworkPort(const std::string& name, NetworkPortConfig& config,
                       const std::vector<NetworkPortUse>& others) override {
        return networkPort ? networkPort(name, config, others) : IDCANCEL;
    }
};

class RecordingChannels : public ChannelBroadcasts {
public:
    int ConnectAll() override { return log.push_back("connect"), connectResult; }
    int DisconnectAll() override {
        if (onDisconnect) onDisconnect();
        return log.push_back("disconnect"), 1;
    }
    void SetMainWindow(MainWindowLink*) override { log.push_back("window"); }
    void DeleteManager() override { log.push_back("delete"); }
    std::string NetworkClient(int channel) override { return clients[channel]; }
    int connectResult = 1;
    std::function<void()> onDisconnect;
    std::map<int, std::string> clients;  // by channel
    std::vector<std::string> log;
};

}  // namespace varnock::test
