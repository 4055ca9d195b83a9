#include "ui/qt/QtMainWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTableWidget>

#include "common/Messages.h"
#include "platform/MessageLoop.h"
#include "ui/qt/ModalChain.h"
#include "ui/qt/QtLinkSettingsDialog.h"
#include "ui/qt/QtNetworkPortDialog.h"
#include "ui/qt/TemplateLoader.h"

namespace varnock {
namespace {

constexpr int kRowRole = Qt::UserRole + 1;

QDialog* LoadMainTemplate() {
    QWidget* widget = LoadDialogWidget(kDialogMain);
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (!dialog) delete widget;
    return dialog;
}

QTableWidgetItem* CellItem(QTableWidget* table, int row, int column) {
    QTableWidgetItem* cell = table->item(row, column);
    if (!cell) {
        cell = new QTableWidgetItem;
        cell->setTextAlignment(Qt::AlignCenter);
        cell->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        table->setItem(row, column, cell);
    }
    return cell;
}

}  // namespace

// ---- the list view

QTableWidget* QtMainView::List(int id) const {
    return qobject_cast<QTableWidget*>(Control(id));
}

int QtMainView::ListMeasureHeader(int id, const std::string& text) const {
    QTableWidget* table = List(id);
    if (!table) return -1;
    QHeaderView* header = table->horizontalHeader();
    // The text's width plus the header section's own margins, so that the
    // caption shows whole.
    int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    return header->fontMetrics().horizontalAdvance(QString::fromStdString(text)) + 4 * margin;
}

void QtMainView::ListSetGridAndFullRowSelect(int id) {
    QTableWidget* table = List(id);
    if (!table) return;
    table->setShowGrid(true);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setHighlightSections(false);
    table->horizontalHeader()->setStretchLastSection(false);
    // Header captions may be shorter than what the rows show; no column
    // gets too narrow for the link texts.
    QHeaderView* header = table->horizontalHeader();
    int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    header->setMinimumSectionSize(table->fontMetrics().horizontalAdvance(QStringLiteral("Ethernet")) +
                                  6 * margin);
}

void QtMainView::ListInsertColumn(int id, int column, const std::string& header, int width) {
    QTableWidget* table = List(id);
    if (!table) return;
    table->insertColumn(column);
    auto* caption = new QTableWidgetItem(QString::fromStdString(header));
    caption->setTextAlignment(Qt::AlignCenter);
    table->setHorizontalHeaderItem(column, caption);
    table->setColumnWidth(column, width);
}

void QtMainView::ListSetColumnWidth(int id, int column, int width) {
    if (QTableWidget* table = List(id)) table->setColumnWidth(column, width);
}

int QtMainView::ListInsertItem(int id, int index, const std::string& text) {
    QTableWidget* table = List(id);
    if (!table) return -1;
    index = std::clamp(index, 0, table->rowCount());
    table->insertRow(index);
    for (int column = 0; column < table->columnCount(); ++column) CellItem(table, index, column);
    CellItem(table, index, 0)->setText(QString::fromStdString(text));
    return index;
}

void QtMainView::ListSetItemText(int id, int item, int column, const std::string& text) {
    if (QTableWidgetItem* cell = Cell(id, item, column)) cell->setText(QString::fromStdString(text));
}

void QtMainView::ListSetItemToolTip(int id, int item, int column, const std::string& text) {
    if (QTableWidgetItem* cell = Cell(id, item, column)) cell->setToolTip(QString::fromStdString(text));
}

QTableWidgetItem* QtMainView::Cell(int id, int item, int column) const {
    QTableWidget* table = List(id);
    if (!table || item < 0 || item >= table->rowCount() || column < 0 || column >= table->columnCount())
        return nullptr;
    return CellItem(table, item, column);
}

void QtMainView::ListSetItemData(int id, int item, AllocationRow* row) {
    QTableWidget* table = List(id);
    if (!table || item < 0 || item >= table->rowCount()) return;
    CellItem(table, item, 0)->setData(kRowRole, QVariant::fromValue(reinterpret_cast<quintptr>(row)));
}

AllocationRow* QtMainView::ListGetItemData(int id, int item) const {
    QTableWidget* table = List(id);
    if (!table || item < 0 || item >= table->rowCount() || !table->item(item, 0)) return nullptr;
    return reinterpret_cast<AllocationRow*>(table->item(item, 0)->data(kRowRole).value<quintptr>());
}

int QtMainView::ListGetItemCount(int id) const {
    QTableWidget* table = List(id);
    return table ? table->rowCount() : 0;
}

int QtMainView::ListGetSelectionMark(int id) const {
    QTableWidget* table = List(id);
    return table ? table->currentRow() : -1;
}

int QtMainView::ListGetSelectedCount(int id) const {
    QTableWidget* table = List(id);
    return table ? static_cast<int>(table->selectionModel()->selectedRows().size()) : 0;
}

int QtMainView::ListGetTopIndex(int id) const {
    QTableWidget* table = List(id);
    if (!table || table->rowCount() == 0) return -1;
    int top = table->rowAt(0);
    return top < 0 ? 0 : top;
}

void QtMainView::ListSelectItem(int id, int item) {
    QTableWidget* table = List(id);
    if (!table || item < 0 || item >= table->rowCount()) return;
    table->setCurrentCell(item, 0);
    table->selectRow(item);
}

void QtMainView::ListDeleteAllItems(int id) {
    if (QTableWidget* table = List(id)) table->setRowCount(0);
}

// ---- the menu and the window

QMenu* QtMainView::Menu() {
    if (!m_dialog) return nullptr;
    if (auto* menu = m_dialog->findChild<QMenu*>()) return menu;
    // A template without a menu bar gets one.
    auto* bar = new QMenuBar(m_dialog);
    if (m_dialog->layout()) m_dialog->layout()->setMenuBar(bar);
    return bar->addMenu(QStringLiteral("&Menu"));
}

void QtMainView::AppendMenuSeparator() {
    if (QMenu* menu = Menu()) menu->addSeparator();
}

void QtMainView::AppendMenuItem(int command, const std::string& text) {
    QMenu* menu = Menu();
    if (!menu) return;
    QString caption = QString::fromStdString(text);
    if (command == IDM_MANUAL) caption += QStringLiteral("\tF1");
    QAction* action = menu->addAction(caption);
    action->setData(command);
    QObject::connect(action, &QAction::triggered, menu, [this, command] {
        if (m_menuHandler) m_menuHandler(command);
    });
}

void QtMainView::MakeTopmostAtOrigin() {
    if (!m_dialog) return;
    m_dialog->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    QScreen* screen = m_dialog->screen() ? m_dialog->screen() : QGuiApplication::primaryScreen();
    m_dialog->move(screen ? screen->geometry().topLeft() : QPoint(0, 0));
}

void QtMainView::RestoreWindow() {
    if (!m_dialog) return;
    m_dialog->showNormal();
    m_dialog->raise();
    m_dialog->activateWindow();
    m_dialog->setFocus();
}

int QtMainView::RunAboutBox() {
    std::unique_ptr<QWidget> widget(LoadDialogWidget(kDialogAbout, m_dialog));
    auto* about = qobject_cast<QDialog*>(widget.get());
    if (!about) return IDCANCEL;
    return ExecModal(*about) == QDialog::Accepted ? IDOK : IDCANCEL;
}

int QtMainView::RunLinkSettings(AllocationRow& row, const std::vector<std::string>& linkKinds) {
    return RunLinkSettingsDialog(m_dialog, row, linkKinds);
}

int QtMainView::RunNetworkPort(const std::string& portName, NetworkPortConfig& config,
                               const std::vector<NetworkPortUse>& others) {
    return RunNetworkPortDialog(m_dialog, portName, config, others);
}

// ---- the window's events

QtMainWindow::QtMainWindow(ChannelBroadcasts& channels, HelpLauncher& help)
    : m_dialog(LoadMainTemplate()), m_view(m_dialog.get()), m_logic(m_view, channels, help) {
    if (m_dialog) Connect();
}

QtMainWindow::~QtMainWindow() {
    if (m_dialog) m_dialog->removeEventFilter(this);
}

void QtMainWindow::Connect() {
    QDialog* dialog = m_dialog.get();
    dialog->setWindowIcon(dialog->style()->standardIcon(QStyle::SP_DriveNetIcon));
    if (auto* bar = dialog->findChild<QMenuBar*>(); bar && dialog->layout())
        dialog->layout()->setMenuBar(bar);
    dialog->installEventFilter(this);
    m_view.SetMenuHandler([this](int command) { m_logic.OnSysCommand(command); });

    for (int id : {IDC_MAIN_EDIT, IDC_MAIN_CONNECT, IDC_MAIN_DISCONNECT, IDC_MAIN_EXIT, IDC_MAIN_NETWORK}) {
        if (auto* button = qobject_cast<QAbstractButton*>(m_view.Control(id))) {
            connect(button, &QAbstractButton::clicked, this, [this, id] { m_logic.OnCommand(id); });
        }
    }
    if (auto* table = qobject_cast<QTableWidget*>(m_view.Control(IDC_MAIN_LIST))) {
        connect(table, &QAbstractItemView::doubleClicked, this,
                [this](const QModelIndex& index) { m_logic.OnActivate(index.row(), index.column()); });
        table->installEventFilter(this);
    }
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), dialog);
    connect(help, &QShortcut::activated, this, [this] { m_logic.OnCommand(ID_HELP); });
}

