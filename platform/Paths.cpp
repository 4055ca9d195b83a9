#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace varnock::platform {
namespace fs = std::filesystem;

fs::path ExecutableDirectory() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    // No guessing (the current directory, say): the resource library is
    // loaded from here and runs as part of the program.
    if (ec || !exe.is_absolute()) return {};
    return exe.parent_path();
}

fs::path SettingsDirectoryFor(const fs::path& programDirectory) {
    if (programDirectory.empty()) return {};
    std::error_code ec;
    if (fs::exists(programDirectory / "Varnock.ini", ec)) return programDirectory;
    const fs::path prefix = programDirectory.parent_path().parent_path();
    const fs::path root = prefix.filename() == "usr" ? prefix.parent_path() : prefix;
    return root / "etc" / "varnock";
}

fs::path SettingsDirectory() {
    return SettingsDirectoryFor(ExecutableDirectory());
}

namespace {

fs::path AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || *value != '/') return {};
    return value;
}

}  // namespace

fs::path OwnSettingsDirectory() {
    if (fs::path state = AbsoluteFromEnvironment("STATE_DIRECTORY"); !state.empty()) {
        const std::string first = state.string().substr(0, state.string().find(':'));
        return first;
    }
    if (fs::path config = AbsoluteFromEnvironment("XDG_CONFIG_HOME"); !config.empty())
        return config / "varnock";
    if (fs::path home = AbsoluteFromEnvironment("HOME"); !home.empty()) return home / ".config" / "varnock";
    return {};
}

namespace {

fs::path DefaultDeviceDirectory() {
    if (const char* dir = std::getenv("VARNOCK_DEVICE_DIR"); dir && *dir) return dir;
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run) return fs::path(run) / "varnock";
    return fs::path("/tmp") / ("varnock-" + std::to_string(::getuid()));
}

}  // namespace

DeviceDirectoryResult DeviceDirectory() {
    DeviceDirectoryResult result;
    result.path = DefaultDeviceDirectory();
    const std::string shown = result.path.string();

    if (::mkdir(shown.c_str(), 0700) != 0 && errno != EEXIST) {
        result.error = "cannot create the device directory " + shown + ": " + std::strerror(errno);
        return result;
    }
    struct stat st {};
    if (::lstat(shown.c_str(), &st) != 0) {
        result.error = "cannot examine the device directory " + shown + ": " + std::strerror(errno);
        return result;
    }
    if (!S_ISDIR(st.st_mode)) {
        result.error = "the device directory " + shown + " is not a directory";
        return result;
    }
    if (st.st_uid != ::getuid()) {
        result.error = "the device directory " + shown + " belongs to another user";
        return result;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        result.error = "the device directory " + shown + " may be written by other users";
        return result;
    }
    result.ok = true;
    return result;
}

fs::path ResolveDeviceName(const std::string& name) {
    std::string bare = name;
    if (bare.rfind("\\\\.\\", 0) == 0) bare.erase(0, 4);
    if (!bare.empty() && bare.front() == '/') return bare;

    DeviceDirectoryResult dir = DeviceDirectory();
    if (dir.ok && !bare.empty()) {
        fs::path candidate = dir.path / bare;
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) == 0) return candidate;
    }
    return fs::path("/dev") / bare;
}

}  // namespace varnock::platform
