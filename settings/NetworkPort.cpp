#include "settings/NetworkPort.h"

#include <arpa/inet.h>

#include "platform/Text.h"

namespace varnock {
namespace {

bool IsIpv4(const std::string& text) {
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

}  // namespace

std::optional<NetworkPortConfig> ParseNetworkPort(std::string_view text) {
    NetworkPortConfig config;
    std::string_view trimmed = platform::TrimView(text);
    if (trimmed.empty()) return config;
    std::string_view portText = trimmed;
    if (std::size_t colon = trimmed.rfind(':'); colon != std::string_view::npos) {
        config.address = platform::Trim(trimmed.substr(0, colon));
        portText = platform::TrimView(trimmed.substr(colon + 1));
        if (!IsIpv4(config.address)) return std::nullopt;
    }
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    int port = platform::AtoiSaturating(portText);
    if (port < 1 || port > 65535) return std::nullopt;
    config.port = static_cast<uint16_t>(port);
    return config;
}

std::string FormatNetworkPort(const NetworkPortConfig& config) {
    if (!config.Served()) return {};
    std::string port = std::to_string(config.port);
    return config.address == "127.0.0.1" ? port : config.address + ":" + port;
}

std::optional<std::vector<std::string>> ParseClientList(std::string_view text) {
    std::vector<std::string> allowed;
    while (!platform::TrimView(text).empty()) {
        std::size_t comma = text.find(',');
        std::string entry = platform::Trim(text.substr(0, comma));
        if (!IsIpv4(entry)) return std::nullopt;
        allowed.push_back(entry);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    }
    return allowed;
}

std::string FormatClientList(const std::vector<std::string>& allowed) {
    std::string text;
    for (const std::string& entry : allowed) text += (text.empty() ? "" : ",") + entry;
    return text;
}

}  // namespace varnock
