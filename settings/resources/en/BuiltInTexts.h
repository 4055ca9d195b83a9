#pragma once
// The texts the program must be able to show before it has loaded its
// resource library: the library's own table and the program share them.
namespace varnock {

inline constexpr const char kTextVarnockIniMissing[] =
    "The settings file Varnock.ini is missing beside the program or cannot be read. "
    "Reinstall Varnock or put a readable Varnock.ini back in the program's folder.";
inline constexpr const char kTextSettingIniMissing[] =
    "The settings file Varnock_setting.ini is missing beside the program or cannot be read. "
    "Reinstall Varnock or put a readable Varnock_setting.ini back in the program's folder.";

}  // namespace varnock
