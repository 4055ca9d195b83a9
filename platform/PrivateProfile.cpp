#include "platform/PrivateProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/Text.h"

namespace varnock::platform {
namespace fs = std::filesystem;

namespace {

enum class FileState { Missing, Read, Unreadable };

// One line of the file, its end kept apart so that it can be written back
// exactly as it was.
struct Line {
    std::string text;  // without the line end
    std::string end;   // "\r\n", "\n" or "" for a last line without one
};

std::vector<Line> SplitLines(const std::string& content) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        auto nl = content.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back({content.substr(start), ""});
            break;
        }
        std::size_t textEnd = nl;
        if (textEnd > start && content[textEnd - 1] == '\r') --textEnd;
        lines.push_back({content.substr(start, textEnd - start), content.substr(textEnd, nl + 1 - textEnd)});
        start = nl + 1;
    }
    return lines;
}

// Calls `visit(index, raw, parsed)` for each line of `content`, numbered
// and cut as SplitLines cuts them, until it returns false. `parsed` is the
// line as the parser sees it: a byte-order mark on the first line is not
// part of its text.
template <class Visit>
void ForEachLine(std::string_view content, Visit visit) {
    std::size_t start = 0;
    for (std::size_t index = 0; start < content.size(); ++index) {
        auto nl = content.find('\n', start);
        std::size_t textEnd = nl == std::string_view::npos ? content.size() : nl;
        if (nl != std::string_view::npos && textEnd > start && content[textEnd - 1] == '\r') --textEnd;
        std::string_view raw = content.substr(start, textEnd - start);
        std::string_view parsed = raw;
        if (index == 0 && parsed.substr(0, 3) == "\xEF\xBB\xBF") parsed.remove_prefix(3);
        if (!visit(index, raw, parsed) || nl == std::string_view::npos) return;
        start = nl + 1;
    }
}

// Lookups work on views (TrimView): every read scans the whole file, so
// copying each line would make large files slow.
bool SectionName(std::string_view text, std::string_view& name) {
    std::string_view t = TrimView(text);
    if (t.empty() || t.front() != '[') return false;
    auto close = t.find(']');
    name = TrimView(t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return true;
}

bool KeyLine(std::string_view text, std::string_view& key, std::size_t& equals) {
    equals = text.find('=');
    if (equals == std::string_view::npos) return false;
    key = TrimView(text.substr(0, equals));
    return true;
}

// Where a key lives: the line of its section header and of the key itself.
struct Location {
    long section = -1;
    long key = -1;
    long lastEntry = -1;       // last non-blank line of the section
    std::string_view keyLine;  // the key's line as it stands in the file
};

Location Find(std::string_view content, const std::string& section, const std::string& key) {
    Location loc;
    std::string_view wantSection = TrimView(section);
    std::string_view wantKey = TrimView(key);
    bool inSection = false;
    ForEachLine(content, [&](std::size_t i, std::string_view raw, std::string_view text) {
        std::string_view name;
        if (SectionName(text, name)) {
            if (inSection) return false;  // the first section of that name counts
            if (EqualNoCase(name, wantSection)) {
                inSection = true;
                loc.section = loc.lastEntry = static_cast<long>(i);
            }
            return true;
        }
        if (!inSection) return true;
        if (!TrimView(text).empty()) loc.lastEntry = static_cast<long>(i);
        std::string_view k;
        std::size_t equals = 0;
        if (KeyLine(text, k, equals) && EqualNoCase(k, wantKey)) {
            loc.key = static_cast<long>(i);
            loc.keyLine = raw;
            return false;
        }
        return true;
    });
    return loc;
}

// Opens `file` for reading when it is a regular file. A FIFO or a device
// is never opened: opening one can block or act on the device.
int OpenRegular(const fs::path& file, FileState& state) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        // Existence comes from stat, not from whether the file opened: one
        // that exists but cannot be read must never be taken for missing.
        state = errno == ENOENT || errno == ENOTDIR ? FileState::Missing : FileState::Unreadable;
        return -1;
    }
    state = FileState::Unreadable;
    if (!S_ISREG(st.st_mode)) return -1;
    // Without blocking, should a FIFO have taken the file's place since.
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    state = FileState::Read;
    return fd;
}

FileState ReadAll(const fs::path& file, std::string& content) {
    FileState state = FileState::Missing;
    int fd = OpenRegular(file, state);
    if (fd < 0) return state;
    // One read into a buffer of the file's size: every lookup reads the
    // whole file, and a growing buffer costs more than the scan. Files sized
    // 0 (like those of /proc) are read as they come.
    struct stat st {};
    ::fstat(fd, &st);
    content.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t done = 0;
    for (;;) {
        if (done == content.size()) content.resize(content.size() * 2);
        ssize_t n = ::read(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) state = FileState::Unreadable;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    content.resize(done);
    return state;
}

mode_t NewFileMode() {
    // Read the umask without changing it (umask() would race other threads).
    mode_t mask = 022;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            mask = static_cast<mode_t>(std::stoul(Trim(line.substr(6)), nullptr, 8));
            break;
        }
    }
    return 0666 & ~mask;
}

