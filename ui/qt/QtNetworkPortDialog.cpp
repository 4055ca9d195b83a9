#include "ui/qt/QtNetworkPortDialog.h"

#include <QAbstractButton>
#include <functional>
#include <memory>

#include "common/Messages.h"
#include "ui/NetworkPortDialog.h"
#include "ui/qt/ModalChain.h"
#include "ui/qt/QtDialogView.h"
#include "ui/qt/TemplateLoader.h"

namespace varnock {

int RunNetworkPortDialog(QWidget* parent, const std::string& portName, NetworkPortConfig& config,
                         const std::vector<NetworkPortUse>& others) {
    std::unique_ptr<QDialog> dialog(qobject_cast<QDialog*>(LoadDialogWidget(kDialogNetworkPort, parent)));
    if (!dialog) return IDCANCEL;
    QtDialogView view(dialog.get());
    NetworkPortDialog logic(view);
    logic.SetPort(portName, &config);
    logic.SetOtherPorts(others);

    const std::pair<int, std::function<void()>> buttons[] = {
        {IDC_NET_SERVED, [&logic] { logic.OnServedClicked(); }},
        {IDOK, [&logic] { logic.OnOK(); }},
        {IDCANCEL, [&logic] { logic.OnCancel(); }}};
    for (const auto& [id, action] : buttons) {
        if (auto* button = qobject_cast<QAbstractButton*>(view.Control(id)))
            QObject::connect(button, &QAbstractButton::clicked, dialog.get(), action);
    }
    logic.OnInitDialog();
    // Escape and the close box reject: nothing is stored.
    return ExecModal(*dialog) == IDOK ? IDOK : IDCANCEL;
}

}  // namespace varnock
