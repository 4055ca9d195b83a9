#pragma once
// Finds the COM port of a USB-to-UART converter by the beginning of its
// device name.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/UsbSerialDevices.h"

namespace varnock {

// Where the device tree lies on a running system.
inline const std::filesystem::path kSystemDeviceTree = "/sys";

// Appends "\\.\<port>" for every present USB serial device whose friendly
// name (or, without one, its description) begins with `prefix`, the port
// being the text in the first pair of parentheses. Devices without such a
// pair are skipped. Returns 0 when no device list can be had, else 1.
int FindUsbComPorts(const std::string& prefix, std::vector<std::string>& ports,
                    const std::filesystem::path& deviceTreeRoot = kSystemDeviceTree);

// The matching step on a device list already at hand.
void MatchUsbComPorts(const std::string& prefix, const std::vector<platform::UsbSerialDevice>& devices,
                      std::vector<std::string>& ports);

}  // namespace varnock
