#include "settings/IniFile.h"

#include <cstdio>

#include "platform/PrivateProfile.h"
#include "platform/Text.h"

namespace varnock {

void IniFile::SetFileName(const std::filesystem::path& path) {
    m_strFileName = path;
}

std::string IniFile::GetString(const std::string& key, const std::optional<std::string>& def,
                               const std::optional<std::string>& section) {
    if (section) m_strSection = *section;
    if (m_strFileName.empty()) return {};
    return platform::GetPrivateProfileString(m_strSection, key, def.value_or(std::string()), m_strFileName);
}

int IniFile::GetInt(const std::string& key, int def, const std::optional<std::string>& section) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", def);
    std::string value = GetString(key, std::string(text), section);
    std::snprintf(m_szNumber, sizeof m_szNumber, "%s", value.c_str());
    return platform::AtoiSaturating(m_szNumber);
}

bool IniFile::WriteString(const std::string& key, const std::string& value,
                          const std::optional<std::string>& section) {
    if (section) m_strSection = *section;
    if (m_strFileName.empty()) return false;
    return platform::WritePrivateProfileString(m_strSection, key, value, m_strFileName);
}

}  // namespace varnock
