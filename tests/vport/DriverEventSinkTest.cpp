#include "vport/DriverEventSink.h"

#include <gtest/gtest.h>

#include "tests/vport/VportTestSupport.h"
#include "vport/DriverVirtualPort.h"

namespace varnock {
namespace {
using Blocks = std::vector<std::string>;

class SinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetOwner(owner);
        ASSERT_NE(driver.sink, nullptr);
        driver.calls.clear();
    }
    HRESULT Raise(DISPID dispid, std::vector<Variant> args = {}) {
        return driver.sink->Invoke(dispid, DispParams{std::move(args)});
    }
    HRESULT DataArrived(int32_t count) { return Raise(kDispidDataArrived, {Variant::Int32(count)}); }

    test::RecordingDriver driver;
    ScopedDriverClass registered{driver};
    DriverVirtualPort port;
    test::TestOwner owner;
};

TEST_F(SinkTest, DataArrivedQueuesWhatWasReadOnlyWhileConnected) {
    driver.readData = "0123456789";
    EXPECT_EQ(DataArrived(10), S_OK);
    DataArrived(10);  // the driver has nothing
    EXPECT_EQ(owner.Blocks(), Blocks{"0123456789"});
    owner.connected = false;
    driver.readData = "abc";
    DataArrived(3);
    EXPECT_TRUE(driver.readData.empty());  // drained all the same
    EXPECT_EQ(owner.Blocks().size(), 1u);
    // Counts beyond the buffer are never trusted.
    owner.connected = true;
    driver.readData = "abcdef";
    driver.readResult = 500;
    DataArrived(4);
    driver.readResult = -1;
    DataArrived(-7);
    Raise(kDispidDataArrived);  // no argument at all
    EXPECT_EQ(owner.Blocks(), (Blocks{"0123456789", "abcd"}));
    // A full queue leaves the bytes with the driver.
    owner.full = true;
    driver.readData = "held";
    DataArrived(4);
    EXPECT_EQ(driver.readData, "held");
    EXPECT_EQ(owner.Blocks().size(), 2u);
}

TEST_F(SinkTest, OpenStateAndSettingsEventsAndNoOthers) {
    driver.readData = "xyz";
    for (DISPID id : {2, 3, 4, 6, 8, 9, 11}) EXPECT_EQ(Raise(id, {Variant::Int32(3)}), S_OK) << id;
    EXPECT_TRUE(driver.calls.empty());
    EXPECT_TRUE(owner.Blocks().empty());
    EXPECT_EQ(std::pair(owner.closed.load(), owner.syncs.load()), std::pair(-1, 0));
    for (bool connected : {true, false}) {
        owner.connected = connected;
        Raise(kDispidOpenStateChanged, {Variant::Bool(false)});
        EXPECT_EQ(owner.closed, 1);
        Raise(kDispidOpenStateChanged, {Variant::Bool(true)});
        EXPECT_EQ(owner.closed, 0);
        // Both settings events refresh, only while connected.
        Raise(kDispidSettingsChanged);
        Raise(kDispidSettingsChangedToo);
        EXPECT_EQ(owner.syncs, 2);
    }
}

}  // namespace
}  // namespace varnock
