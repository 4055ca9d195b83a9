#pragma once
// The network port dialog on screen: template 250 with its logic.
#include <string>
#include <vector>

#include "ui/DialogView.h"

class QWidget;

namespace varnock {

// Runs the dialog modally over `parent` for virtual port `portName`; IDOK
// when the user confirmed and `config` holds the choice, otherwise IDCANCEL.
int RunNetworkPortDialog(QWidget* parent, const std::string& portName, NetworkPortConfig& config,
                         const std::vector<NetworkPortUse>& others);

}  // namespace varnock
