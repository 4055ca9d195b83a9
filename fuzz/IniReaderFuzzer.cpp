// The INI reader and writer over arbitrary file contents: reads stay within
// their limits, a section read agrees with key-by-key reads, and a write
// changes its own key only: it reads back as written and every other key
// keeps its value.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "fuzz/FuzzSupport.h"
#include "platform/PrivateProfile.h"

using namespace varnock;
namespace fs = std::filesystem;

namespace {

fs::path g_file;

// The sections and keys the system itself reads and writes.
const char* const kSections[] = {"Application", "VirtualCOMAllocationMatrix", "CustomSetting"};
const char* const kKeys[] = {"1", "items", "PortAssignMode", "ResourceDLLName", "12"};

std::string Trimmed(const std::string& text) {
    constexpr const char* blanks = " \t\r\n\v\f";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string Lower(std::string text) {
    for (auto& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::map<std::pair<std::string, std::string>, std::string> ReadEverything() {
    std::map<std::pair<std::string, std::string>, std::string> values;
    for (const char* section : kSections) {
        // The one-pass read of a section agrees with reading key by key.
        std::map<std::string, std::string> first;
        for (const auto& [key, value] : platform::GetPrivateProfileSection(section, g_file)) {
            FUZZ_CHECK(value.size() <= platform::kProfileValueMax);
            first.emplace(Lower(key), value);
        }
        for (const auto& [key, value] : first) {
            if (values.size() > 64) break;
            FUZZ_CHECK(platform::GetPrivateProfileString(section, key, "\x01missing", g_file) == value);
            values[{section, key}] = value;
        }
        for (const char* key : kKeys) {
            std::string value = platform::GetPrivateProfileString(section, key, "\x01missing", g_file);
            FUZZ_CHECK(value.size() <= platform::kProfileValueMax);
            values[{section, Lower(key)}] = value;
        }
    }
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/varnock-fuzz-ini-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) std::abort();
    g_file = fs::path(dir) / "Varnock_setting.ini";
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_file.parent_path(), ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first byte picks the write, the rest is the file.
    const uint8_t pick = data[0];
    {
        std::ofstream out(g_file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    auto before = ReadEverything();

    const std::string section = kSections[pick % 3];
    const std::string key = kKeys[(pick / 3) % 5];
    std::string value;
    // The value: a few bytes of the file itself, without line breaks.
    for (size_t i = 1 + (pick % 7); i < size && value.size() < 24; i += 3) {
        char c = static_cast<char>(data[i]);
        value += (c == '\r' || c == '\n') ? ' ' : c;
    }
    if (!platform::WritePrivateProfileString(section, key, value, g_file)) return 0;

    auto after = ReadEverything();
    std::string expected = Trimmed(value);
    FUZZ_CHECK(platform::GetPrivateProfileString(section, key, "", g_file) == expected);
    for (const auto& [where, old] : before) {
        if (where.first == section && Lower(where.second) == Lower(key)) continue;  // the same key
        auto found = after.find(where);
        FUZZ_CHECK(found != after.end() && found->second == old);
    }
    return 0;
}