bool QtMainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_dialog.get()) {
        // The close box. The close with which the dialog ends itself never
        // gets here: the dialog eats it.
        if (event->type() == QEvent::Close) {
            event->ignore();
            m_logic.OnClose();
            return true;
        }
        if (event->type() == QEvent::Show) m_logic.OnShowWindow(true);
    } else if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        auto* table = qobject_cast<QTableWidget*>(watched);
        if (table && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            // Enter activates the current cell and goes no further.
            QModelIndex index = table->currentIndex();
            if (index.isValid()) m_logic.OnActivate(index.row(), index.column());
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void QtMainWindow::EndOnStop() {
    if (m_ending || !m_dialog) return;
    m_ending = true;
    CloseModalChain();
    // The close runs once the boxes' loops have returned: a channel's
    // monitor thread may be waiting for the box it asked for.
    WhenModalChainUnwound(m_dialog.get(), [this] { m_logic.OnClose(); });
}

int QtMainWindow::DoModal() {
    if (!m_dialog) return -1;
    auto& loop = platform::MessageLoop::Main();
    const bool pump = loop.IsLoopThread();
    if (pump) {
        // Each queued message gets a pump on the GUI thread, in whichever
        // event loop runs at the moment (the dialog's or a box's).
        auto run = [] { platform::MessageLoop::Main().Pump(); };
        loop.SetWakeup([run] { QMetaObject::invokeMethod(qApp, run, Qt::QueuedConnection); });
        QMetaObject::invokeMethod(qApp, run, Qt::QueuedConnection);
    }

    m_logic.OnInitDialog();
    int result = m_dialog->exec();
    m_logic.OnDestroy();

    if (pump) loop.SetWakeup(nullptr);
    return result == IDOK ? IDOK : IDCANCEL;
}

}  // namespace varnock
