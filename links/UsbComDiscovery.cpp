#include "links/UsbComDiscovery.h"

namespace varnock {

int FindUsbComPorts(const std::string& prefix, std::vector<std::string>& ports,
                    const std::filesystem::path& deviceTreeRoot) {
    std::vector<platform::UsbSerialDevice> devices;
    if (!platform::ListUsbSerialDevices(deviceTreeRoot, devices)) return 0;
    MatchUsbComPorts(prefix, devices, ports);
    return 1;
}

void MatchUsbComPorts(const std::string& prefix, const std::vector<platform::UsbSerialDevice>& devices,
                      std::vector<std::string>& ports) {
    for (const platform::UsbSerialDevice& device : devices) {
        const std::string& text = device.friendlyName.empty() ? device.description : device.friendlyName;
        if (text.rfind(prefix, 0) != 0) continue;
        size_t open = text.find('(');
        if (open == std::string::npos) continue;
        size_t close = text.find(')', open + 1);
        if (close == std::string::npos || close == open + 1) continue;
        ports.push_back("\\\\.\\" + text.substr(open + 1, close - open - 1));
    }
}

}  // namespace varnock
