// The native USB link, its driver for real nodes, and the link factory with
// its choice between the native device and a USB-to-UART converter.
#include <gtest/gtest.h>

#include "links/EthernetRealPort.h"
#include "links/RealPortFactory.h"
#include "links/SerialRealPort.h"
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
using Calls = std::vector<std::string>;

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

    tree.AddUsbSerial("ttyUSB0", test::kCp2102);
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
