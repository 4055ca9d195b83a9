#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

#include "links/EthernetRealPort.h"
#include "links/RealPortFactory.h"
#include "links/SerialRealPort.h"
#include "links/UsbComRealPort.h"
#include "links/UsbRealPort.h"
#include "platform/MessageBox.h"
#include "tests/links/FakeDeviceTree.h"
#include "tests/links/SimulatedUsbDriver.h"
#include "tests/links/UsbTestSupport.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;
const char* const kCp2102 = "CP2102 USB to UART Bridge Controller";

class RealPortFactoryTest : public ::testing::Test {
protected:
    RealPortFactoryTest() {
        sinkScope.emplace(sink);
        test::WriteUsbComSettings(settings.path(), "CP2102");
    }
    ~RealPortFactoryTest() override {
        if (link) link->Close();
    }
    // A converter whose tty leads to `pty`.
    void AddConverter(const std::string& tty, test::PtyPair& pty) {
        tree.AddUsbSerial(tty, kCp2102);
        fs::create_symlink(pty.SlavePath(), devices.path() / tty);
    }
    int Create(int type) {
        config.m_nLinkType = type;
        return CreateRealPort(type, config, link, env);
    }
    template <class T>
    T* LinkAs() {
        return dynamic_cast<T*>(link.get());
    }

    test::ScopedDeviceDir devices;
    test::TempDir settings;
    test::FakeDeviceTree tree;
    test::PtyPair pty;
    test::SimulatedUsbDriver driver;
    LinkEnvironment env{&driver, settings.path(), tree.root()};
    platform::RecordingMessageSink sink;
    std::optional<platform::ScopedMessageSink> sinkScope;
    ChannelConfig config;
    std::unique_ptr<RealPort> link;
};

TEST_F(RealPortFactoryTest, SerialLinkForTypeZero) {
    fs::create_symlink(pty.SlavePath(), devices.path() / "COM5");
    config.m_strLinkPort = "COM5";
    EXPECT_EQ(Create(0), 1);
    ASSERT_NE(LinkAs<SerialRealPort>(), nullptr);
    EXPECT_EQ(link->OpenResult(), 1);

    // A port that is not there still leaves the link with its owner.
    config.m_strLinkPort = "COM6";
    EXPECT_EQ(Create(0), 0);
    EXPECT_NE(LinkAs<SerialRealPort>(), nullptr);
}

TEST_F(RealPortFactoryTest, EthernetLinkForTypeOne) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(2538);
    ::inet_pton(AF_INET, "127.0.0.61", &addr.sin_addr);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    config.m_strIPAddress = "127.0.0.61";
    EXPECT_EQ(Create(1), 1);
    EXPECT_NE(LinkAs<EthernetRealPort>(), nullptr);
    link->Close();
    ::close(listener);
}

TEST_F(RealPortFactoryTest, UnknownTypesCreateNothing) {
    driver.Plug(0, "PLC-1");
    ASSERT_EQ(Create(2), 1);
    for (int type : {3, 7, -1}) {
        EXPECT_EQ(Create(type), 0);
        EXPECT_EQ(link, nullptr);
    }
    EXPECT_EQ(driver.OpenHandles(), 0);  // the link it held was closed
}

// The four rows of the USB selection, then the cases that stop or fall outside them.
TEST_F(RealPortFactoryTest, NativeOnlyGivesTheNativeLink) {
    driver.Plug(0, "PLC-1");
    EXPECT_EQ(Create(2), 1);
    ASSERT_NE(LinkAs<UsbRealPort>(), nullptr);
    EXPECT_EQ(driver.OpenHandles(), 1);
}

TEST_F(RealPortFactoryTest, ConverterOnlyGivesTheConverterAndItsResult) {
    AddConverter("ttyUSB0", pty);
    EXPECT_EQ(Create(2), 1);
    ASSERT_NE(LinkAs<UsbComRealPort>(), nullptr);
    EXPECT_EQ(LinkAs<UsbComRealPort>()->IsHandleOpen(), 1);

    // Neither: the converter's failure, and nothing left open.
    link->Close();
    fs::remove(devices.path() / "ttyUSB0");
    driver.Plug(0, "");  // opens, but reports no serial number
    EXPECT_EQ(Create(2), 0);
    EXPECT_NE(LinkAs<UsbComRealPort>(), nullptr);
    EXPECT_EQ(driver.OpenHandles(), 0);
}

TEST_F(RealPortFactoryTest, BothPathsCountAsMoreThanOneDevice) {
    driver.Plug(0, "PLC-1");
    AddConverter("ttyUSB0", pty);
    EXPECT_EQ(Create(2), 105);
    ASSERT_NE(LinkAs<UsbComRealPort>(), nullptr);
    EXPECT_EQ(driver.OpenHandles(), 0);

    // The converter's own 105 (two of them) gives 105 as well.
    test::PtyPair second;
    AddConverter("ttyUSB1", second);
    EXPECT_EQ(Create(2), 105);
    EXPECT_EQ(LinkAs<UsbComRealPort>()->IsHandleOpen(), 0);
    EXPECT_EQ(driver.OpenHandles(), 0);
}

TEST_F(RealPortFactoryTest, RefusedNativeDeviceStopsTheSearch) {
    fs::remove(settings.path() / "Varnock.ini");  // a converter attempt would show 109
    driver.Plug(0, "PLC-1").busy = true;
    EXPECT_EQ(Create(2), 104);
    EXPECT_NE(LinkAs<UsbRealPort>(), nullptr);
    EXPECT_TRUE(sink.Entries().empty());

    driver.At(0)->busy = false;
    driver.At(0)->count = 2;
    EXPECT_EQ(Create(2), 105);
    EXPECT_NE(LinkAs<UsbRealPort>(), nullptr);
    EXPECT_EQ(driver.OpenHandles(), 1);  // held until the owner closes it
    EXPECT_TRUE(sink.Entries().empty());
}

TEST_F(RealPortFactoryTest, NativeOpenAndConverterRefusedReleasesTheNativeDevice) {
    driver.Plug(0, "PLC-1");
    AddConverter("ttyUSB0", pty);
    UsbComRealPort other(settings.path(), tree.root());
    ASSERT_EQ(other.Open(ChannelConfig{}), 1);

    EXPECT_EQ(Create(2), 0);
    EXPECT_NE(LinkAs<UsbComRealPort>(), nullptr);
    EXPECT_EQ(driver.OpenHandles(), 0);
    UsbRealPort again(driver);
    EXPECT_EQ(again.Open(ChannelConfig{}), 1);
}

TEST_F(RealPortFactoryTest, HeldLinkIsClosedBeforeTheNextOpen) {
    driver.Plug(0, "PLC-1");
    ASSERT_EQ(Create(2), 1);
    // Still held, the device would refuse this open with 104.
    EXPECT_EQ(Create(2), 1);
    EXPECT_EQ(driver.OpenHandles(), 1);
}

}  // namespace
}  // namespace varnock
