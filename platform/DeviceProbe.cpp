#include "platform/DeviceProbe.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/Paths.h"
#include "platform/Pty.h"

namespace varnock::platform {

bool DeviceNameExists(const std::string& name) {
    std::filesystem::path path = ResolveDeviceName(name);
    struct stat st {};
    // A stale link of ours is taken over by the next binding of its name.
    if (::lstat(path.c_str(), &st) == 0) return !IsStaleDeviceLink(path);
    // Anything but "no such entry" (a refused directory, say) counts as taken.
    return errno != ENOENT && errno != ENOTDIR;
}

}  // namespace varnock::platform
