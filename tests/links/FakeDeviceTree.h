#pragma once
// Look-alikes of sysfs (class/tty, some under USB), of /dev (nodes, by-id) and the converter's settings.
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/TestSupport.h"

namespace varnock::test {

inline const char* const kCp2102 = "CP2102 USB to UART Bridge Controller";

class FakeDeviceTree {
public:
    const std::filesystem::path& root() const { return m_dir.path(); }
    const std::filesystem::path& dev() const { return m_dev.path(); }

    // A converter on its own USB device; a missing product leaves it without a friendly name.
    void AddUsbSerial(const std::string& tty, const std::optional<std::string>& product,
                      const std::optional<std::string>& interfaceText = std::nullopt) {
        const std::string bus = "1-" + std::to_string(++m_devices);
        const std::filesystem::path usb = root() / "devices/pci0000:00/0000:00:14.0/usb1" / bus;
        const std::filesystem::path intf = usb / (bus + ":1.0");
        AddTty(tty, intf / tty);
        WriteFile(usb / "idVendor", "10c4\n");
        if (product) WriteFile(usb / "product", *product + "\n");
        WriteFile(intf / "bInterfaceNumber", "00\n");
        if (interfaceText) WriteFile(intf / "interface", *interfaceText + "\n");
    }
    // A serial port that is not on USB; UART type 0 means none is there.
    void AddPlatformSerial(const std::string& tty, std::optional<int> uartType = std::nullopt) {
        AddTty(tty, root() / "devices/platform/serial8250" / tty);
        if (uartType) WriteFile(root() / "class/tty" / tty / "type", std::to_string(*uartType) + "\n");
    }
    // Device nodes in dev(), as plain files: only their names count.
    void AddNodes(std::initializer_list<const char*> names) {
        for (const char* name : names) WriteFile(dev() / name, "");
    }
    // A link in dev()/serial/by-id, relative as udev makes them.
    void AddById(const std::string& name, const std::string& node) {
        std::filesystem::create_directories(dev() / "serial/by-id");
        std::filesystem::create_symlink("../../" + node, dev() / "serial/by-id" / name);
    }
    // A tty with `device` behind it, or without any device (a virtual terminal).
    void AddTty(const std::string& tty, const std::filesystem::path& device = {}) {
        std::filesystem::create_directories(root() / "class/tty" / tty);
        if (device.empty()) return;
        std::filesystem::create_directories(device);
        std::filesystem::create_directory_symlink(device, root() / "class/tty" / tty / "device");
    }

private:
    TempDir m_dir;
    TempDir m_dev;
    int m_devices = 0;
};

inline void WriteUsbComSettings(const std::filesystem::path& dir, const std::string& portName,
                                int monitorTimeMs = 50) {
    WriteFile(dir / "Varnock.ini",
              "[CommunicationSettings]\nUSBCOMPortName=" + portName +
                  "\n[CustomSetting]\nPLCDataMonitorTime_USB=" + std::to_string(monitorTimeMs) + "\n");
}

}  // namespace varnock::test
