#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/Paths.h"
#include "tests/support/TestSupport.h"

using namespace varnock::platform;
using varnock::test::ScopedDeviceDir;
namespace fs = std::filesystem;

TEST(DeviceDirectory, CreatedPrivateAndRefusedWhenUnsafe) {
    ScopedDeviceDir tmp;  // restores the variable afterwards
    fs::path dir = tmp.path() / "devices";
    varnock::test::WriteFile(tmp.path() / "file", "x");
    ::setenv("VARNOCK_DEVICE_DIR", dir.c_str(), 1);
    DeviceDirectoryResult r = DeviceDirectory();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(fs::perms::owner_all, fs::status(dir).permissions());

    fs::permissions(dir, fs::perms::all);
    r = DeviceDirectory();
    EXPECT_FALSE(r.ok);
    EXPECT_NE(std::string::npos, r.error.find("other users"));

    ::setenv("VARNOCK_DEVICE_DIR", (tmp.path() / "file").c_str(), 1);
    EXPECT_FALSE(DeviceDirectory().ok);
}

TEST(ResolveDeviceName, DeviceDirectoryFirstThenDev) {
    ScopedDeviceDir dev;
    varnock::test::WriteFile(dev.path() / "COM3", "");
    fs::create_symlink("/nonexistent/pts/99", dev.path() / "COM9");  // dangling still counts
    EXPECT_EQ(dev.path() / "COM3", ResolveDeviceName("COM3"));
    EXPECT_EQ(dev.path() / "COM3", ResolveDeviceName("\\\\.\\COM3"));
    EXPECT_EQ(dev.path() / "COM9", ResolveDeviceName("COM9"));
    EXPECT_EQ(fs::path("/dev/COM4"), ResolveDeviceName("COM4"));
    EXPECT_EQ(fs::path("/dev/ttyUSB0"), ResolveDeviceName("\\\\.\\ttyUSB0"));
    EXPECT_EQ(fs::path("/dev/ttyS0"), ResolveDeviceName("/dev/ttyS0"));
}

TEST(ExecutableDirectory, HoldsTheRunningProgram) {
    EXPECT_TRUE(fs::exists(ExecutableDirectory() / "test_platform"));
}
