// The native USB link, its driver for real nodes, the USB-to-UART link with
// its discovery, and the link factory's choice between the two.
#include <gtest/gtest.h>

#include <chrono>

#include "links/EthernetRealPort.h"
#include "links/RealPortFactory.h"
#include "links/SerialRealPort.h"
#include "links/UsbComDiscovery.h"
#include "links/UsbComRealPort.h"
#include "links/UsbRealPort.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "tests/links/FakeDeviceTree.h"
#include "tests/links/SimulatedUsbDriver.h"
#include "platform/Pty.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::kCp2102;
using Calls = std::vector<std::string>;
using Ports = std::vector<std::string>;
using SteadyClock = std::chrono::steady_clock;

class UsbRealPortTest : public ::testing::Test {
protected:
    void OpenAtZero() {
        driver.Plug(0, "PLC-1");
        ASSERT_EQ(port.Open(ChannelConfig{}), 1);
        driver.calls.clear();
    }
    int ReadSome(int count, uint32_t timeout = 50) { return port.Read(data, count, received, timeout); }

    platform::ManualClock clock;
    platform::ScopedClock scopedClock{clock};
    test::SimulatedUsbDriver driver;
    UsbRealPort port{driver};
    ByteArray data;
    uint32_t received = 99;
};

// Indices 0 to 2; a refusal counts only while nothing opens, and a link
// dropped while open lets its device go.
TEST_F(UsbRealPortTest, OpenResults) {
    EXPECT_EQ(port.Open(ChannelConfig{}), 0);
    EXPECT_EQ(driver.calls, (Calls{"open \\\\.\\HXUSB-0", "open \\\\.\\HXUSB-1", "open \\\\.\\HXUSB-2"}));
    driver.Plug(0, "OTHER").busy = true;
    EXPECT_EQ(port.Open(ChannelConfig{}), 104);
    driver.Plug(1, "PLC-1");
    EXPECT_EQ(std::make_unique<UsbRealPort>(driver)->Open(ChannelConfig{}), 1);
    EXPECT_EQ(driver.OpenHandles(), 0);
    EXPECT_EQ(port.Open(ChannelConfig{}), 1);
    EXPECT_STREQ(port.SerialNumber(), "PLC-1");
}

TEST_F(UsbRealPortTest, ReadWriteAndPurgeReachTheDriverInOrder) {
    OpenAtZero();
    driver.At(0)->reply = {1, 2, 3};
    data = {9};
    EXPECT_EQ(ReadSome(6, 120), 1);  // a short read is no failure
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(data, (ByteArray{9, 1, 2, 3}));
    driver.At(0)->input = {7, 7};  // unread input goes before a write
    uint32_t sent = 0;
    EXPECT_EQ(port.Write(ByteArray{5, 6, 7, 8}, 3, sent, 100), 1);
    EXPECT_EQ(sent, 3u);
    EXPECT_EQ(driver.At(0)->written, (std::vector<uint8_t>{5, 6, 7}));
    EXPECT_TRUE(driver.At(0)->input.empty());
    EXPECT_EQ(driver.calls, (Calls{"GET_STATUS", "SET_TIMEOUT 120", "read 6", "GET_STATUS", "PURGE_INPUT",
                                   "SET_TIMEOUT 100", "write 3"}));
    EXPECT_EQ(port.Write(ByteArray{1, 2}, 10, sent, 100), 1);  // never more than the buffer holds
    EXPECT_EQ(sent, 2u);
    EXPECT_EQ(ReadSome(6), 1);  // nothing at all
    EXPECT_EQ(received, 0u);

    driver.calls.clear();
    for (int which : {3, 2, 1, 0, 4}) EXPECT_EQ(port.Purge(which), which >= 1 && which <= 3 ? 1 : 0) << which;
    EXPECT_EQ(driver.calls, (Calls{"PURGE_INPUT", "PURGE_OUTPUT", "PURGE_OUTPUT", "PURGE_INPUT"}));
}

TEST_F(UsbRealPortTest, ReplugUnderAnotherIndexIsFoundBySerialNumberAnotherPlcIsNot) {
    OpenAtZero();
    driver.Unplug(0);
    driver.Plug(2, "PLC-9");
    driver.Plug(5, "PLC-1").reply = {0xAA, 0xBB};

    EXPECT_EQ(ReadSome(2), 1);
    EXPECT_EQ(data, (ByteArray{0xAA, 0xBB}));
    EXPECT_EQ(clock.TotalSlept(), 500u);
    EXPECT_FALSE(driver.At(2)->held);  // the other PLC is closed again

    // Another PLC in its place is not taken.
    driver.Unplug(5);
    driver.Plug(5, "PLC-2");
    EXPECT_EQ(ReadSome(4), 0);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(driver.OpenHandles(), 0);
}

