#include "vport/PtyPortDriver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
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

TEST_F(PtyPortTest, NamesAreBoundOnlyWhereNothingLiveIsInTheWay) {
    struct stat st {};
    ASSERT_EQ(::stat(link.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    PtyPortDriver* other = new PtyPortDriver(DriverOptions{});
    auto bind = [&](bool fallback, const std::string& name) {
        VARIANT_BOOL ok = VARIANT_TRUE;
        EXPECT_EQ(fallback ? other->BindPortFallback(name, &ok) : other->BindPort(name, &ok), S_OK);
        return ok != VARIANT_FALSE;
    };
    test::WriteFile(dir.path() / "COM3", "a file");
    for (const char* taken : {"COM7", "COM3"}) EXPECT_FALSE(bind(false, taken) || bind(true, taken)) << taken;
    for (const char* bad : {"../COM1", "a/b", ".COM7.lock"}) EXPECT_FALSE(bind(false, bad)) << bad;
    EXPECT_FALSE(bind(true, "COM8"));  // nothing to take over
    // Left by a process that died: its lock file is there, nobody holds it.
    fs::create_symlink("/dev/pts/999999", dir.path() / "COM9");
    test::WriteFile(dir.path() / ".COM9.lock", "");
    EXPECT_TRUE(bind(true, "COM9"));

    port.Disconnect();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    other->Release();
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "COM9")));
}

}  // namespace
}  // namespace varnock
