#include "ui/HelpLauncher.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "common/Messages.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/PrivateProfile.h"
#include "platform/ShellOpen.h"
#include "settings/IniFile.h"
#include "settings/SettingsManager.h"

namespace varnock {

HelpLauncher::HelpLauncher(std::filesystem::path directory, std::filesystem::path sys)
    : m_directory(std::move(directory)), m_sys(std::move(sys)) {
    if (m_directory.empty()) m_directory = platform::ExecutableDirectory();
}

std::filesystem::path HelpLauncher::ManualPath() {
    IniFile ini;
    ini.SetFileName(platform::SettingsDirectoryFor(m_directory) / kVarnockIniName);
    // The language is read each time: the user may have changed it meanwhile.
    std::string language = ini.GetString("VarnockTool", std::string("EN"), std::string("LANGUAGE"));
    const char* name = "VarnockToolE.html";
    if (language == "JA") {
        name = "VarnockToolJ.html";
    } else if (language == "CH") {
        name = "VarnockToolC.html";
    }
    return m_directory / name;
}

std::string HelpLauncher::LoadedConverterDrivers() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(m_sys / "bus/usb-serial/drivers", ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    return list;
}

void HelpLauncher::OpenManual() {
    if (m_directory.empty()) return;
    if (!platform::CanReadPrivateProfile(platform::SettingsDirectoryFor(m_directory) / kVarnockIniName)) {
        platform::ShowMessage(kMsgVarnockIniMissing, platform::kMbIconError);
        return;
    }
    const std::filesystem::path manual = ManualPath();
    std::error_code ec;
    // What the opener then does is its own; what we know, we say.
    if (!std::filesystem::is_regular_file(manual, ec) || !platform::ShellOpen(manual))
        platform::ShowMessage(kMsgManualNotOpened, platform::kMbIconError, manual.string());
}

void HelpLauncher::RunDriverInstaller(int) {
    const std::string drivers = LoadedConverterDrivers();
    platform::ShowMessage(kMsgConverterDrivers, platform::kMbOk,
                          drivers.empty() ? platform::LoadString(kStrNoConverterDriver) : drivers);
}

}  // namespace varnock
