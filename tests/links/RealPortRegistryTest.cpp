// The link holder: one link operation of the process at a time, in turns.
#include "bridge/RealPortRegistry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "common/Messages.h"
#include "links/FrameCodec.h"
#include "links/RealPortFactory.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "tests/links/SimulatedUsbDriver.h"
#include "tests/links/TestPlc.h"
#include "tests/support/TestSupport.h"
#include "tools/plcsim/PlcSimulator.h"

namespace varnock {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using test::Bytes;
using test::EthernetConfig;

// The longest of `count` round trips over `link` to a PLC that echoes: a request and its whole reply.
SteadyClock::duration Worst(RealPortRegistry& link, int count) {
    auto codec = BuildFrameCodec();
    codec->SetLinkFraming(plc::Framing::Ethernet);
    SteadyClock::duration worst{};
    for (int i = 0; i < count; ++i) {
        ByteArray frame{0, 0, 1, 0, 0, 0, 'p', 'i', 'n', 'g'}, reply;
        codec->Encode(frame);
        const auto start = SteadyClock::now();
        uint32_t n = 0;
        link.Write(frame, frame.GetSize(), &n, 100);
        while (reply.GetSize() < frame.GetSize() && SteadyClock::now() - start < 10s)
            link.Read(reply, frame.GetSize() - reply.GetSize(), &n, 100);
        worst = std::max(worst, reply.GetSize() == frame.GetSize() ? SteadyClock::now() - start : 1h);
    }
    return worst;
}

// A PLC that stops reading, vanishes, is silent or drops connects: writes give up in 100 ms or pause without
// the turn, reads and connects wait without it, others keep their time, the owner's stop ends a wait at once.
TEST(RealPortRegistryTest, AnotherChannelKeepsItsLatency) {
    plcsim::PlcSimulator echo(plcsim::ListenTcp("127.0.0.41"));
    echo.Start();
    ChannelConfig otherConfig = EthernetConfig("127.0.0.41");
    RealPortRegistry other;
    ASSERT_EQ(other.Open(&otherConfig), RealPort::OPEN_OK);
    const auto design = Worst(other, 20);
    struct Case {
        const char* plc;
        bool vanishes, reads;
        std::chrono::milliseconds longest;
        bool drops = false;
    };
    for (const Case& c : {Case{"stops reading", false, false, 1000ms}, Case{"vanishes", true, false, 3500ms},
                          Case{"is silent", false, true, 1500ms},
                          Case{"drops connection attempts", false, false, 3500ms, true}}) {
        const std::string address = c.drops ? "127.0.0.43" : "127.0.0.42";
        std::unique_ptr<test::TestPlc> plc;
        std::unique_ptr<test::DroppingListener> dropping;
        ChannelConfig config = EthernetConfig(address);
        platform::StopEvent owner;
        RealPortRegistry link;
        link.SetStopEvent(&owner);
        if (c.drops) {
            dropping = std::make_unique<test::DroppingListener>(address);
            ASSERT_TRUE(dropping->ok);
        } else {
            plc = std::make_unique<test::TestPlc>(address, 4096);
            ASSERT_EQ(link.Open(&config), RealPort::OPEN_OK);
            ASSERT_NE(plc->Accept(), 0u);
        }
        if (c.vanishes) plc.reset();  // closes normally, and nothing listens any more

        std::atomic<bool> stop{false};
        SteadyClock::duration longest{};
        std::thread host([&] {
            ByteArray block(Bytes(4096, 0xA5));
            uint32_t n = 0;
            while (!stop) {
                const auto start = SteadyClock::now();
                if (c.drops)
                    link.Open(&config);
                else if (c.reads)
                    link.Read(block, 4096, &n, 1000);
                else
                    link.Write(block, block.GetSize(), &n, 100);
                longest = std::max(longest, SteadyClock::now() - start);
            }
        });
        std::this_thread::sleep_for(300ms);  // its queues full, its pause begun, or its read under way
        const auto worst = Worst(other, 10);
        stop = true;
        owner.Set();
        const auto stopped = SteadyClock::now();
        host.join();
        EXPECT_LT(SteadyClock::now() - stopped, 500ms) << c.plc;
        EXPECT_LT(worst, design + 500ms) << c.plc;
        EXPECT_LT(longest, c.longest) << c.plc;
        link.Close(&config);
    }
}

struct CallbackSink : platform::RecordingMessageSink {
    int Show(int number, const std::string& text, unsigned style) override {
        onShow();
        return RecordingMessageSink::Show(number, text, style);
    }
    std::function<void()> onShow;
};

// The converter link's box about a missing Varnock.ini shows once the link lock is free: others go on.
TEST(RealPortRegistryTest, AMessageIsShownOnlyOnceTheLockIsFree) {
    test::SimulatedUsbDriver driver;  // no native device: the converter is tried
    test::ScopedUsbEnvironment env(driver);
    RealPortRegistry usb, other;
    std::thread elsewhere;
    std::atomic<bool> done{false};
    bool otherWentOn = false;
    CallbackSink sink;
    sink.onShow = [&] {
        elsewhere = std::thread([&] {
            uint32_t n = 0;
            other.Write(ByteArray{1}, 1, &n, 10);
            done = true;
        });
        otherWentOn = test::WaitFor([&] { return done.load(); }, 1000ms);
    };
    platform::ScopedMessageSink scoped(sink);
    ChannelConfig config;
    config.m_nLinkType = LinkType::Usb;
    EXPECT_EQ(usb.Open(&config), RealPort::OPEN_FAILED);
    elsewhere.join();
    EXPECT_EQ(sink.Numbers(), std::vector<int>{kMsgVarnockIniMissing});
    EXPECT_TRUE(otherWentOn);
}

// Work inside a link operation (a pumped loop) may use a link: the holder enters again, as with a mutex.
void ReadWithANestedWriteAndExit() {
    ::alarm(10);  // a thread that waits for itself ends here
    test::SimulatedUsbDriver driver;
    driver.Plug(0, "PLC-1");
    test::ScopedUsbEnvironment env(driver);
    RealPortRegistry usb, other;
    ChannelConfig config;
    config.m_nLinkType = LinkType::Usb;
    int nested = -1;
    driver.onRead = [&] {
        uint32_t n = 0;
        nested = other.Write(ByteArray{1}, 1, &n, 10);
    };
    ByteArray data;
    uint32_t got = 0;
    bool ok = usb.Open(&config) == RealPort::OPEN_OK && usb.Read(data, 4, &got, 10) == 1 && nested == 0;
    std::_Exit(ok ? 0 : 1);
}

TEST(RealPortRegistryDeathTest, TheHolderMayEnterAgain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ReadWithANestedWriteAndExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace varnock
