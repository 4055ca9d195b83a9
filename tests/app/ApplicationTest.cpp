#include "app/Application.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "platform/MessageBox.h"
#include "tests/support/TestSupport.h"

namespace varnock {
namespace {
namespace fs = std::filesystem;
using test::ReadFile;

// The program's folder as the build makes it, in a temporary directory.
class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"Varnock.ini", "Varnock_setting.ini"})
            fs::copy_file(fs::path(VARNOCK_TEST_SAMPLE_DIR) / name, dir / name);
        for (const char* name : {"varnock", "libvarnock_res_en.so"})
            fs::copy_file(fs::path(VARNOCK_TEST_RESOURCE_DIR) / name, dir / name);
        stored = ReadFile(dir / "Varnock_setting.ini");
    }
    // Runs the copied program; its exit code, output in `output`.
    int RunProgram(const std::string& deviceDir, const std::string& args = "") {
        std::string command = "VARNOCK_DEVICE_DIR='" + deviceDir + "' '" + (dir / "varnock").string() + "' " +
                              args + " >'" + (dir / "out").string() + "' 2>&1";
        int status = std::system(command.c_str());
        output = ReadFile(dir / "out");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    test::TempDir dir;
    test::ScopedDeviceDir devices;
    platform::RecordingMessageSink messages;
    platform::ScopedMessageSink sink{messages};
    std::string stored;
    std::string output;
};

TEST_F(ApplicationTest, RunsOnTheSampleAndSavesOnTheWayOut) {
    Application app(dir.path());
    int runs = 0;
    app.SetRunPhase([&](SettingsManager& settings) {
        ++runs;
        ASSERT_EQ(settings.GetItemCount(), 1);
        AllocationRow row = *settings.GetRow(0);
        EXPECT_EQ(row.m_strIPAddress, "127.0.0.1");
        row.m_bNoConnectCommand = 1;
        settings.ReplaceRow(row, 0);
    });
    EXPECT_EQ(app.InitInstance(), 0);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(messages.Numbers().empty());
    EXPECT_NE(ReadFile(dir / "Varnock_setting.ini").find("1=COM5,Ethernet,127.0.0.1,,Yes"),
              std::string::npos);
    // The library is released at the end; only the built-in texts remain.
    EXPECT_EQ(platform::LoadString(114), "");
    EXPECT_FALSE(platform::LoadString(109).empty());
}

TEST_F(ApplicationTest, FailedLoadSkipsTheRunAndKeepsTheSettings) {
    std::string broken = stored;
    broken.replace(broken.find("items=1"), 7, "items=0");
    test::WriteFile(dir / "Varnock_setting.ini", broken);
    Application app(dir.path());
    bool ran = false;
    app.SetRunPhase([&](SettingsManager&) { ran = true; });
    EXPECT_EQ(app.InitInstance(), 1);
    EXPECT_FALSE(ran);
    EXPECT_EQ(messages.Numbers(), std::vector<int>{113});
    EXPECT_EQ(ReadFile(dir / "Varnock_setting.ini"), broken);
}

TEST_F(ApplicationTest, ProgramAsAProcess) {
    EXPECT_EQ(RunProgram(devices.path().string(), "--help -x file.txt"), 0);
    // Arguments ignored, no message box; the desktop build notes the missing display, nothing else.
    EXPECT_TRUE(output.empty() || output.rfind("varnock: no display", 0) == 0) << output;
    EXPECT_EQ(ReadFile(dir / "Varnock_setting.ini"), stored);

    test::WriteFile(dir / "plain", "");
    EXPECT_EQ(RunProgram((dir / "plain").string()), 1);
    EXPECT_NE(output.find("device directory"), std::string::npos) << output;

    // A second instance ends silently, before it would fail loudly on an empty Varnock.ini.
    platform::SingleInstanceGuard first;
    ASSERT_TRUE(first.Acquire(devices.path()));
    test::WriteFile(dir / "Varnock.ini", "");
    EXPECT_EQ(RunProgram(devices.path().string()), 0);
    EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace varnock
