// The allocation row reader over arbitrary Varnock_setting.ini contents:
// Load must not crash, and what it reads must survive Save and a second
// Load unchanged.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/MessageBox.h"
#include "settings/SettingsManager.h"

using namespace varnock;
namespace fs = std::filesystem;

namespace {

fs::path g_dir;

class SilentSink : public platform::MessageSink {
public:
    int Show(int, const std::string&, unsigned) override { return 1; }
};
SilentSink g_sink;

void WriteFile(const fs::path& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<std::string> Rows(SettingsManager& settings) {
    std::vector<std::string> rows;
    for (int i = 0; AllocationRow* row = settings.GetRow(i); ++i) {
        rows.push_back(row->m_strVirtualPort + "|" + row->m_strLinkPort + "|" + row->m_strRealPort + "|" +
                       row->m_strIPAddress + "|" + row->m_strExtra + "|" +
                       std::to_string(static_cast<int>(row->m_nLinkType)) + "|" +
                       std::to_string(row->m_bNoConnectCommand));
    }
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/varnock-fuzz-rows-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) std::abort();
    g_dir = dir;
    fs::create_directory(g_dir / "devices");
    ::setenv("VARNOCK_DEVICE_DIR", (g_dir / "devices").c_str(), 1);
    fs::copy_file(fs::path(VARNOCK_FUZZ_RESOURCE_DIR) / "libvarnock_res_en.so",
                  g_dir / "libvarnock_res_en.so");
    // Held open for the whole run: every Load opens and closes the library,
    // and libFuzzer's counters inside it must not be unmapped under it.
    if (!::dlopen((g_dir / "libvarnock_res_en.so").c_str(), RTLD_NOW | RTLD_LOCAL)) std::abort();
    const std::string ini =
        "[Application]\nResourceDLLName=libvarnock_res_en.so\n"
        "[VirtualCOMSettings]\nRealPort=COM,USB,Ethernet\nMaxHostDriverNo=4\n";
    WriteFile(g_dir / kVarnockIniName, reinterpret_cast<const uint8_t*>(ini.data()), ini.size());
    platform::SetMessageSink(&g_sink);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_dir, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteFile(g_dir / kVarnockSettingIniName, data, size);
    std::vector<std::string> first;
    {
        SettingsManager settings(g_dir);
        if (settings.Load() != 1) return 0;
        first = Rows(settings);
        FUZZ_CHECK(static_cast<int>(first.size()) <= settings.GetItemCount());
        settings.Save();
    }
    SettingsManager again(g_dir);
    FUZZ_CHECK(again.Load() == 1);
    FUZZ_CHECK(Rows(again) == first);
    return 0;
}
