#include "ui/IpAddress.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace varnock {
namespace {

// atoi rules: leading blanks, an optional sign, then digits; anything else
// ends the number. Saturates instead of overflowing.
long long AtoiRules(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = std::min(value * 10 + (text[i] - '0'), 1000000LL);
    }
    return negative ? -value : value;
}

int ToField(long long value) {
    return static_cast<int>(std::clamp(value, 0LL, 255LL));
}

}  // namespace

std::array<int, 4> AddressFieldsFromText(const std::string& text) {
    std::array<int, 4> fields{0, 0, 0, 0};
    if (text.empty()) return fields;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = i < 3 ? text.find('.', start) : std::string::npos;
        fields[i] = ToField(
            AtoiRules(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start)));
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
    return ToField(AtoiRules(typed));
}

}  // namespace varnock
