#include "ui/IpAddress.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "platform/Text.h"

namespace varnock {
namespace {

// A field's text by atoi rules, held to 0..255.
int ToField(std::string_view text) {
    return std::clamp(platform::AtoiSaturating(text), 0, 255);
}

}  // namespace

std::array<int, 4> AddressFieldsFromText(const std::string& text) {
    std::array<int, 4> fields{0, 0, 0, 0};
    if (text.empty()) return fields;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = i < 3 ? text.find('.', start) : std::string::npos;
        fields[i] = ToField(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return fields;
}

std::string FormatAddress(const std::array<int, 4>& fields) {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", fields[0], fields[1], fields[2], fields[3]);
    return text;
}

std::optional<int> AddressFieldValue(const std::string& typed) {
    if (typed.empty()) return std::nullopt;
    return ToField(typed);
}

}  // namespace varnock