// A real device node whose device went away fails every control call (here
// a pty slave hung up: EIO); the status query must then say the device is lost.
TEST(IoctlUsbDriverTest, ANodeWhoseDeviceWentAwayReportsANegativeStatus) {
    test::ScopedDeviceDir devices;
    auto device = platform::Pty::Create(nullptr);
    std::filesystem::create_symlink(device->SlavePath(), devices.path() / "HXUSB-0");
    IoctlUsbDriver driver;
    UsbOpenError error;
    UsbDriver::Handle handle = driver.Open("\\\\.\\HXUSB-0", error);
    ASSERT_NE(handle, UsbDriver::kInvalidHandle);
    auto status = [&] {
        int32_t s = 7;
        uint32_t in = 0;
        driver.Control(handle, IOCTL_HXUSB_GET_STATUS, &in, 4, &s, 4);
        return s;
    };
    EXPECT_EQ(status(), 7);  // a node that does not know the code is no lost device
    device.reset();
    EXPECT_LT(status(), 0);
    driver.Close(handle);
}

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

class RealPortFactoryTest : public ::testing::Test {
protected:
    RealPortFactoryTest() { test::WriteUsbComSettings(settings.path(), "CP2102"); }
    int Create(LinkType type) { return CreateRealPort(type, config, link, env); }
    template <class T>
    bool LinkIs() {
        return dynamic_cast<T*>(link.get());
    }

    test::ScopedDeviceDir devices;
    test::TempDir settings;
    test::FakeDeviceTree tree;
    std::unique_ptr<platform::Pty> pty = platform::Pty::Create(nullptr);
    test::SimulatedUsbDriver driver;
    LinkEnvironment env{&driver, settings.path(), tree.root()};
    platform::RecordingMessageSink sink;
    platform::ScopedMessageSink sinkScope{sink};
    ChannelConfig config;
    std::unique_ptr<RealPort> link;
};

TEST_F(RealPortFactoryTest, LinkTypes) {
    fs::create_symlink(pty->SlavePath(), devices.path() / "COM5");
    config.m_strLinkPort = "COM5";
    EXPECT_EQ(Create(LinkType::Serial), 1);
    EXPECT_TRUE(LinkIs<SerialRealPort>());
    // A link that fails to open is still handed to its owner.
    config.m_strIPAddress = "127.0.0.61";  // nothing listens
    EXPECT_EQ(Create(LinkType::Ethernet), 0);
    EXPECT_TRUE(LinkIs<EthernetRealPort>());

    driver.Plug(0, "PLC-1");
    ASSERT_EQ(Create(LinkType::Usb), 1);
    for (int type : {3, 7, -1}) {
        EXPECT_EQ(Create(static_cast<LinkType>(type)), 0);
        EXPECT_EQ(link, nullptr);
    }
    EXPECT_EQ(driver.OpenHandles(), 0);  // the link it held was closed
}

// Every row of the USB selection; whatever the row, no device is left open
// without an owner.
TEST_F(RealPortFactoryTest, UsbSelection) {
    driver.Plug(0, "PLC-1");
    EXPECT_EQ(Create(LinkType::Usb), 1);  // native only
    EXPECT_TRUE(LinkIs<UsbRealPort>());
    // The held link is closed first: still held, the device would refuse with 104.
    EXPECT_EQ(Create(LinkType::Usb), 1);
    EXPECT_EQ(driver.OpenHandles(), 1);

    tree.AddUsbSerial("ttyUSB0", kCp2102);
    fs::create_symlink(pty->SlavePath(), devices.path() / "ttyUSB0");
    EXPECT_EQ(Create(LinkType::Usb), 105);  // both
    EXPECT_TRUE(LinkIs<UsbComRealPort>());
    EXPECT_EQ(driver.OpenHandles(), 0);
    link->Close();
    {
        UsbComRealPort holder(settings.path(), tree.root());
        ASSERT_EQ(holder.Open(ChannelConfig{}), 1);
        EXPECT_EQ(Create(LinkType::Usb), 0);  // native, and the converter refused
        EXPECT_TRUE(LinkIs<UsbComRealPort>());
        EXPECT_EQ(driver.OpenHandles(), 0);
    }

    driver.Unplug(0);
    EXPECT_EQ(Create(LinkType::Usb), 1);  // converter only
    ASSERT_TRUE(LinkIs<UsbComRealPort>());
    EXPECT_EQ(static_cast<UsbComRealPort&>(*link).IsHandleOpen(), 1);

    fs::remove(devices.path() / "ttyUSB0");
    driver.Plug(0, "");  // opens, but reports no serial number: neither
    EXPECT_EQ(Create(LinkType::Usb), 0);
    EXPECT_TRUE(LinkIs<UsbComRealPort>());
    EXPECT_EQ(driver.OpenHandles(), 0);

    // A refused or manifold native device stops the search: the converter
    // would show 109 without Varnock.ini.
    fs::remove(settings.path() / "Varnock.ini");
    driver.Plug(0, "PLC-1").busy = true;
    EXPECT_EQ(Create(LinkType::Usb), 104);
    EXPECT_TRUE(LinkIs<UsbRealPort>());
    driver.At(0)->busy = false;
    driver.At(0)->count = 2;
    EXPECT_EQ(Create(LinkType::Usb), 105);
    EXPECT_TRUE(LinkIs<UsbRealPort>());
    EXPECT_EQ(driver.OpenHandles(), 1);  // held until the owner closes it
    EXPECT_TRUE(sink.Entries().empty());
}

}  // namespace
}  // namespace varnock
