#include <gtest/gtest.h>

#include <filesystem>

#include "links/UsbRealPort.h"
#include "platform/Clock.h"
#include "tests/links/SimulatedUsbDriver.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TestSupport.h"

namespace varnock {
namespace {

using Calls = std::vector<std::string>;

class UsbRealPortTest : public ::testing::Test {
protected:
    void OpenAtZero(const std::string& serial = "PLC-1") {
        driver.Plug(0, serial);
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
    OpenAtZero("PLC-1");
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
    test::PtyPair device;
    std::filesystem::create_symlink(device.SlavePath(), devices.path() / "HXUSB-0");
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
    device.CloseMaster();
    EXPECT_LT(status(), 0);
    driver.Close(handle);
}

}  // namespace
}  // namespace varnock
