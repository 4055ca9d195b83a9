#pragma once
// INI files read and written line by line, the way the settings files have
// always been handled: section and key names match ignoring case and
// surrounding blanks, values come back trimmed and cut to 511 characters,
// and a write touches only its own line.
#include <cstddef>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace varnock::platform {

// Longest value a read returns; longer values are cut.
inline constexpr std::size_t kProfileValueMax = 511;

// Whether `file` is a regular file that can be opened for reading. Nothing
// else counts as readable: a FIFO, a directory or a device reads as an
// unreadable file everywhere here, and is never opened, so nothing blocks.
bool CanReadPrivateProfile(const std::filesystem::path& file);

// The value of `key` in `section` of `file`, or `def` when the file, the
// section or the key is missing. A key present with an empty value gives
// empty text, not the default.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::filesystem::path& file);

// Every key line of `section` in `file`, in file order, as (key, value)
// read the way GetPrivateProfileString reads them; a key that appears twice
// is listed twice, and a read returns its first value. One pass over the
// file, for callers that need many keys of a large section. Empty when the
// file or the section is missing.
std::vector<std::pair<std::string, std::string>> GetPrivateProfileSection(const std::string& section,
                                                                          const std::filesystem::path& file);

// Sets `key` in `section` of `file` to `value`, creating the file, the
// section and the key as needed. Every other byte of the file is kept. The
// file is replaced in one step (temporary file in the same directory, then
// rename), so a failed write leaves the old file whole. A file that exists
// but cannot be read, or is not a regular file, is not written. Names or values
// holding a line break, a key holding "=" and a section holding "]" are
// refused. false when nothing was written.
bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::filesystem::path& file);

}  // namespace varnock::platform
