#include "vport/PtyPortDriver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <optional>
#include <thread>

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
        driver = port.DriverObject();
    }
    // Through the driver, byte by byte as the port does, to see how many it took.
    int Write(const std::string& bytes) {
        int taken = 0;
        for (char c : bytes) {
            int32_t n = -1;
            EXPECT_EQ(driver->WriteBytes(reinterpret_cast<const uint8_t*>(&c), 1, &n), S_OK);
            taken += n;
        }
        return taken;
    }
    void WaitForOpen(int closed) {
        ASSERT_TRUE(WaitFor([&] { return owner.closed == closed; }));
    }

    test::ScopedDeviceDir dir;
    const fs::path link = dir.path() / "COM7";
    test::TestOwner owner;
    DriverVirtualPort port{DriverOptions{7, 2}};
    VirtualPortDriver* driver = nullptr;
};

TEST_F(PtyPortTest, HostDataIsAnnouncedOnceAndReadWithoutLoss) {
    HostPort host(link);
    WaitForOpen(0);
    ASSERT_TRUE(host.Write("0123456789"));
    ASSERT_TRUE(WaitFor([&] { return owner.Joined() == "0123456789"; }));
    EXPECT_EQ(owner.Blocks().size(), 1u) << "one event for one write";
    std::string bulk(20000, 'a');
    for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>('a' + i % 26);
    // The last bytes written just before the close are still announced and read.
    ASSERT_TRUE(host.Write(bulk + "bye"));
    host.Close();
    EXPECT_TRUE(WaitFor([&] { return owner.Joined() == "0123456789" + bulk + "bye"; }));
}

TEST_F(PtyPortTest, OpenStateFollowsTheHostWithoutSpinningOrLingering) {
    timespec cpu0{}, cpu1{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    std::this_thread::sleep_for(300ms);
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1000 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1000000, 100)
        << "idle while closed";
    EXPECT_EQ(owner.closed, -1) << "never opened: nothing to report";
    std::optional<HostPort> host(link);
    WaitForOpen(0);
    host.reset();
    WaitForOpen(1);
    host.emplace(link);
    WaitForOpen(0);
    auto start = std::chrono::steady_clock::now();
    port.Disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms) << "the event thread stops promptly";
}

TEST_F(PtyPortTest, LineSettingsComeFromThePtyAndTheConfiguredValues) {
    HostPort host(link);
    EXPECT_EQ(port.GetBaudRate(), 9600);
    EXPECT_EQ(port.GetStopBits(), 0);
    ASSERT_EQ(host.SetLine(B19200, CSTOPB, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return owner.syncs == 1; }));
    EXPECT_EQ(port.GetBaudRate(), 19200);
    EXPECT_EQ(port.GetStopBits(), 2);
    EXPECT_EQ(port.GetByteSize(), 7) << "a pty always shows 8 bits";
    EXPECT_EQ(port.GetParity(), 2) << "even and none look alike";
    // Odd, mark and space show on the pty.
    const std::tuple<tcflag_t, tcflag_t, int32_t> cases[] = {
        {PARENB | PARODD, CMSPAR, 1}, {PARENB | PARODD | CMSPAR, 0, 3}, {PARENB | CMSPAR, PARODD, 4}};
    for (int changes = 2; auto [set, clear, parity] : cases) {
        host.SetLine(B19200, set, clear);
        ASSERT_TRUE(WaitFor([&] { return owner.syncs == changes; }));
        ++changes;
        EXPECT_EQ(port.GetParity(), parity);
    }
}

TEST_F(PtyPortTest, WrittenBytesReachOnlyTheHostThatHasThePortOpen) {
    EXPECT_EQ(Write("x"), 0) << "nobody has the port open";
    std::optional<HostPort> host(link);
    WaitForOpen(0);
    EXPECT_EQ(Write("hello"), 5);
    EXPECT_EQ(host->Read(5), "hello");
    EXPECT_EQ(Write("unread"), 6);
    host.reset();
    WaitForOpen(1);
    host.emplace(link);
    EXPECT_EQ(host->Read(1, 100), "") << "the last session's bytes are not for this one";
}

TEST_F(PtyPortTest, NamesAreBoundOnlyWhereNothingLiveIsInTheWay) {
    ASSERT_TRUE(fs::is_symlink(link));
    struct stat st {};
    ASSERT_EQ(::stat(link.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    PtyPortDriver* other = new PtyPortDriver(DriverOptions{});
    int32_t value = 0;
    EXPECT_EQ(other->QueryBaudRate(&value), E_UNEXPECTED) << "not bound";
    auto bind = [&](bool fallback, const std::string& name) {
        VARIANT_BOOL ok = VARIANT_TRUE;
        EXPECT_EQ(fallback ? other->BindPortFallback(name, &ok) : other->BindPort(name, &ok), S_OK);
        return ok != VARIANT_FALSE;
    };
    test::WriteFile(dir.path() / "COM3", "a file");
    fs::create_symlink("/dev/null", dir.path() / "COM4");
    for (const char* taken : {"COM7", "COM3", "COM4"}) {
        EXPECT_FALSE(bind(false, taken)) << taken;
        EXPECT_FALSE(bind(true, taken)) << taken;
    }
    for (const char* bad : {"", "../COM1", "a/b", ".COM7.lock"}) EXPECT_FALSE(bind(false, bad)) << bad;
    EXPECT_FALSE(bind(true, "COM8")) << "nothing to take over";
    EXPECT_EQ(fs::read_symlink(dir.path() / "COM4"), "/dev/null");

    // Left by a process that died: its lock file is there, nobody holds it.
    fs::create_symlink("/dev/pts/999999", dir.path() / "COM9");
    test::WriteFile(dir.path() / ".COM9.lock", "");
    EXPECT_TRUE(bind(true, "COM9"));
    EXPECT_TRUE(fs::exists(dir.path() / "COM9"));

    port.Disconnect();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_FALSE(fs::exists(dir.path() / ".COM7.lock"));
    other->Release();
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "COM9")));
}

}  // namespace
}  // namespace varnock
