#include "links/RealPortFactory.h"

#include <gtest/gtest.h>

#include "links/EthernetRealPort.h"
#include "links/SerialRealPort.h"
#include "links/UsbComRealPort.h"
#include "links/UsbRealPort.h"
#include "platform/MessageBox.h"
#include "tests/links/FakeDeviceTree.h"
#include "tests/links/SimulatedUsbDriver.h"
#include "tests/support/PtyPair.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;

class RealPortFactoryTest : public ::testing::Test {
protected:
    RealPortFactoryTest() { test::WriteUsbComSettings(settings.path(), "CP2102"); }
    int Create(LinkType type) { return CreateRealPort(type, config, link, env); }
    template <class T>
    bool LinkIs() {
        return dynamic_cast<T*>(link.get()) != nullptr;
    }

    test::ScopedDeviceDir devices;
    test::TempDir settings;
    test::FakeDeviceTree tree;
    test::PtyPair pty;
    test::SimulatedUsbDriver driver;
    LinkEnvironment env{&driver, settings.path(), tree.root()};
    platform::RecordingMessageSink sink;
    platform::ScopedMessageSink sinkScope{sink};
    ChannelConfig config;
    std::unique_ptr<RealPort> link;
};

TEST_F(RealPortFactoryTest, LinkTypes) {
    fs::create_symlink(pty.SlavePath(), devices.path() / "COM5");
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
    fs::create_symlink(pty.SlavePath(), devices.path() / "ttyUSB0");
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
