#include <gtest/gtest.h>

#include "links/UsbComDiscovery.h"
#include "platform/Paths.h"
#include "tests/links/FakeDeviceTree.h"

namespace varnock {
namespace {

using test::FakeDeviceTree;
using Ports = std::vector<std::string>;

const char* const kCp2102 = "CP2102 USB to UART Bridge Controller";

TEST(UsbSerialDevicesTest, NamesUsbTtysOnlyWithTheirPortInParentheses) {
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", kCp2102, "CP2102 Interface");
    tree.AddUsbSerial("ttyACM0", std::nullopt);
    tree.AddPlatformSerial("ttyS0");
    tree.AddVirtualTerminal("tty1");

    std::vector<platform::UsbSerialDevice> devices;
    ASSERT_TRUE(platform::ListUsbSerialDevices(tree.root(), devices));
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].ttyName, "ttyACM0");
    EXPECT_EQ(devices[0].friendlyName, "");
    EXPECT_EQ(devices[1].friendlyName, "CP2102 USB to UART Bridge Controller (ttyUSB0)");
    EXPECT_EQ(devices[1].description, "CP2102 Interface (ttyUSB0)");
}

TEST(UsbComDiscoveryTest, OneMatchingConverterGivesItsTtyPath) {
    test::ScopedDeviceDir deviceDir;
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", kCp2102);
    tree.AddUsbSerial("ttyUSB1", "FT232R USB UART");

    Ports ports{"kept"};
    EXPECT_EQ(FindUsbComPorts("CP2102", ports, tree.root()), 1);
    ASSERT_EQ(ports, (Ports{"kept", "\\\\.\\ttyUSB0"}));
    EXPECT_EQ(platform::ResolveDeviceName(ports[1]), "/dev/ttyUSB0");
}

TEST(UsbComDiscoveryTest, EveryMatchingConverterIsListed) {
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB1", kCp2102);
    tree.AddUsbSerial("ttyUSB0", kCp2102);

    Ports ports;
    EXPECT_EQ(FindUsbComPorts("CP210", ports, tree.root()), 1);
    EXPECT_EQ(ports, (Ports{"\\\\.\\ttyUSB0", "\\\\.\\ttyUSB1"}));
}

TEST(UsbComDiscoveryTest, NameMustBeginWithThePrefix) {
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "Silicon Labs CP2102 USB to UART Bridge Controller");
    tree.AddPlatformSerial("ttyS0");

    Ports ports;
    EXPECT_EQ(FindUsbComPorts("CP2102", ports, tree.root()), 1);
    EXPECT_TRUE(ports.empty());
}

TEST(UsbComDiscoveryTest, DescriptionServesWhenThereIsNoFriendlyName) {
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB3", std::nullopt, kCp2102);
    // A friendly name takes precedence over a matching description.
    tree.AddUsbSerial("ttyUSB4", "Other Bridge", kCp2102);

    Ports ports;
    EXPECT_EQ(FindUsbComPorts("CP2102", ports, tree.root()), 1);
    EXPECT_EQ(ports, (Ports{"\\\\.\\ttyUSB3"}));
}

TEST(UsbComDiscoveryTest, NameWithoutAPortInParenthesesIsSkipped) {
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

TEST(UsbComDiscoveryTest, NoDeviceTreeGivesNoList) {
    FakeDeviceTree tree;
    Ports ports{"kept"};
    EXPECT_EQ(FindUsbComPorts("CP2102", ports, tree.root() / "missing"), 0);
    EXPECT_EQ(ports, (Ports{"kept"}));
}

}  // namespace
}  // namespace varnock
