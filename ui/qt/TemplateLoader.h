#pragma once
// Dialog templates by number from the resource library, built into widgets.
#include <QWidget>

namespace varnock {

// The window that template `number` describes, with `parent`; nullptr when
// the library has no such template or it cannot be read.
QWidget* LoadDialogWidget(int number, QWidget* parent = nullptr);

// The control that carries `controlId` within `window`, or nullptr.
QWidget* FindControl(QWidget* window, int controlId);

// Name of the dynamic property that carries a control's ID in the templates.
inline constexpr const char* kControlIdProperty = "controlId";

}  // namespace varnock
