#include "platform/SerialDevices.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <system_error>
#include <tuple>

namespace varnock::platform {
namespace fs = std::filesystem;
namespace {

// Node names in the order they are listed.
constexpr const char* kNodeKinds[] = {"ttyUSB", "ttyACM", "ttyS"};

// The kind's index and the number of a node name such as "ttyUSB12"; false
// for other names.
bool ParseNode(const std::string& name, int* kind, long* number) {
    for (int k = 0; k < 3; ++k) {
        const std::string prefix = kNodeKinds[k];
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) return false;
        *kind = k;
        *number = std::strtol(digits.c_str(), nullptr, 10);
        return true;
    }
    return false;
}

// A ttyS port with a UART: its device is known and its type is not 0
// (unknown, the kernel's "no port here").
bool HasUart(const fs::path& sys, const std::string& name) {
    const fs::path entry = sys / "class/tty" / name;
    std::error_code ec;
    if (!fs::exists(entry / "device", ec)) return false;
    std::ifstream type(entry / "type");
    int value = -1;
    return !(type >> value) || value != 0;
}

}  // namespace

std::vector<SerialDevice> ListSerialDevices(const fs::path& dev, const fs::path& sys) {
    std::vector<SerialDevice> links;
    std::set<fs::path> linked;
    std::error_code ec;
    const fs::path byId = dev / "serial/by-id";
    for (fs::directory_iterator it(byId, ec), end; !ec && it != end; it.increment(ec)) {
        fs::path target = fs::read_symlink(it->path(), ec);
        if (ec) {
            ec.clear();
            continue;
        }
        // udev's links are relative ("../../ttyUSB0"); read within `dev`.
        target = (target.is_absolute() ? dev / target.lexically_relative("/dev") : byId / target)
                     .lexically_normal();
        linked.insert(target);
        links.push_back({it->path().string(), target.string()});
    }
    std::sort(links.begin(), links.end(),
              [](const SerialDevice& a, const SerialDevice& b) { return a.path < b.path; });

    struct Node {
        int kind;
        long number;
        fs::path path;
    };
    std::vector<Node> nodes;
    ec.clear();
    for (fs::directory_iterator it(dev, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        Node node{0, 0, it->path().lexically_normal()};
        if (!ParseNode(name, &node.kind, &node.number) || linked.count(node.path)) continue;
        if (node.kind == 2 && !HasUart(sys, name)) continue;
        nodes.push_back(node);
    }
    std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
        return std::tie(a.kind, a.number) < std::tie(b.kind, b.number);
    });
    for (const Node& node : nodes) links.push_back({node.path.string(), {}});
    return links;
}

std::string SerialDeviceText(const SerialDevice& device) {
    return device.target.empty() ? device.path : device.path + " (" + device.target + ")";
}

}  // namespace varnock::platform
