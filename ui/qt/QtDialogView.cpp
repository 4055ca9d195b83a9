#include "ui/qt/QtDialogView.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include "platform/MessageBox.h"
#include "ui/qt/Ipv4AddressEdit.h"
#include "ui/qt/TemplateLoader.h"

namespace varnock {

template <class Base>
QWidget* QtControlsView<Base>::Control(int id) const {
    return FindControl(m_dialog, id);
}

template <class Base>
void QtControlsView<Base>::EnableControl(int id, bool enable) {
    if (QWidget* w = Control(id)) w->setEnabled(enable);
}

template <class Base>
bool QtControlsView<Base>::IsControlEnabled(int id) const {
    QWidget* w = Control(id);
    return w && w->isEnabled();
}

template <class Base>
void QtControlsView<Base>::SetControlText(int id, const std::string& text) {
    QString value = QString::fromStdString(text);
    QWidget* w = Control(id);
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(value);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(value);
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        button->setText(value);
    } else if (w) {
        w->setWindowTitle(value);
    }
}

template <class Base>
std::string QtControlsView<Base>::GetControlText(int id) const {
    QWidget* w = Control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text().toStdString();
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdString();
    return {};
}

template <class Base>
void QtControlsView<Base>::SetCheck(int id, bool checked) {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    if (!button) return;
    // A radio button of a group cannot be unchecked while the group is
    // exclusive; leaving every button of the group unchecked is allowed.
    bool exclusive = button->autoExclusive();
    if (!checked && exclusive) button->setAutoExclusive(false);
    button->setChecked(checked);
    if (!checked && exclusive) button->setAutoExclusive(true);
}

template <class Base>
bool QtControlsView<Base>::IsChecked(int id) const {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    return button && button->isChecked();
}

template <class Base>
void QtControlsView<Base>::ComboResetContent(int id) {
    if (auto* combo = qobject_cast<QComboBox*>(Control(id))) combo->clear();
}

template <class Base>
void QtControlsView<Base>::ComboAddString(int id, const std::string& text) {
    if (auto* combo = qobject_cast<QComboBox*>(Control(id))) combo->addItem(QString::fromStdString(text));
}

template <class Base>
void QtControlsView<Base>::ComboSetCurSel(int id, int index) {
    if (auto* combo = qobject_cast<QComboBox*>(Control(id))) combo->setCurrentIndex(index);
}

template <class Base>
int QtControlsView<Base>::ComboGetCurSel(int id) const {
    auto* combo = qobject_cast<QComboBox*>(Control(id));
    return combo ? combo->currentIndex() : -1;
}

template <class Base>
std::string QtControlsView<Base>::ComboGetItemText(int id, int index) const {
    auto* combo = qobject_cast<QComboBox*>(Control(id));
    if (!combo || index < 0 || index >= combo->count()) return {};
    return combo->itemText(index).toStdString();
}

template <class Base>
void QtControlsView<Base>::IpSetAddress(int id, const std::array<int, 4>& fields) {
    if (auto* edit = qobject_cast<Ipv4AddressEdit*>(Control(id))) edit->SetFields(fields);
}

template <class Base>
IpFields QtControlsView<Base>::IpGetAddress(int id) const {
    auto* edit = qobject_cast<Ipv4AddressEdit*>(Control(id));
    if (!edit) {
        IpFields none;
        none.blank = {true, true, true, true};
        return none;
    }
    return edit->Fields();
}

template <class Base>
void QtControlsView<Base>::ShowMessage(int number, unsigned style, const std::optional<std::string>& arg) {
    platform::ShowMessage(number, style, arg);
}

template <class Base>
void QtControlsView<Base>::EndDialog(int result) {
    if (m_dialog) m_dialog->done(result);
}

template class QtControlsView<DialogView>;
template class QtControlsView<MainDialogView>;

}  // namespace varnock
