#pragma once
// Opening the manual and telling the user about the USB-to-UART converters'
// drivers: the manual is a file beside the executable handed to the
// desktop's opener; on Linux the converters' drivers come with the kernel,
// so there is no installer to start.
#include <filesystem>
#include <string>

namespace varnock {

class HelpLauncher {
public:
    // The manual is looked up in `directory` (an empty path means the
    // executable's directory), Varnock.ini in its settings directory.
    // `sys` is where the kernel's device tree is.
    explicit HelpLauncher(std::filesystem::path directory = {}, std::filesystem::path sys = "/sys");

    // The manual in the language that Varnock.ini names; message 109 when
    // Varnock.ini cannot be read, and a message saying where the manual is
    // when it is missing or nothing could be started to open it.
    void OpenManual();
    // The converters need no installer: says so, with the drivers loaded
    // now. Both sizes alike.
    void RunDriverInstaller(int bits);

    std::filesystem::path ManualPath();
    // The USB serial drivers the kernel has loaded, comma-separated; empty
    // when none.
    std::string LoadedConverterDrivers() const;

private:
    std::filesystem::path m_directory;
    std::filesystem::path m_sys;
};

}  // namespace varnock
