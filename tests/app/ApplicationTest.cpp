#include <gtest/gtest.h>

#include "platform/SingleInstance.h"
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
    // Runs the copied program without a display; its exit code, output in `output`.
    int RunProgram(std::vector<std::string> args = {}) {
        args.insert(args.begin(), (dir / "varnock").string());
        test::ChildProcess program(args, dir / "out", dir / "out");
        int status = program.Wait();
        output = ReadFile(dir / "out");
        return status;
    }

    test::TempDir dir;
    test::ScopedDeviceDir devices;
    std::string stored;
    std::string output;
};

// On the sample settings: exit 0, nothing shown, the settings saved as they were.
TEST_F(ApplicationTest, ProgramAsAProcess) {
    EXPECT_EQ(RunProgram({"--help", "-x", "file.txt"}), 0);
    // Arguments ignored, no message box; the desktop build notes the missing display, nothing else.
    EXPECT_TRUE(output.empty() || output.rfind("varnock: no display", 0) == 0) << output;
    EXPECT_EQ(ReadFile(dir / "Varnock_setting.ini"), stored);

    // A second instance ends silently, before it would fail loudly on an empty Varnock.ini.
    platform::SingleInstanceGuard first;
    ASSERT_TRUE(first.Acquire(devices.path()));
    test::WriteFile(dir / "Varnock.ini", "");
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace varnock