bool WriteFully(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces `target` with `content` in one step.
bool ReplaceFile(const fs::path& target, const std::string& content, bool exists) {
    mode_t mode = NewFileMode();
    if (exists) {
        struct stat st {};
        if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
    }
    fs::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    std::string pattern = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = WriteFully(fd, content) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(name.data(), target.c_str()) == 0) return true;
    ::unlink(name.data());
    return false;
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

bool CanReadPrivateProfile(const fs::path& file) {
    FileState state = FileState::Missing;
    int fd = OpenRegular(file, state);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const fs::path& file) {
    std::string result = def;
    std::string content;
    if (ReadAll(file, content) == FileState::Read) {
        Location loc = Find(content, section, key);
        if (loc.key >= 0) result = std::string(TrimView(loc.keyLine.substr(loc.keyLine.find('=') + 1)));
    }
    if (result.size() > kProfileValueMax) result.resize(kProfileValueMax);
    return result;
}

std::vector<std::pair<std::string, std::string>> GetPrivateProfileSection(const std::string& section,
                                                                          const fs::path& file) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::string content;
    if (ReadAll(file, content) != FileState::Read) return entries;
    std::string_view wantSection = TrimView(section);
    bool inSection = false;
    ForEachLine(content, [&](std::size_t, std::string_view, std::string_view text) {
        std::string_view name;
        if (SectionName(text, name)) {
            if (inSection) return false;  // the first section of that name counts
            inSection = EqualNoCase(name, wantSection);
            return true;
        }
        std::string_view key;
        std::size_t equals = 0;
        if (inSection && KeyLine(text, key, equals)) {
            std::string value(TrimView(text.substr(equals + 1)));
            if (value.size() > kProfileValueMax) value.resize(kProfileValueMax);
            entries.emplace_back(std::string(key), std::move(value));
        }
        return true;
    });
    return entries;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const fs::path& file) {
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
    if (section.find(']') != std::string::npos || key.find('=') != std::string::npos) return false;
    if (Trim(key).empty()) return false;

    // Write through a symbolic link to the file it names, not over the link.
    fs::path target = file;
    std::error_code ec;
    if (fs::is_symlink(target, ec)) {
        fs::path resolved = fs::weakly_canonical(target, ec);
        if (!ec) target = resolved;
    }

    // A file that is there but cannot be read is left alone: writing would
    // replace everything in it with the one key.
    std::string content;
    const FileState state = ReadAll(target, content);
    if (state == FileState::Unreadable) return false;
    const bool exists = state == FileState::Read;

    Location loc = Find(content, section, key);
    std::string trimmedValue = Trim(value);
    std::string keyText;
    if (loc.key >= 0) {
        std::string_view old = loc.keyLine;
        std::size_t equals = old.find('=');
        std::size_t valueStart = old.find_first_not_of(" \t", equals + 1);
        if (valueStart == std::string_view::npos) valueStart = old.size();
        // Blanks after "=" are kept only when a value follows them.
        keyText = std::string(old.substr(0, trimmedValue.empty() ? equals + 1 : valueStart)) + trimmedValue;
        if (keyText == old) return true;  // already there; saves splitting a large file
    }

    std::vector<Line> lines = SplitLines(content);
    // New lines follow the file's own line ends.
    std::string eol = "\n";
    if (!lines.empty() && lines.front().end == "\r\n") eol = "\r\n";

    if (loc.key >= 0) {
        lines[static_cast<std::size_t>(loc.key)].text = keyText;
    } else if (loc.section >= 0) {
        auto at = static_cast<std::size_t>(loc.lastEntry);
        if (lines[at].end.empty()) lines[at].end = eol;
        lines.insert(lines.begin() + static_cast<long>(at) + 1, Line{Trim(key) + "=" + trimmedValue, eol});
    } else {
        if (!lines.empty() && lines.back().end.empty()) lines.back().end = eol;
        lines.push_back({"[" + Trim(section) + "]", eol});
        lines.push_back({Trim(key) + "=" + trimmedValue, eol});
    }

    std::string out;
    out.reserve(content.size() + key.size() + value.size() + section.size() + 8);
    for (const auto& line : lines) out += line.text + line.end;
    if (out == content) return true;
    return ReplaceFile(target, out, exists);
}

}  // namespace varnock::platform
