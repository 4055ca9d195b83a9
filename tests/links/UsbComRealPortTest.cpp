#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "links/UsbComRealPort.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "tests/links/FakeDeviceTree.h"
#include "tests/support/PtyPair.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;
using test::kCp2102;
using SteadyClock = std::chrono::steady_clock;

// Real time, counting how often the link looks at it.
class CountingClock : public platform::SystemClock {
public:
    uint32_t TickCount() override { return ++ticks, SystemClock::TickCount(); }
    std::atomic<int> ticks{0};
};

class UsbComRealPortTest : public ::testing::Test {
protected:
    // The converter's tty name in the device directory leads to the pty.
    void LinkTty(const std::string& name) { fs::create_symlink(pty.SlavePath(), devices.path() / name); }
    // One converter, ttyUSB0, matched by "CP2102"; reads wait `monitorMs`.
    void OneConverter(int monitorMs = 50) {
        tree.AddUsbSerial("ttyUSB0", kCp2102);
        LinkTty("ttyUSB0");
        test::WriteUsbComSettings(settings.path(), "CP2102", monitorMs);
    }

    test::ScopedDeviceDir devices;
    test::TempDir settings;
    test::FakeDeviceTree tree;
    test::PtyPair pty;
    platform::RecordingMessageSink sink;
    platform::ScopedMessageSink sinkScope{sink};
    UsbComRealPort port{settings.path(), tree.root()};
    ByteArray data;
    uint32_t moved = 99;
};

TEST_F(UsbComRealPortTest, OpensTheOneMatchingConverterOrElseTheConfiguredName) {
    tree.AddUsbSerial("ttyUSB0", kCp2102);
    LinkTty("ttyUSB0");
    EXPECT_EQ(port.Open(ChannelConfig{}), 0);  // without Varnock.ini
    EXPECT_EQ(sink.Numbers(), std::vector<int>{109});
    EXPECT_EQ(port.IsHandleOpen(), 0);
    sink.Clear();
    test::WriteUsbComSettings(settings.path(), "CP2102");
    tree.AddUsbSerial("ttyUSB1", "FT232R USB UART");
    EXPECT_EQ(port.Open(ChannelConfig{}), 1);
    EXPECT_EQ(port.IsHandleOpen(), 1);
    EXPECT_EQ(port.PortPath(), devices.path() / "ttyUSB0");
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.IsHandleOpen(), 0);

    // Two matching: 105, nothing opened.
    tree.AddUsbSerial("ttyUSB2", kCp2102);
    EXPECT_EQ(port.Open(ChannelConfig{}), 105);
    EXPECT_EQ(port.IsHandleOpen(), 0);
    EXPECT_EQ(port.PortPath(), fs::path());

    // No match: the configured name as it stands.
    LinkTty("COM7");
    test::WriteUsbComSettings(settings.path(), "COM7");
    EXPECT_EQ(port.Open(ChannelConfig{}), 1);
    EXPECT_EQ(port.PortPath(), devices.path() / "COM7");
    UsbComRealPort other{settings.path(), tree.root()};
    EXPECT_EQ(other.Open(ChannelConfig{}), 104);  // held by the first
    EXPECT_TRUE(sink.Entries().empty());
}

TEST_F(UsbComRealPortTest, ReadRepeatsUntilTheTimeoutRunsOut) {
    OneConverter(50);
    ASSERT_EQ(port.Open(ChannelConfig{}), 1);
    CountingClock clock;
    platform::ScopedClock scoped(clock);
    data = {7};
    EXPECT_EQ(port.Read(data, 10, moved, 120), 1);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(data, ByteArray{7});
    const int reads = clock.ticks.load() - 1;  // one look before the loop, one after each read
    EXPECT_GE(reads, 2);
    EXPECT_LE(reads, 3);
    pty.Write({1, 2});
    EXPECT_EQ(port.Read(data, 2, moved, 1000), 1);
    EXPECT_EQ(data, (ByteArray{7, 1, 2}));
}

// An unplugged converter's descriptor is dead for good: the link closes it,
// and the next call opens the port again after the pause, with its short
// read time-out.
TEST_F(UsbComRealPortTest, ALostDeviceIsClosedAndOpenedAgainAfterThePause) {
    OneConverter(50);
    ASSERT_EQ(port.Open(ChannelConfig{}), 1);
    pty.CloseMaster();
    EXPECT_EQ(port.Read(data, 4, moved, 100), 1);
    EXPECT_EQ(port.IsHandleOpen(), 0);

    test::PtyPair replugged;
    fs::remove(devices.path() / "ttyUSB0");
    fs::create_symlink(replugged.SlavePath(), devices.path() / "ttyUSB0");
    {
        platform::ManualClock clock;
        platform::ScopedClock scoped(clock);
        EXPECT_EQ(port.Write(ByteArray{5, 6, 7}, 2, moved, 0), 1);
        EXPECT_EQ(clock.TotalSlept(), 4000u);
    }
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(replugged.Read(2), (std::vector<uint8_t>{5, 6}));
    auto start = SteadyClock::now();
    EXPECT_EQ(port.Read(data, 10, moved, 120), 1);
    EXPECT_LT(SteadyClock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(UsbComRealPortTest, NegativeMonitorTimeStillEndsReads) {
    OneConverter(-5);
    ASSERT_EQ(port.Open(ChannelConfig{}), 1);
    auto start = SteadyClock::now();
    EXPECT_EQ(port.Read(data, 4, moved, 50), 1);
    EXPECT_LT(SteadyClock::now() - start, std::chrono::milliseconds(3000));
}

}  // namespace
}  // namespace varnock
