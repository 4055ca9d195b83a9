#pragma once
// A virtual port served over TCP as an RFC 2217 serial port instead of as a
// pty. Kept in the channel file's own sections, beside the allocation
// matrix, so that files without them load and save as before:
//   [NetworkPorts]     COM5=2217            (loopback only)
//                      COM6=0.0.0.0:2218    (any other address is written out)
//   [NetworkClients]   COM6=10.0.0.5,10.0.0.6   (empty or missing: any client)
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnock {

inline constexpr const char* kSectionNetworkPorts = "NetworkPorts";
inline constexpr const char* kSectionNetworkClients = "NetworkClients";

struct NetworkPortConfig {
    std::string address = "127.0.0.1";  // listen address, IPv4 dotted
    uint16_t port = 0;                  // 0: the port is a pty
    std::vector<std::string> allowed;   // client addresses let in; empty: any

    bool Served() const { return port != 0; }
    bool operator==(const NetworkPortConfig&) const = default;
};

// "2217" or "ADDRESS:2217" (ADDRESS IPv4 dotted, port 1-65535); none when
// the text is not one of those. Empty text gives a config that is not served.
std::optional<NetworkPortConfig> ParseNetworkPort(std::string_view text);
// The listen text as ParseNetworkPort reads it: a bare port for loopback.
std::string FormatNetworkPort(const NetworkPortConfig& config);
// "a, b,c" -> {a, b, c}; none when an entry is not an IPv4 address.
std::optional<std::vector<std::string>> ParseClientList(std::string_view text);
std::string FormatClientList(const std::vector<std::string>& allowed);

}  // namespace varnock
