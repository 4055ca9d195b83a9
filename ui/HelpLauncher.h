#pragma once
// Opening the manual and starting the USB-to-UART driver installer: files
// beside the executable, handed to the desktop's opener.
#include <filesystem>

namespace varnock {

class HelpLauncher {
public:
    // Files are looked up in `directory`; an empty path means the
    // executable's directory.
    explicit HelpLauncher(std::filesystem::path directory = {});

    // The manual in the language that Varnock.ini names; message 109 when
    // Varnock.ini cannot be read.
    void OpenManual();
    // The 32-bit or the 64-bit installer (any other value counts as 64).
    void RunDriverInstaller(int bits);

    std::filesystem::path ManualPath();
    std::filesystem::path InstallerPath(int bits) const;

private:
    std::filesystem::path m_directory;
};

}  // namespace varnock
