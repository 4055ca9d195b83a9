#pragma once
// One settings file. Every call reads or writes the file on disk at once;
// nothing is cached. A call that names a section makes it the current
// section for later calls that name none.
#include <filesystem>
#include <optional>
#include <string>

namespace varnock {

class IniFile {
public:
    IniFile() = default;
    virtual ~IniFile() = default;

    void SetFileName(const std::filesystem::path& path);
    const std::filesystem::path& GetFileName() const { return m_strFileName; }

    // Value of `key`, at most 511 characters; `def` (none = empty) when the
    // file, section or key is missing. Empty text while no file is bound.
    std::string GetString(const std::string& key, const std::optional<std::string>& def = std::nullopt,
                          const std::optional<std::string>& section = std::nullopt);
    // Value of `key` by atoi rules: the default when missing, 0 when present
    // but not a number, 12 for "12abc". 0 while no file is bound.
    int GetInt(const std::string& key, int def, const std::optional<std::string>& section = std::nullopt);
    // Writes `key` = `value`; does nothing while no file is bound. false
    // when nothing was written.
    bool WriteString(const std::string& key, const std::string& value,
                     const std::optional<std::string>& section = std::nullopt);

private:
    std::filesystem::path m_strFileName;
    std::string m_strSection;
    char m_szNumber[512] = {};
};

}  // namespace varnock
