#pragma once
// Text rules shared by the INI access, the settings and the dialogs.
#include <string>
#include <string_view>

namespace varnock::platform {

// Without leading and trailing blanks (space, tab, CR, LF, VT, FF).
std::string_view TrimView(std::string_view text);
std::string Trim(std::string_view text);

// Equal or prefixed ignoring the case of ASCII letters; other bytes match
// only themselves, whatever the locale.
bool EqualNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// C's atoi rules: leading blanks, an optional sign, then decimal digits up
// to the first other character; no digits give 0. A value beyond the range
// of int is held to its nearer end instead of being undefined.
int AtoiSaturating(std::string_view text);

}  // namespace varnock::platform
