#include "platform/UsbSerialDevices.h"

#include <algorithm>
#include <fstream>
#include <system_error>

namespace varnock::platform {
namespace fs = std::filesystem;
namespace {

// A sysfs attribute: one line of text; empty when missing.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    if (!in || !std::getline(in, text)) return {};
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

// The nearest folder, from `start` upwards but not above `root`, that holds `marker`.
fs::path AncestorWith(const fs::path& start, const fs::path& root, const char* marker) {
    for (fs::path p = start; !p.empty() && p != root && p != p.root_path(); p = p.parent_path()) {
        if (Exists(p / marker)) return p;
    }
    return {};
}

std::string DriverName(const fs::path& dir) {
    std::error_code ec;
    fs::path target = fs::canonical(dir / "driver", ec);
    return ec ? std::string() : target.filename().string();
}

}  // namespace

bool ListUsbSerialDevices(const fs::path& root, std::vector<UsbSerialDevice>& devices) {
    std::error_code ec;
    fs::directory_iterator it(root / "class" / "tty", ec);
    if (ec) return false;
    const fs::path canonicalRoot = fs::weakly_canonical(root, ec);

    std::vector<UsbSerialDevice> found;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path entry = it->path();
        std::error_code linkError;
        fs::path device = fs::canonical(entry / "device", linkError);
        if (linkError) continue;  // virtual terminals and the like have no device

        fs::path usbDevice = AncestorWith(device, canonicalRoot, "idVendor");
        if (usbDevice.empty()) continue;  // not on USB
        fs::path usbInterface = AncestorWith(device, usbDevice, "bInterfaceNumber");

        UsbSerialDevice dev;
        dev.ttyName = entry.filename().string();
        const std::string suffix = " (" + dev.ttyName + ")";
        if (std::string product = ReadAttribute(usbDevice / "product"); !product.empty())
            dev.friendlyName = product + suffix;
        std::string what = usbInterface.empty() ? std::string() : ReadAttribute(usbInterface / "interface");
        if (what.empty() && !usbInterface.empty()) what = DriverName(usbInterface);
        if (what.empty()) what = DriverName(device);
        if (!what.empty()) dev.description = what + suffix;
        found.push_back(std::move(dev));
    }
    std::sort(found.begin(), found.end(),
              [](const UsbSerialDevice& a, const UsbSerialDevice& b) { return a.ttyName < b.ttyName; });
    devices.insert(devices.end(), found.begin(), found.end());
    return true;
}

}  // namespace varnock::platform
