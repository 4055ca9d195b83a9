// The link holder: one link operation of the process at a time, in turns;
// no channel held up while another's link waits for a PLC or a message
// waits for the user.
#include "bridge/RealPortRegistry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "links/FrameCodec.h"
#include "links/RealPortFactory.h"
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

// A channel whose PLC echoes what it is sent.
class EchoChannel {
public:
    explicit EchoChannel(const std::string& address)
        : m_plc(plcsim::ListenTcp(address)), m_config(EthernetConfig(address)) {
        m_plc.Start();
        EXPECT_EQ(m_link.Open(&m_config), 1);
        m_codec.SetLinkFraming(DleFramingLayer::FRAMING_ETHERNET);
    }
    ~EchoChannel() { m_link.Close(&m_config); }
    // The longest of `count` round trips: a request and its whole reply.
    SteadyClock::duration Worst(int count) {
        SteadyClock::duration worst{};
        for (int i = 0; i < count; ++i) worst = std::max(worst, RoundTrip());
        return worst;
    }

private:
    SteadyClock::duration RoundTrip() {
        ByteArray frame{0, 0, 1, 0, 0, 0, 'p', 'i', 'n', 'g'};
        m_codec.Encode(frame);
        const int expected = 18 + 10;
        const auto start = SteadyClock::now();
        uint32_t n = 0;
        if (m_link.Write(frame, frame.GetSize(), &n, 100) != 1) return 1h;
        ByteArray reply;
        while (reply.GetSize() < expected && SteadyClock::now() - start < 10s)
            m_link.Read(reply, expected - reply.GetSize(), &n, 100);
        return reply.GetSize() == expected ? SteadyClock::now() - start : 1h;
    }

    plcsim::PlcSimulator m_plc;
    ChannelConfig m_config;
    RealPortRegistry m_link;
    SequenceHeaderLayer m_codec{std::make_unique<BlockHeaderLayer>(std::make_unique<DleFramingLayer>())};
};

// A PLC that stops reading its socket, or one that vanishes: its host keeps
// writing, each write gives up within its 100 ms or pauses once before a
// reconnect without the turn, and another channel's round trips keep their
// time.
TEST(RealPortRegistryTest, AnotherChannelKeepsItsLatency) {
    EchoChannel other("127.0.0.41");
    const auto design = other.Worst(20);
    struct Case {
        const char* plc;
        bool vanishes;
        std::chrono::milliseconds longestWrite;
    };
    for (const Case& c : {Case{"stops reading", false, 300ms}, Case{"vanishes", true, 3000ms}}) {
        auto plc = std::make_unique<test::TestPlc>("127.0.0.42", 4096);
        ChannelConfig config = EthernetConfig("127.0.0.42");
        RealPortRegistry link;
        ASSERT_EQ(link.Open(&config), 1);
        ASSERT_NE(plc->Accept(), 0u);
        if (c.vanishes) plc.reset();  // closes normally, and nothing listens any more

        std::atomic<bool> stop{false};
        SteadyClock::duration longest{};
        std::thread host([&] {
            ByteArray block(Bytes(4096, 0xA5));
            uint32_t sent = 0;
            while (!stop) {
                const auto start = SteadyClock::now();
                link.Write(block, block.GetSize(), &sent, 100);
                longest = std::max(longest, SteadyClock::now() - start);
            }
        });
        std::this_thread::sleep_for(300ms);  // its queues full, or its pause begun
        const auto worst = other.Worst(10);
        stop = true;
        host.join();
        EXPECT_LT(worst, design + 250ms) << c.plc;
        EXPECT_LT(longest, c.longestWrite) << c.plc;
        link.Close(&config);
    }
}

// Links made with a simulated USB driver and the given settings directory.
class ScopedUsbEnvironment {
public:
    explicit ScopedUsbEnvironment(test::SimulatedUsbDriver& driver)
        : m_env{&driver, m_dir.path(), m_dir.path()} {
        SetLinkEnvironment(&m_env);
    }
    ~ScopedUsbEnvironment() { SetLinkEnvironment(nullptr); }

private:
    test::TempDir m_dir;
    LinkEnvironment m_env;
};

class CallbackSink : public platform::MessageSink {
public:
    int Show(int number, const std::string&, unsigned) override {
        numbers.push_back(number);
        onShow();
        return 1;
    }
    std::vector<int> numbers;
    std::function<void()> onShow;
};

// The USB-to-UART link's message about a missing Varnock.ini waits for the
// user: it is shown once the link lock is free, so other channels go on.
TEST(RealPortRegistryTest, AMessageIsShownOnlyOnceTheLockIsFree) {
    test::SimulatedUsbDriver driver;  // no native device: the converter is tried
    ScopedUsbEnvironment env(driver);
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
    EXPECT_EQ(usb.Open(&config), 0);
    elsewhere.join();
    EXPECT_EQ(sink.numbers, std::vector<int>{109});
    EXPECT_TRUE(otherWentOn);
}

// A driver that runs the test's work inside the link's read.
class ReentrantDriver : public test::SimulatedUsbDriver {
public:
    uint32_t Read(Handle handle, uint8_t* buffer, uint32_t count) override {
        if (inRead) inRead();
        return SimulatedUsbDriver::Read(handle, buffer, count);
    }
    std::function<void()> inRead;
};

// Work that the thread of a link operation runs inside it (a message loop
// pumped there, say) may use a link itself: the holder enters again, as the
// owner of a Windows mutex does, instead of waiting for itself.
void ReadWithANestedWriteAndExit() {
    ::alarm(10);  // a thread that waits for itself ends here
    ReentrantDriver driver;
    driver.Plug(0, "PLC-1");
    ScopedUsbEnvironment env(driver);
    RealPortRegistry usb, other;
    ChannelConfig config;
    config.m_nLinkType = LinkType::Usb;
    int nested = -1;
    driver.inRead = [&] {
        uint32_t n = 0;
        nested = other.Write(ByteArray{1}, 1, &n, 10);
    };
    ByteArray data;
    uint32_t got = 0;
    bool ok = usb.Open(&config) == 1 && usb.Read(data, 4, &got, 10) == 1 && nested == 0;
    std::_Exit(ok ? 0 : 1);
}

TEST(RealPortRegistryDeathTest, TheHolderMayEnterAgain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ReadWithANestedWriteAndExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace varnock
