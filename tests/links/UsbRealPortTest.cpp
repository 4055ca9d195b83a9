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

std::string OpenCall(int index) {
    return "open \\\\.\\HXUSB-" + std::to_string(index);
}

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

TEST_F(UsbRealPortTest, OpenTakesIndexOneWhenZeroIsHeld) {
    driver.Plug(0, "OTHER").busy = true;
    driver.Plug(1, "PLC-1");
    EXPECT_EQ(port.Open(ChannelConfig{}), 1);
    EXPECT_STREQ(port.SerialNumber(), "PLC-1");
    EXPECT_EQ(driver.calls,
              (Calls{OpenCall(0), OpenCall(1), "GET_COUNT", "GET_SERIAL", "PURGE_INPUT", "PURGE_OUTPUT"}));
}

TEST_F(UsbRealPortTest, OpenResultsWithoutAUsableDevice) {
    EXPECT_EQ(port.Open(ChannelConfig{}), 0);
    EXPECT_EQ(driver.calls, (Calls{OpenCall(0), OpenCall(1), OpenCall(2)}));
    driver.Plug(0, "PLC-1").busy = true;
    EXPECT_EQ(port.Open(ChannelConfig{}), 104);
    EXPECT_EQ(port.OpenResult(), 104);
    // A link dropped while open lets its device go.
    driver.At(0)->busy = false;
    EXPECT_EQ(std::make_unique<UsbRealPort>(driver)->Open(ChannelConfig{}), 1);
    EXPECT_EQ(driver.OpenHandles(), 0);
}

TEST_F(UsbRealPortTest, ReadAndWriteReachTheDriverInOrder) {
    OpenAtZero();
    driver.At(0)->reply = {1, 2, 3};
    data = {9};
    EXPECT_EQ(ReadSome(6, 120), 1);
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
    // Never more than the buffer holds.
    EXPECT_EQ(port.Write(ByteArray{1, 2}, 10, sent, 100), 1);
    EXPECT_EQ(sent, 2u);

    // Short reads, and none at all, are not failures.
    driver.At(0)->reply = {1, 2, 3, 4, 5, 6};
    driver.At(0)->maxPerRead = 2;
    data = {};
    EXPECT_EQ(ReadSome(6), 1);
    EXPECT_EQ(data, (ByteArray{1, 2}));
    driver.At(0)->input.clear();
    EXPECT_EQ(ReadSome(6), 1);
    EXPECT_EQ(received, 0u);
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
    Calls expected{"GET_STATUS", "close"};
    for (int i = 0; i <= 5; ++i) expected.push_back(OpenCall(i));
    expected.insert(expected.begin() + 5, {"GET_SERIAL", "close"});
    expected.insert(expected.end(),
                    {"GET_SERIAL", "PURGE_INPUT", "PURGE_OUTPUT", "SET_TIMEOUT 50", "read 2"});
    EXPECT_EQ(driver.calls, expected);

    // Another PLC in its place is not taken.
    driver.Unplug(5);
    driver.Plug(5, "PLC-2");
    EXPECT_EQ(ReadSome(4), 0);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(driver.OpenHandles(), 0);
}

TEST_F(UsbRealPortTest, PurgeSendsOnlyTheCodesAsked) {
    OpenAtZero();
    EXPECT_EQ(port.Purge(3), 1);
    EXPECT_EQ(port.Purge(2), 1);
    EXPECT_EQ(port.Purge(1), 1);
    EXPECT_EQ(port.Purge(0), 0);
    EXPECT_EQ(port.Purge(4), 0);
    EXPECT_EQ(driver.calls, (Calls{"PURGE_INPUT", "PURGE_OUTPUT", "PURGE_OUTPUT", "PURGE_INPUT"}));
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
