#pragma once
// Whether a device name is in use on this machine, without opening it
// (opening a real serial port would raise its control lines).
#include <string>

namespace varnock::platform {

// true when the name resolves to an existing entry (a device, a link, even a
// dangling one); false when nothing of that name exists, or only a stale
// link of ours (IsStaleDeviceLink) that a binding of the name takes over.
bool DeviceNameExists(const std::string& name);

}  // namespace varnock::platform
