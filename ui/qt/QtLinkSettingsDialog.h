#pragma once
// The link settings dialog on screen: template 129 with its logic.
#include <string>
#include <vector>

class QWidget;

namespace varnock {

class AllocationRow;

// Runs the dialog modally over `parent` on `row`; IDOK when the user
// confirmed and `row` holds the choice, otherwise IDCANCEL.
int RunLinkSettingsDialog(QWidget* parent, AllocationRow& row, const std::vector<std::string>& linkKinds);

}  // namespace varnock
