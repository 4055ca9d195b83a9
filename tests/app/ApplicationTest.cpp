#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "platform/SingleInstance.h"
#include "tests/support/TestSupport.h"
#include "tools/plcsim/PlcSimulator.h"

namespace varnock {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
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
    std::vector<std::string> Command(std::vector<std::string> args) const {
        args.insert(args.begin(), (dir / "varnock").string());
        return args;
    }
    // Runs the copied program (without a display unless `env` names one);
    // its exit code, output in `output`.
    int RunProgram(std::vector<std::string> args = {}, const std::vector<std::string>& env = {}) {
        test::ChildProcess program(Command(args), dir / "out", dir / "out", env);
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

#ifdef VARNOCK_TEST_DESKTOP
    // A display that cannot be opened is said, not a crash.
    EXPECT_EQ(RunProgram({}, {"DISPLAY=:4242"}), 1);
    EXPECT_NE(output.find("varnock: the display cannot be used: "), std::string::npos) << output;
#endif
    // A second instance ends silently, before it would fail loudly on an
    // empty Varnock.ini, and before Qt would see that display or Qt's options.
    platform::SingleInstanceGuard first;
    ASSERT_EQ(first.Acquire(devices.path()), platform::SingleInstanceGuard::Result::Acquired);
    test::WriteFile(dir / "Varnock.ini", "");
    EXPECT_EQ(RunProgram({"-platform", "bogus"}, {"DISPLAY=:4242"}), 0);
    EXPECT_EQ(output, "");
}

#ifdef VARNOCK_TEST_DESKTOP
// SIGHUP (as SIGINT and SIGTERM) while a message box waits for the user at
// start-up: the box ends, the channels go, the settings are saved.
TEST_F(ApplicationTest, StopSignalEndsTheOpenBoxAndTheProgram) {
    auto transport = plcsim::ListenTcp("127.0.0.85");
    ASSERT_TRUE(transport);
    plcsim::PlcSimulator plc(std::move(transport));
    plc.Start();
    // Channel 2's serial port does not exist: its message box is open when
    // the signal comes.
    test::WriteFile(dir / "Varnock_setting.ini",
                    "[Application]\nPortAssignMode=manual\n[VirtualCOMAllocationMatrix]\nitems=2\n"
                    "1=COM5,Ethernet,127.0.0.85,,No\n2=COM6,COM3,SERIAL2,,No\n");
    // Qt's own options must not act (an unknown platform would end it).
    test::ChildProcess program(Command({"-platform", "bogus", "-reverse"}), dir / "out", dir / "out",
                               {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(test::WaitFor([&] { return fs::is_symlink(devices.path() / "COM5"); }, 10s))
        << ReadFile(dir / "out");
    std::this_thread::sleep_for(200ms);  // channel 2's box opens
    const auto stopped = std::chrono::steady_clock::now();
    program.Signal(SIGHUP);
    EXPECT_EQ(program.Wait(), 0) << ReadFile(dir / "out");
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
    for (const auto& entry : fs::directory_iterator(devices.path()))
        EXPECT_EQ(entry.path().filename(), "OnlyOneInstanceMutex");
    EXPECT_NE(ReadFile(dir / "Varnock_setting.ini").find("PortAssignMode=Manual\n"), std::string::npos);
    plc.Stop();
}
#endif

}  // namespace
}  // namespace varnock
