#include "ui/HelpLauncher.h"

#include "common/Messages.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/PrivateProfile.h"
#include "platform/ShellOpen.h"
#include "settings/IniFile.h"
#include "settings/SettingsManager.h"

namespace varnock {

HelpLauncher::HelpLauncher(std::filesystem::path directory) : m_directory(std::move(directory)) {
    if (m_directory.empty()) m_directory = platform::ExecutableDirectory();
}

std::filesystem::path HelpLauncher::ManualPath() {
    IniFile ini;
    ini.SetFileName(m_directory / kVarnockIniName);
    // The language is read each time: the user may have changed it meanwhile.
    std::string language = ini.GetString("VarnockTool", std::string("EN"), std::string("LANGUAGE"));
    const char* name = "VarnockToolE.pdf";
    if (language == "JA") {
        name = "VarnockToolJ.pdf";
    } else if (language == "CH") {
        name = "VarnockToolC.pdf";
    }
    return m_directory / name;
}

std::filesystem::path HelpLauncher::InstallerPath(int bits) const {
    return m_directory / "CP210x_VCP_Windows" /
           (bits == 32 ? "CP210xVCPInstaller_x86.exe" : "CP210xVCPInstaller_x64.exe");
}

void HelpLauncher::OpenManual() {
    if (m_directory.empty()) return;
    if (!platform::CanReadPrivateProfile(m_directory / kVarnockIniName)) {
        platform::ShowMessage(kMsgVarnockIniMissing, platform::kMbIconError);
        return;
    }
    platform::ShellOpen(ManualPath());
}

void HelpLauncher::RunDriverInstaller(int bits) {
    if (m_directory.empty()) return;
    platform::ShellOpen(InstallerPath(bits));
}

}  // namespace varnock
