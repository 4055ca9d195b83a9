#pragma once
// The USB serial devices that are present, from the sysfs device tree: every
// tty whose device hangs on a USB device, with descriptive names that end in
// the tty name in parentheses.
#include <filesystem>
#include <string>
#include <vector>

namespace varnock::platform {

struct UsbSerialDevice {
    std::string ttyName;       // "ttyUSB0"
    std::string friendlyName;  // "<product> (<tty>)"; empty when the USB device names no product
    std::string description;   // "<interface text or driver> (<tty>)"; empty when neither is known
};

// Walks root/class/tty (root is "/sys" on a running system). Returns false,
// leaving `devices` alone, when that folder cannot be listed; otherwise
// appends the devices found, ordered by tty name.
bool ListUsbSerialDevices(const std::filesystem::path& root, std::vector<UsbSerialDevice>& devices);

}  // namespace varnock::platform
