#include <gtest/gtest.h>

#include <chrono>

#include "links/UsbComDiscovery.h"
#include "links/UsbComRealPort.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "tests/links/FakeDeviceTree.h"
#include "platform/Pty.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::kCp2102;
using Ports = std::vector<std::string>;
using SteadyClock = std::chrono::steady_clock;

// Added out of order: the list comes sorted by tty name. Ports that are not
// on USB are never listed.
TEST(UsbComDiscoveryTest, FriendlyNameOrElseDescriptionMustBeginWithThePrefix) {
    test::FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB1", kCp2102);
    tree.AddUsbSerial("ttyUSB0", kCp2102, "CP2102 Interface");  // named by its product
    tree.AddUsbSerial("ttyUSB2", "FT232R USB UART");
    tree.AddUsbSerial("ttyUSB3", "Silicon Labs CP2102 USB to UART Bridge Controller");
    tree.AddUsbSerial("ttyACM0", std::nullopt, "Mega2560 Bridge");  // no friendly name
    tree.AddUsbSerial("ttyACM1", "Other Bridge", "Mega2560 Bridge");
    tree.AddPlatformSerial("ttyS0");
    tree.AddTty("tty1");
    const std::pair<const char*, Ports> cases[] = {
        {"CP2102", {"\\\\.\\ttyUSB0", "\\\\.\\ttyUSB1"}},  // not ttyUSB3, which only contains it
        {"FT232", {"\\\\.\\ttyUSB2"}},
        {"Mega2560", {"\\\\.\\ttyACM0"}},  // a friendly name takes precedence
    };
    for (const auto& [prefix, expected] : cases) {
        Ports ports{"kept"};
        EXPECT_EQ(FindUsbComPorts(prefix, ports, tree.root()), 1);
        ports.erase(ports.begin());
        EXPECT_EQ(ports, expected) << prefix;
    }
    Ports ports{"kept"};
    EXPECT_EQ(FindUsbComPorts("CP2102", ports, tree.root() / "missing"), 0);
    EXPECT_EQ(ports, Ports{"kept"});
}

class UsbComRealPortTest : public ::testing::Test {
protected:
    // The converter's tty name in the device directory leads to the pty.
    void LinkTty(const std::string& name) { fs::create_symlink(pty->SlavePath(), devices.path() / name); }
    // One converter, ttyUSB0, matched by "CP2102"; reads wait `monitorMs`.
    void OneConverter(int monitorMs = 50) {
        tree.AddUsbSerial("ttyUSB0", kCp2102);
        LinkTty("ttyUSB0");
        test::WriteUsbComSettings(settings.path(), "CP2102", monitorMs);
    }

    test::ScopedDeviceDir devices;
    test::TempDir settings;
    test::FakeDeviceTree tree;
    std::unique_ptr<platform::Pty> pty = platform::Pty::Create(nullptr);
    platform::RecordingMessageSink sink;
    platform::ScopedMessageSink sinkScope{sink};
    UsbComRealPort port{settings.path(), tree.root()};
    ByteArray data;
    uint32_t moved = 99;
};

TEST_F(UsbComRealPortTest, OpensTheOneMatchingConverterOrElseTheConfiguredName) {
    OneConverter();
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

    // No match: the configured name as it stands.
    LinkTty("COM7");
    test::WriteUsbComSettings(settings.path(), "COM7");
    EXPECT_EQ(port.Open(ChannelConfig{}), 1);
    EXPECT_EQ(port.PortPath(), devices.path() / "COM7");
    UsbComRealPort other{settings.path(), tree.root()};
    EXPECT_EQ(other.Open(ChannelConfig{}), 104);  // held by the first
    EXPECT_TRUE(sink.Entries().empty());
}

// A read repeats until the time-out runs out, also with a negative port
// time-out in the settings (which must not become a wait of weeks).
TEST_F(UsbComRealPortTest, ReadRepeatsUntilTheTimeoutRunsOut) {
    OneConverter();
    for (int monitorMs : {50, -5}) {
        test::WriteUsbComSettings(settings.path(), "CP2102", monitorMs);
        UsbComRealPort link{settings.path(), tree.root()};
        ASSERT_EQ(link.Open(ChannelConfig{}), 1);
        ByteArray got{7};
        auto start = SteadyClock::now();
        EXPECT_EQ(link.Read(got, 10, moved, 120), 1);
        const auto took = SteadyClock::now() - start;
        EXPECT_GE(took, 110ms) << monitorMs;
        EXPECT_LT(took, 5s) << monitorMs;
        EXPECT_EQ(moved, 0u);
        ASSERT_TRUE(test::WritePty(*pty, {1, 2}));
        EXPECT_EQ(link.Read(got, 2, moved, 1000), 1);
        EXPECT_EQ(got, (ByteArray{7, 1, 2}));
    }
}

// An unplugged converter's descriptor is dead for good: the link closes it,
// and the next call opens the port again after the pause, with its short
// read time-out (else the read would wait for ever).
TEST_F(UsbComRealPortTest, ALostDeviceIsClosedAndOpenedAgainAfterThePause) {
    OneConverter(50);
    ASSERT_EQ(port.Open(ChannelConfig{}), 1);
    pty.reset();
    EXPECT_EQ(port.Read(data, 4, moved, 100), 1);
    EXPECT_EQ(port.IsHandleOpen(), 0);

    pty = platform::Pty::Create(nullptr);
    fs::remove(devices.path() / "ttyUSB0");
    LinkTty("ttyUSB0");
    {
        platform::ManualClock clock;
        platform::ScopedClock scoped(clock);
        EXPECT_EQ(port.Write(ByteArray{5, 6, 7}, 2, moved, 0), 1);
        EXPECT_EQ(clock.TotalSlept(), 4000u);
    }
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(test::ReadPty(*pty, 2), (std::vector<uint8_t>{5, 6}));
    auto start = SteadyClock::now();
    EXPECT_EQ(port.Read(data, 10, moved, 120), 1);
    EXPECT_LT(SteadyClock::now() - start, 5s);
}

}  // namespace
}  // namespace varnock
