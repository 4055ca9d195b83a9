#pragma once
// Settings files and the real resource library in a temporary directory.
#include <filesystem>
#include <string>

#include "platform/MessageBox.h"
#include "settings/SettingsManager.h"
#include "tests/support/TestSupport.h"

namespace varnock::test {

const std::string kLibrary = "ResourceDLLName=libvarnock_res_en.so\n";
const std::string kOneRow = "items=1\n1=COM5,Ethernet,127.0.0.1,,No\n";

inline std::string VarnockIni(
    const std::string& application = kLibrary,
    const std::string& virtualCom = "RealPort=COM,USB,Ethernet\nMaxHostDriverNo=1\n",
    const std::string& rest = "") {
    return "[Application]\n" + application + "[VirtualCOMSettings]\n" + virtualCom + rest;
}

inline std::string SettingIni(const std::string& matrix,
                              const std::string& mode = "PortAssignMode=Manual\n") {
    return "[Application]\n" + mode + "[VirtualCOMAllocationMatrix]\n" + matrix;
}

class SettingsFixture {
public:
    SettingsFixture() {
        std::filesystem::copy_file(std::filesystem::path(VARNOCK_TEST_RESOURCE_DIR) / "libvarnock_res_en.so",
                                   dir / "libvarnock_res_en.so");
    }
    void Write(const std::string& varnock, const std::string& setting) {
        WriteFile(dir / kVarnockIniName, varnock);
        WriteFile(dir / kVarnockSettingIniName, setting);
    }
    std::string Setting() const { return ReadFile(dir / kVarnockSettingIniName); }

    TempDir dir;
    ScopedDeviceDir devices;
    platform::RecordingMessageSink messages;
    platform::ScopedMessageSink scopedSink{messages};
    SettingsManager settings{dir.path()};
};

}  // namespace varnock::test
