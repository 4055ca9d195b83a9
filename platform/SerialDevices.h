#pragma once
// The serial devices of this machine that a link may open, as the link
// settings dialog offers them below the COM names.
#include <filesystem>
#include <string>
#include <vector>

namespace varnock::platform {

struct SerialDevice {
    std::string path;    // what a link opens: "/dev/serial/by-id/usb-FTDI_...", "/dev/ttyUSB1"
    std::string target;  // the device a by-id link points to ("/dev/ttyUSB0"); empty for a node
};

// The links in dev/serial/by-id first, by name (their names stay the same
// whatever the order the adapters were plugged in), then the ttyUSB, ttyACM
// and ttyS nodes of `dev` that no such link points to, by kind and number.
// A ttyS counts only when `sys` (class/tty) shows a port with a UART behind
// it: the kernel makes ttyS nodes for ports that have none. A folder that
// cannot be read adds nothing.
std::vector<SerialDevice> ListSerialDevices(const std::filesystem::path& dev = "/dev",
                                            const std::filesystem::path& sys = "/sys");

// "/dev/serial/by-id/NAME (/dev/ttyUSB0)", or the path of a node.
std::string SerialDeviceText(const SerialDevice& device);

}  // namespace varnock::platform
