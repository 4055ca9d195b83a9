#pragma once
// The main window on screen: template 102 with its logic. The window pumps
// the main thread's message loop while it runs, also inside the modal
// loops of the dialogs and boxes it opens.
#include <QObject>
#include <functional>
#include <memory>

#include "ui/MainDialog.h"
#include "ui/qt/QtDialogView.h"

class QMenu;
class QTableWidget;
class QTableWidgetItem;

namespace varnock {

class QtMainView : public QtControlsView<MainDialogView> {
public:
    explicit QtMainView(QDialog* dialog) : QtControlsView<MainDialogView>(dialog) {}

    int ListMeasureHeader(int id, const std::string& text) const override;
    void ListSetGridAndFullRowSelect(int id) override;
    void ListInsertColumn(int id, int column, const std::string& header, int width) override;
    void ListSetColumnWidth(int id, int column, int width) override;
    int ListInsertItem(int id, int index, const std::string& text) override;
    void ListSetItemText(int id, int item, int column, const std::string& text) override;
    void ListSetItemToolTip(int id, int item, int column, const std::string& text) override;
    void ListSetItemData(int id, int item, AllocationRow* row) override;
    AllocationRow* ListGetItemData(int id, int item) const override;
    int ListGetItemCount(int id) const override;
    int ListGetSelectionMark(int id) const override;
    int ListGetSelectedCount(int id) const override;
    int ListGetTopIndex(int id) const override;
    void ListSelectItem(int id, int item) override;
    void ListDeleteAllItems(int id) override;
    void AppendMenuSeparator() override;
    void AppendMenuItem(int command, const std::string& text) override;
    void MakeTopmostAtOrigin() override;
    void RestoreWindow() override;
    int RunAboutBox() override;
    int RunLinkSettings(AllocationRow& row, const std::vector<std::string>& linkKinds) override;
    int RunNetworkPort(const std::string& portName, NetworkPortConfig& config,
                       const std::vector<NetworkPortUse>& others) override;

    // Where the menu entries' commands go.
    void SetMenuHandler(std::function<void(int)> handler) { m_menuHandler = std::move(handler); }

private:
    QTableWidget* List(int id) const;
    // A cell of a list; nullptr outside it.
    QTableWidgetItem* Cell(int id, int item, int column) const;
    QMenu* Menu();

    std::function<void(int)> m_menuHandler;
};

class QtMainWindow : public QObject {
public:
    QtMainWindow(ChannelBroadcasts& channels, HelpLauncher& help);
    ~QtMainWindow() override;

    // false when the resource library has no main window template.
    bool Loaded() const { return m_dialog != nullptr; }
    void SetSettings(SettingsManager* settings) { m_logic.SetSettings(settings); }

    // Runs the window modally until it ends; then tears it down. The modal
    // result (IDOK, IDCANCEL), or -1 without a template.
    int DoModal();

    // A stop request: ends every dialog and box open over the window, then
    // closes the window as its close box does (disconnect, save, end). Once.
    void EndOnStop();

    QDialog* Dialog() const { return m_dialog.get(); }
    MainDialog& Logic() { return m_logic; }
    QtMainView& View() { return m_view; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Connect();

    std::unique_ptr<QDialog> m_dialog;
    QtMainView m_view;
    MainDialog m_logic;
    bool m_ending = false;
};

}  // namespace varnock
