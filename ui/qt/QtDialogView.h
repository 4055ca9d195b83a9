#pragma once
// The controls of a dialog loaded from a template, addressed by control ID.
#include <QDialog>
#include <QPointer>

#include "ui/DialogView.h"

namespace varnock {

template <class Base>
class QtControlsView : public Base {
public:
    explicit QtControlsView(QDialog* dialog) : m_dialog(dialog) {}

    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) const override;
    void SetControlText(int id, const std::string& text) override;
    std::string GetControlText(int id) const override;
    void SetCheck(int id, bool checked) override;
    bool IsChecked(int id) const override;
    void ComboResetContent(int id) override;
    void ComboAddString(int id, const std::string& text) override;
    void ComboSetCurSel(int id, int index) override;
    int ComboGetCurSel(int id) const override;
    std::string ComboGetItemText(int id, int index) const override;
    void IpSetAddress(int id, const std::array<int, 4>& fields) override;
    IpFields IpGetAddress(int id) const override;
    void ShowMessage(int number, unsigned style,
                     const std::optional<std::string>& arg = std::nullopt) override;
    void EndDialog(int result) override;

    QDialog* Dialog() const { return m_dialog; }
    QWidget* Control(int id) const;

protected:
    QPointer<QDialog> m_dialog;
};

using QtDialogView = QtControlsView<DialogView>;

extern template class QtControlsView<DialogView>;
extern template class QtControlsView<MainDialogView>;

}  // namespace varnock
