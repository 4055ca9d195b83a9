#include <gtest/gtest.h>

#include "links/UsbComDiscovery.h"
#include "platform/Paths.h"
#include "tests/links/FakeDeviceTree.h"

namespace varnock {
namespace {

using Ports = std::vector<std::string>;

class UsbComDiscoveryTest : public ::testing::Test {
protected:
    // Added out of order: the list comes sorted by tty name. Ports that are
    // not on USB are never listed.
    UsbComDiscoveryTest() {
        tree.AddUsbSerial("ttyUSB1", test::kCp2102);
        tree.AddUsbSerial("ttyUSB0", test::kCp2102, "CP2102 Interface");  // named by its product
        tree.AddUsbSerial("ttyUSB2", "FT232R USB UART");
        tree.AddUsbSerial("ttyUSB3", "Silicon Labs CP2102 USB to UART Bridge Controller");
        tree.AddUsbSerial("ttyACM0", std::nullopt, "Mega2560 Bridge");  // no friendly name
        tree.AddUsbSerial("ttyACM1", "Other Bridge", "Mega2560 Bridge");
        tree.AddPlatformSerial("ttyS0");
        tree.AddVirtualTerminal("tty1");
    }
    test::FakeDeviceTree tree;
};

TEST_F(UsbComDiscoveryTest, FriendlyNameOrElseDescriptionMustBeginWithThePrefix) {
    test::ScopedDeviceDir deviceDir;
    const std::pair<const char*, Ports> cases[] = {
        {"CP2102", {"\\\\.\\ttyUSB0", "\\\\.\\ttyUSB1"}},  // not ttyUSB3, which only contains it
        {"FT232", {"\\\\.\\ttyUSB2"}},
        {"Mega2560", {"\\\\.\\ttyACM0"}},  // a friendly name takes precedence
        {"Bridge", {}},
    };
    for (const auto& [prefix, expected] : cases) {
        Ports ports{"kept"};
        EXPECT_EQ(FindUsbComPorts(prefix, ports, tree.root()), 1);
        ports.erase(ports.begin());
        EXPECT_EQ(ports, expected) << prefix;
    }
    EXPECT_EQ(platform::ResolveDeviceName("\\\\.\\ttyUSB0"), "/dev/ttyUSB0");

    Ports ports{"kept"};
    EXPECT_EQ(FindUsbComPorts("CP2102", ports, tree.root() / "missing"), 0);
    EXPECT_EQ(ports, Ports{"kept"});
}

TEST(UsbComMatchTest, NameWithoutAPortInParenthesesIsSkipped) {
    std::vector<platform::UsbSerialDevice> devices{
        {"ttyUSB0", "CP2102 Bridge", ""},
        {"ttyUSB1", "CP2102 Bridge (ttyUSB1", ""},
        {"ttyUSB2", "CP2102 Bridge ()", ""},
        {"ttyUSB3", "CP2102 Bridge (ttyUSB3) (x)", ""},
    };
    Ports ports;
    MatchUsbComPorts("CP2102", devices, ports);
    EXPECT_EQ(ports, (Ports{"\\\\.\\ttyUSB3"}));
}

}  // namespace
}  // namespace varnock
