#include "vport/PtyPortDriver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <optional>
#include <thread>

#include "platform/DeviceProbe.h"
#include "tests/support/TestSupport.h"
#include "tests/vport/VportTestSupport.h"
#include "vport/DriverVirtualPort.h"

namespace varnock {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::HostPort;
using test::WaitFor;

class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetOwner(owner);
        ASSERT_TRUE(port.Open("COM7"));
    }
    void Write(const std::string& bytes) {
        port.Write(ByteArray(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size())));
    }
    void WaitForOpen(int closed) {
        ASSERT_TRUE(WaitFor([&] { return owner.closed == closed; }));
    }

    test::ScopedDeviceDir dir;
    const fs::path link = dir.path() / "COM7";
    test::TestOwner owner;
    DriverVirtualPort port{DriverOptions{7, 2}};
};

TEST_F(PtyPortTest, HostDataIsAnnouncedOnceAndReadWithoutLoss) {
    HostPort host(link);
    WaitForOpen(0);
    ASSERT_TRUE(host.Write("0123456789"));
    ASSERT_TRUE(WaitFor([&] { return owner.Joined() == "0123456789"; }));
    EXPECT_EQ(owner.Blocks().size(), 1u);
    std::string bulk(20000, 'a');
    for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>('a' + i % 26);
    // The last bytes written just before the close are still announced and read.
    ASSERT_TRUE(host.Write(bulk + "bye"));
    host.Close();
    EXPECT_TRUE(WaitFor([&] { return owner.Joined() == "0123456789" + bulk + "bye"; }));
}

TEST_F(PtyPortTest, OpenStateAndWritesFollowTheHostWithoutSpinningOrLingering) {
    const std::clock_t cpu = std::clock();  // of the whole process
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 10);  // idle while closed
    std::optional<HostPort> host(link);
    WaitForOpen(0);
    Write("hello");
    EXPECT_EQ(host->Read(5), "hello");
    Write("unread");
    host.reset();
    WaitForOpen(1);
    host.emplace(link);
    WaitForOpen(0);
    EXPECT_EQ(host->Read(1, 100), "");  // the last session's bytes are not for this one
    auto start = std::chrono::steady_clock::now();
    port.Disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST_F(PtyPortTest, LineSettingsComeFromThePtyAndTheConfiguredValues) {
    HostPort host(link);
    ASSERT_EQ(host.SetLine(B19200, CSTOPB, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return owner.syncs == 1; }));
    EXPECT_EQ(port.GetBaudRate(), 19200);
    EXPECT_EQ(port.GetStopBits(), 2);
    EXPECT_EQ(port.GetByteSize(), 7);  // a pty always shows 8 bits
    EXPECT_EQ(port.GetParity(), 2);    // even and none look alike
    ASSERT_EQ(host.SetLine(B19200, PARENB | PARODD, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return owner.syncs == 2; }));
    EXPECT_EQ(port.GetParity(), 1);
}

// A stale link of ours (our lock file beside it, nobody holding the lock)
// counts as free, is taken over, and goes at start-up. A live binding, a
// user's link (socat pty,link=...) or file is never bound, marked or removed.
TEST_F(PtyPortTest, OnlyStaleLinksOfOursAreTakenOverOrRemoved) {
    struct stat st {};
    ASSERT_EQ(::stat(link.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const fs::path devices = dir.path();
    for (const char* name : {"COM9", "COM6"}) {
        fs::create_symlink("/dev/pts/999999", devices / name);
        test::WriteFile(devices / ("." + std::string(name) + ".lock"), "");
    }
    fs::create_symlink("/dev/pts/999998", devices / "COM4");
    test::WriteFile(devices / "COM3", "a user's file");
    test::WriteFile(devices / ".COM3.lock", "");  // ours, beside it
    test::WriteFile(devices / ".COM8.lock", "");  // ours, without its link
    for (const char* present : {"COM7", "COM4", "COM3"}) EXPECT_TRUE(platform::DeviceNameExists(present));
    EXPECT_FALSE(platform::DeviceNameExists("COM9"));

    PtyPortDriver* other = new PtyPortDriver(DriverOptions{});
    auto bind = [&](bool fallback, const std::string& name) {
        VARIANT_BOOL ok = VARIANT_TRUE;
        EXPECT_EQ(fallback ? other->BindPortFallback(name, &ok) : other->BindPort(name, &ok), S_OK);
        return ok != VARIANT_FALSE;
    };
    for (const char* taken : {"COM7", "COM3", "COM4"})
        EXPECT_FALSE(bind(false, taken) || bind(true, taken)) << taken;
    for (const char* bad : {"../COM1", "a/b", ".COM7.lock"}) EXPECT_FALSE(bind(false, bad)) << bad;
    EXPECT_FALSE(bind(true, "COM8"));  // nothing to take over
    EXPECT_TRUE(bind(true, "COM9"));

    EXPECT_EQ(platform::RemoveStaleDeviceLinks(devices), 1);
    EXPECT_EQ(test::DirectoryNames(devices),
              (std::set<std::string>{"COM7", ".COM7.lock", "COM9", ".COM9.lock", "COM4", "COM3"}));
    EXPECT_EQ(fs::read_symlink(devices / "COM4"), "/dev/pts/999998");
    port.Disconnect();
    other->Release();
    EXPECT_EQ(test::DirectoryNames(devices), (std::set<std::string>{"COM4", "COM3"}));
}

}  // namespace
}  // namespace varnock
