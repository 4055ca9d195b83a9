#include "vport/DriverVirtualPort.h"

#include <gtest/gtest.h>

#include "platform/MessageLoop.h"
#include "tests/support/TestSupport.h"
#include "tests/vport/VportTestSupport.h"
#include "vport/VirtualPortFactory.h"

namespace varnock {
namespace {
namespace fs = std::filesystem;
using Calls = std::vector<std::string>;
using test::RecordingDriver;

class RecordedPortTest : public ::testing::Test {
protected:
    // The calls made since `start`.
    Calls CallsSince(size_t start) {
        return Calls(driver.calls.begin() + static_cast<long>(start), driver.calls.end());
    }

    RecordingDriver driver;
    ScopedDriverClass registered{driver};
};

TEST_F(RecordedPortTest, OpenMakesTheBindingCallsInOrder) {
    const Calls bound{"PrepareBinding", "BindPort COM7", "FinishBinding 1"};
    const Calls fallback{"PrepareBinding", "BindPort COM7", "BindPortFallback COM7", "FinishBinding 1"};
    const struct {
        VARIANT_BOOL bind, fallback;
        bool opened;
        Calls calls;
    } cases[] = {
        {VARIANT_TRUE, VARIANT_FALSE, true, bound},
        {1, VARIANT_FALSE, true, bound},  // any value but 0 is true
        {VARIANT_FALSE, 1, true, fallback},
        {VARIANT_FALSE, VARIANT_FALSE, false, Calls(fallback.begin(), fallback.end() - 1)},
    };
    for (const auto& c : cases) {
        driver.bindResult = c.bind;
        driver.fallbackResult = c.fallback;
        DriverVirtualPort port;
        size_t start = driver.calls.size();
        EXPECT_EQ(port.Open("COM7"), c.opened);
        EXPECT_EQ(CallsSince(start), c.calls);
    }
    EXPECT_EQ(driver.refs, 0) << "each port released its driver object";
}

TEST_F(RecordedPortTest, TryBindWriteQueriesAndDisconnect) {
    DriverVirtualPort port;
    EXPECT_EQ(driver.calls, Calls{"Advise"});
    driver.bindResult = VARIANT_FALSE;
    EXPECT_FALSE(port.TryBind("COM5"));
    // A braced list is evaluated in order: the engine's order of queries.
    std::vector<int32_t> values{port.GetBaudRate(), port.GetByteSize(), port.GetParity(), port.GetStopBits()};
    EXPECT_EQ(values, (std::vector<int32_t>{19200, 7, 1, 2}));
    EXPECT_EQ(CallsSince(1), (Calls{"PrepareBinding", "BindPort COM5", "QueryBaudRate", "QueryByteSize",
                                    "QueryParity", "QueryStopBits"}));
    // One driver call per byte.
    size_t start = driver.calls.size();
    EXPECT_EQ(port.Write(ByteArray{1, 2, 3, 4, 5}), 5);
    EXPECT_EQ(port.Write(ByteArray{}), 0);
    EXPECT_EQ(CallsSince(start), Calls(5, "WriteBytes 1"));
    EXPECT_EQ(driver.written, std::string("\1\2\3\4\5"));

    EXPECT_TRUE(port.Disconnect());
    EXPECT_EQ(driver.calls.back(), "Unadvise 42");
    EXPECT_EQ(driver.refs, 0);
    start = driver.calls.size();
    EXPECT_FALSE(port.Open("COM5"));
    EXPECT_EQ(port.Write(ByteArray{1, 2}), 0);
    EXPECT_EQ(port.GetBaudRate(), 0);
    EXPECT_TRUE(port.Disconnect());
    EXPECT_EQ(CallsSince(start), Calls{}) << "no driver object, no call";
}

TEST_F(RecordedPortTest, AFailingCallRaisesItsCodeAndARefusedAdviseOnlyLosesEvents) {
    DriverVirtualPort port;
    driver.failCall = "BindPort";
    EXPECT_THROW(port.Open("COM7"), DriverError);
    EXPECT_EQ(driver.calls.back(), "BindPort COM7") << "nothing after the failed call";
    driver.failCall = "QueryBaudRate";
    try {
        port.GetBaudRate();
        ADD_FAILURE() << "no error raised";
    } catch (const DriverError& e) {
        EXPECT_EQ(e.Code(), E_FAIL);
    }
    driver.failCall.clear();
    driver.adviseResult = E_FAIL;
    DriverVirtualPort silent;
    EXPECT_FALSE(silent.HasEventSink());
    EXPECT_TRUE(silent.Open("COM7"));
}

TEST(VirtualPortFactoryTest, MakesDriverPortsOnlyOfKindOne) {
    test::RefusingClass noInstance;
    {
        ScopedDriverClass registered(noInstance);
        EXPECT_EQ(VirtualPortFactory::Instance().Create(0), nullptr);
        EXPECT_EQ(VirtualPortFactory::Instance().Create(2), nullptr);
        auto port = VirtualPortFactory::Instance().Create(1);
        ASSERT_NE(port, nullptr);
        EXPECT_FALSE(port->Open("COM7"));
    }
    // The pty driver cannot start without a usable device directory.
    test::TempDir temp;
    test::WriteFile(temp / "file", "");
    ::setenv("VARNOCK_DEVICE_DIR", (temp / "file").c_str(), 1);
    auto port = VirtualPortFactory::Instance().Create(1);
    ::unsetenv("VARNOCK_DEVICE_DIR");
    ASSERT_NE(port, nullptr);
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
