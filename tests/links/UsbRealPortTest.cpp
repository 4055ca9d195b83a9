#include <gtest/gtest.h>

#include "links/UsbRealPort.h"
#include "platform/Clock.h"
#include "tests/links/SimulatedUsbDriver.h"
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

    // A count above 1 gives 105 with the device held until Close.
    driver.At(0)->busy = false;
    driver.At(0)->count = 2;
    EXPECT_EQ(port.Open(ChannelConfig{}), 105);
    EXPECT_EQ(driver.calls.back(), "GET_COUNT");
    EXPECT_EQ(driver.OpenHandles(), 1);
    // No serial number: 0, also held.
    driver.At(0)->count = 1;
    driver.At(0)->serial = "";
    EXPECT_EQ(port.Open(ChannelConfig{}), 0);
    EXPECT_EQ(driver.OpenHandles(), 1);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Close(), 1);
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

TEST_F(UsbRealPortTest, ReplugUnderAnotherIndexIsFoundBySerialNumber) {
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
}

TEST_F(UsbRealPortTest, AnotherPlcIsNotTakenAndTheSearchRepeats) {
    OpenAtZero("PLC-1");
    driver.Unplug(0);
    driver.Plug(0, "PLC-2");
    EXPECT_EQ(ReadSome(4), 0);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(driver.OpenHandles(), 0);

    // Closed now: the next call searches all 128 indices, without a pause.
    driver.calls.clear();
    uint32_t sent = 0;
    EXPECT_EQ(port.Write(ByteArray{1}, 1, sent, 50), 0);
    EXPECT_EQ(driver.calls.back(), OpenCall(127));
    EXPECT_EQ(clock.TotalSlept(), 500u);
    driver.Plug(127, "PLC-1");
    EXPECT_EQ(port.Write(ByteArray{1}, 1, sent, 50), 1);
    EXPECT_EQ(sent, 1u);

    // A refused index during the search gives 104; the open result stays.
    driver.Unplug(127);
    driver.Plug(7, "PLC-1").busy = true;
    EXPECT_EQ(ReadSome(4), 104);
    EXPECT_EQ(port.OpenResult(), 1);
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

TEST_F(UsbRealPortTest, DroppedLinkReleasesTheDevice) {
    driver.Plug(0, "PLC-1");
    EXPECT_EQ(std::make_unique<UsbRealPort>(driver)->Open(ChannelConfig{}), 1);
    EXPECT_EQ(driver.OpenHandles(), 0);
}

// The driver for real nodes, on a plain file in the device directory.
TEST(IoctlUsbDriverTest, OpensNodesExclusively) {
    test::ScopedDeviceDir dir;
    test::WriteFile(dir.path() / "HXUSB-0", "abc");
    IoctlUsbDriver driver;
    UsbOpenError error;
    EXPECT_EQ(driver.Open("\\\\.\\HXUSB-1", error), UsbDriver::kInvalidHandle);
    EXPECT_EQ(error, UsbOpenError::NotThere);
    UsbDriver::Handle h = driver.Open("\\\\.\\HXUSB-0", error);
    ASSERT_NE(h, UsbDriver::kInvalidHandle);
    EXPECT_EQ(driver.Open("\\\\.\\HXUSB-0", error), UsbDriver::kInvalidHandle);
    EXPECT_EQ(error, UsbOpenError::AccessDenied);
    uint8_t buffer[8] = {};
    EXPECT_EQ(driver.Read(h, buffer, 8), 3u);
    driver.Close(h);

    // Not a driver node: no serial number comes back, so the link refuses it.
    UsbRealPort port(driver);
    EXPECT_EQ(port.Open(ChannelConfig{}), 0);
}

}  // namespace
}  // namespace varnock
