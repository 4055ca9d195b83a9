#pragma once
// Where things live: the executable's directory (settings files and the
// resource library sit beside the executable) and the device directory
// (virtual ports, native USB nodes and user links to real devices).
#include <filesystem>
#include <string>

namespace varnock::platform {

// Directory of the running executable (from /proc/self/exe); empty when
// that cannot be read.
std::filesystem::path ExecutableDirectory();

// Where Varnock.ini and the channel file are for a program in
// `programDirectory`: that directory when Varnock.ini is there (a build tree,
// a copied program folder); otherwise the installation's configuration
// directory: a program in PREFIX/lib/varnock has PREFIX/etc/varnock, and one
// in ROOT/usr/lib/varnock has ROOT/etc/varnock (/etc for /usr, also when the
// whole installation lies under another root). Empty for an empty path.
std::filesystem::path SettingsDirectoryFor(const std::filesystem::path& programDirectory);
// The same for the running executable.
std::filesystem::path SettingsDirectory();

// Where a user's own channel file is kept when the settings directory is
// not the executable's (the installed defaults are shared): $STATE_DIRECTORY (the state directory
// systemd gives a system service; its first entry), else
// $XDG_CONFIG_HOME/varnock, else $HOME/.config/varnock. Relative values
// count as unset; empty when nothing is set.
std::filesystem::path OwnSettingsDirectory();

struct DeviceDirectoryResult {
    bool ok = false;
    std::filesystem::path path;
    std::string error;  // why the directory cannot be used, for the user
};

// The device directory: $VARNOCK_DEVICE_DIR, else $XDG_RUNTIME_DIR/varnock,
// else /tmp/varnock-<uid>. Created with mode 0700 when missing; refused when
// another user owns it or group/others may write to it.
DeviceDirectoryResult DeviceDirectory();

// A device name as the settings and the system spell it ("COM5",
// "\\.\HXUSB-0", "/dev/ttyUSB0") to the path to open: a leading "\\.\" is
// dropped; an absolute path stands for itself; otherwise DIR/NAME when that
// entry exists (a link counts even when it dangles), else /dev/NAME.
std::filesystem::path ResolveDeviceName(const std::string& name);

}  // namespace varnock::platform
