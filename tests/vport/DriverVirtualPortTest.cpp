#include "vport/DriverVirtualPort.h"

#include <gtest/gtest.h>

#include "platform/MessageLoop.h"
#include "tests/support/TestSupport.h"
#include "tests/vport/VportTestSupport.h"
#include "vport/DriverEventSink.h"
#include "vport/VirtualPortFactory.h"

namespace varnock {
namespace {
using Calls = std::vector<std::string>;
using Blocks = std::vector<std::string>;

class RecordedPortTest : public ::testing::Test {
protected:
    test::RecordingDriver driver;
    ScopedDriverClass registered{driver};
};

TEST_F(RecordedPortTest, OpenMakesTheBindingCallsInOrder) {
    const Calls fallback{"PrepareBinding", "BindPort COM7", "BindPortFallback COM7", "FinishBinding 1"};
    const struct {
        VARIANT_BOOL bind, fallback;
        bool opened;
        Calls calls;
    } cases[] = {
        // Any value but 0 is true.
        {1, VARIANT_FALSE, true, {"PrepareBinding", "BindPort COM7", "FinishBinding 1"}},
        {VARIANT_FALSE, 1, true, fallback},
        {VARIANT_FALSE, VARIANT_FALSE, false, Calls(fallback.begin(), fallback.end() - 1)},
    };
    for (const auto& c : cases) {
        driver.bindResult = c.bind;
        driver.fallbackResult = c.fallback;
        DriverVirtualPort port;
        driver.calls.clear();
        EXPECT_EQ(port.Open("COM7"), c.opened);
        EXPECT_EQ(driver.calls, c.calls);
    }
    EXPECT_EQ(driver.refs, 0);
    // A failed call is a port out of service, never an error out of Open.
    driver.fallbackResult = VARIANT_TRUE;
    DriverVirtualPort port;
    for (const char* failing : {"PrepareBinding", "BindPort", "BindPortFallback", "FinishBinding"}) {
        driver.failCall = failing;
        EXPECT_FALSE(port.Open("COM7")) << failing;
        EXPECT_FALSE(port.TryBind("COM7")) << failing;
    }
}

TEST_F(RecordedPortTest, WritesErrorsAndDisconnect) {
    DriverVirtualPort port;
    driver.calls.clear();
    EXPECT_EQ(port.Write(ByteArray{1, 2, 3, 4, 5}), 5);
    EXPECT_EQ(driver.calls, Calls(5, "WriteBytes 1"));  // one call per byte
    EXPECT_EQ(driver.written, std::string("\1\2\3\4\5"));
    driver.failCall = "QueryBaudRate";
    EXPECT_THROW(port.GetBaudRate(), DriverError);  // its callers catch it
    // A refused Advise leaves a port without events; its sink is not leaked.
    driver.failCall = "Advise";
    EXPECT_FALSE(DriverVirtualPort().HasEventSink());
    driver.failCall.clear();

    EXPECT_TRUE(port.Disconnect());
    EXPECT_EQ(driver.calls.back(), "Unadvise 42");
    EXPECT_EQ(driver.refs, 0);
    driver.calls.clear();
    EXPECT_FALSE(port.Open("COM5"));
    EXPECT_EQ(port.Write(ByteArray{1, 2}), 0);
    EXPECT_TRUE(driver.calls.empty());  // no driver object, no call
}

class SinkTest : public RecordedPortTest {
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

TEST(VirtualPortFactoryTest, MakesDriverPortsOnlyOfKindOne) {
    EXPECT_EQ(VirtualPortFactory::Instance().Create(0), nullptr);
    EXPECT_EQ(VirtualPortFactory::Instance().Create(2), nullptr);
    // The pty driver cannot start without a usable device directory.
    test::TempDir temp;
    test::WriteFile(temp / "file", "");
    ::setenv("VARNOCK_DEVICE_DIR", (temp / "file").c_str(), 1);
    auto port = VirtualPortFactory::Instance().Create(1);
    ::unsetenv("VARNOCK_DEVICE_DIR");
    EXPECT_EQ(static_cast<DriverVirtualPort*>(port.get())->DriverObject(), nullptr);
    EXPECT_FALSE(port->Open("COM7"));
}

// The channel hands a settings change to the main thread and waits; the
// port must not wait for that event while blocking the main thread.
TEST(DriverVirtualPortOverPty, ReleasedWhileAnEventWaitsForTheMainThread) {
    struct SendingOwner : test::TestOwner {
        std::atomic<bool> waiting{false};
        void SyncCommParams() override {
            waiting = true;
            platform::MessageLoop::Main().Send([this] { return static_cast<intptr_t>(++syncs); });
        }
    } owner;
    test::ScopedDeviceDir dir;
    platform::MessageLoop::Main().BindToCurrentThread();
    auto port = VirtualPortFactory::Instance().Create(1);
    port->SetOwner(owner);
    ASSERT_TRUE(port->Open("COM7"));
    test::HostPort host(dir.path() / "COM7");
    ASSERT_EQ(host.SetLine(B19200, 0, 0), 0);
    ASSERT_TRUE(test::WaitFor([&] { return owner.waiting.load(); }));
    port.reset();
    EXPECT_EQ(owner.syncs, 1);
}

}  // namespace
}  // namespace varnock
