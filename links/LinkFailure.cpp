#include "links/LinkFailure.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/SerialDevices.h"

namespace varnock {

namespace {

using platform::Error;

// What lets the user open the device: most serial devices may be opened by
// their group (dialout), some by their owner only.
std::string Remedy(const std::string& path) {
    struct stat st {};
    const group* g = ::stat(path.c_str(), &st) == 0 ? ::getgrgid(st.st_gid) : nullptr;
    if (g && (st.st_mode & 060) != 060)
        return "Only its owner may open it: have a udev rule give it to a group you are in, "
               "with GROUP=\"dialout\", MODE=\"0660\".";
    const std::string name = g ? g->gr_name : "dialout";
    return "Join its group " + name + " with: sudo usermod -aG " + name +
           " $USER, then log out and in again.";
}

std::string SerialDevicesPresent() {
    std::string list;
    for (const auto& device : platform::ListSerialDevices()) {
        list += list.empty() ? "" : ", ";
        list += platform::SerialDeviceText(device);
    }
    return list.empty() ? "none" : list;
}

bool PermissionDenied(const Error& error) {
    return error == Error::AccessDenied && (error.SystemCode() == EACCES || error.SystemCode() == EPERM);
}

}  // namespace

std::string ReasonLine(const LinkFailure& failure) {
    if (!failure.Known()) return {};
    const Error& error = failure.error;
    const std::string& target = failure.target;
    std::string reason = "Reason: ";
    if (failure.kind == LinkFailure::Target::Device) {
        if (PermissionDenied(error)) return reason + "permission denied on " + target + ". " + Remedy(target);
        if (error == Error::AccessDenied) return reason + target + " is in use by another program.";
        if (error == Error::NotFound)
            return reason + "there is no device " + target +
                   ". Serial devices present: " + SerialDevicesPresent() + ".";
    } else {
        const char* check = " Check the PLC's IP address and that the PLC is on and connected.";
        if (error == Error::Refused) return reason + target + " refused the connection." + check;
        if (error == Error::TimedOut) return reason + target + " did not answer in time." + check;
        if (error == Error::Unreachable)
            return reason + target + " cannot be reached: network unreachable." + check;
    }
    reason += target + ": " + error.Text();
    if (error.SystemCode() != 0) reason += std::string(" (") + std::strerror(error.SystemCode()) + ")";
    return reason + ".";
}

}  // namespace varnock
