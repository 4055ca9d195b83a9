#include "platform/DeviceProbe.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/Paths.h"

namespace varnock::platform {

bool DeviceNameExists(const std::string& name) {
    std::filesystem::path path = ResolveDeviceName(name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return true;
    // Anything but "no such entry" (a refused directory, say) counts as taken.
    return errno != ENOENT && errno != ENOTDIR;
}

}  // namespace varnock::platform
