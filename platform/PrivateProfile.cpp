#include "platform/PrivateProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace varnock::platform {
namespace fs = std::filesystem;

namespace {

constexpr const char* kBlanks = " \t\r\n\v\f";

std::string Trim(const std::string& text) {
    auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

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

// The line as the parser sees it: a byte-order mark on the first line is
// not part of its text.
std::string ParsedText(const std::vector<Line>& lines, std::size_t index) {
    const std::string& text = lines[index].text;
    if (index == 0 && text.rfind("\xEF\xBB\xBF", 0) == 0) return text.substr(3);
    return text;
}

bool SectionName(const std::string& text, std::string& name) {
    std::string t = Trim(text);
    if (t.empty() || t.front() != '[') return false;
    auto close = t.find(']');
    name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

bool KeyLine(const std::string& text, std::string& key, std::size_t& equals) {
    equals = text.find('=');
    if (equals == std::string::npos) return false;
    key = Trim(text.substr(0, equals));
    return true;
}

// Where a key lives: the line of its section header and of the key itself.
struct Location {
    long section = -1;
    long key = -1;
    long lastEntry = -1;  // last non-blank line of the section
};

Location Find(const std::vector<Line>& lines, const std::string& section, const std::string& key) {
    Location loc;
    std::string wantSection = Trim(section);
    std::string wantKey = Trim(key);
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string text = ParsedText(lines, i);
        std::string name;
        if (SectionName(text, name)) {
            if (inSection) break;  // the first section of that name counts
            if (EqualNoCase(name, wantSection)) {
                inSection = true;
                loc.section = loc.lastEntry = static_cast<long>(i);
            }
            continue;
        }
        if (!inSection) continue;
        if (!Trim(text).empty()) loc.lastEntry = static_cast<long>(i);
        std::string k;
        std::size_t equals = 0;
        if (KeyLine(text, k, equals) && EqualNoCase(k, wantKey)) {
            loc.key = static_cast<long>(i);
            break;
        }
    }
    return loc;
}

bool ReadAll(const fs::path& file, std::string& content, bool& exists) {
    std::ifstream in(file, std::ios::binary);
    exists = static_cast<bool>(in);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    content = buffer.str();
    return !in.bad();
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

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const fs::path& file) {
    std::string result = def;
    std::string content;
    bool exists = false;
    if (ReadAll(file, content, exists)) {
        std::vector<Line> lines = SplitLines(content);
        Location loc = Find(lines, section, key);
        if (loc.key >= 0) {
            std::string text = ParsedText(lines, static_cast<std::size_t>(loc.key));
            result = Trim(text.substr(text.find('=') + 1));
        }
    }
    if (result.size() > kProfileValueMax) result.resize(kProfileValueMax);
    return result;
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

    std::string content;
    bool exists = false;
    if (!ReadAll(target, content, exists) && exists) return false;

    std::vector<Line> lines = SplitLines(content);
    // New lines follow the file's own line ends.
    std::string eol = "\n";
    if (!lines.empty() && lines.front().end == "\r\n") eol = "\r\n";

    Location loc = Find(lines, section, key);
    std::string trimmedValue = Trim(value);
    if (loc.key >= 0) {
        Line& line = lines[static_cast<std::size_t>(loc.key)];
        std::size_t equals = line.text.find('=');
        std::size_t valueStart = line.text.find_first_not_of(" \t", equals + 1);
        if (valueStart == std::string::npos) valueStart = line.text.size();
        // Blanks after "=" are kept only when a value follows them.
        std::string prefix = line.text.substr(0, trimmedValue.empty() ? equals + 1 : valueStart);
        line.text = prefix + trimmedValue;
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
