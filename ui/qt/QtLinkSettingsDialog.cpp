#include "ui/qt/QtLinkSettingsDialog.h"

#include <QAbstractButton>
#include <QComboBox>
#include <memory>

#include "common/Messages.h"
#include "ui/LinkSettingsDialog.h"
#include "ui/qt/ModalChain.h"
#include "ui/qt/QtDialogView.h"
#include "ui/qt/TemplateLoader.h"

namespace varnock {

int RunLinkSettingsDialog(QWidget* parent, AllocationRow& row, const std::vector<std::string>& linkKinds) {
    std::unique_ptr<QDialog> dialog(qobject_cast<QDialog*>(LoadDialogWidget(kDialogLinkSettings, parent)));
    if (!dialog) return IDCANCEL;
    QtDialogView view(dialog.get());
    LinkSettingsDialog logic(view);
    logic.SetRow(&row);
    logic.SetLinkKinds(linkKinds);

    for (int id : {IDC_LINK_SERIAL, IDC_LINK_USB, IDC_LINK_ETHERNET}) {
        if (auto* button = qobject_cast<QAbstractButton*>(view.Control(id))) {
            QObject::connect(button, &QAbstractButton::clicked, dialog.get(),
                             [&logic, id] { logic.OnLinkClicked(id); });
        }
    }
    if (auto* ok = qobject_cast<QAbstractButton*>(view.Control(IDOK))) {
        QObject::connect(ok, &QAbstractButton::clicked, dialog.get(), [&logic] { logic.OnOK(); });
    }
    if (auto* cancel = qobject_cast<QAbstractButton*>(view.Control(IDCANCEL))) {
        QObject::connect(cancel, &QAbstractButton::clicked, dialog.get(), [&logic] { logic.OnCancel(); });
    }

    // Styles that open the whole list as one popup would make the 256 COM
    // names as tall as the screen; a scrolled list of a dozen keeps them reachable.
    if (auto* ports = qobject_cast<QComboBox*>(view.Control(IDC_LINK_COM_PORT))) {
        ports->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
        ports->setMaxVisibleItems(12);
    }
    logic.OnInitDialog();
    // Escape and the close box reject: nothing is stored.
    return ExecModal(*dialog) == IDOK ? IDOK : IDCANCEL;
}

}  // namespace varnock
