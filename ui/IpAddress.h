#pragma once
// The IPv4 address control's rules, shared by the dialog logic and the Qt
// control: four fields of 0 to 255, each of which may be blank.
#include <array>
#include <optional>
#include <string>

namespace varnock {

// The four fields for an address text: empty text gives 0.0.0.0; otherwise
// the text is cut at its first three dots and each piece converted by atoi
// rules. A missing piece gives 0, and a value outside 0 to 255 is held to
// the nearer end, so every text shows as some address.
std::array<int, 4> AddressFieldsFromText(const std::string& text);

// "%d.%d.%d.%d".
std::string FormatAddress(const std::array<int, 4>& fields);

// What a field holds for the digits typed into it: none when blank,
// otherwise the value, held to 255.
std::optional<int> AddressFieldValue(const std::string& typed);

}  // namespace varnock
