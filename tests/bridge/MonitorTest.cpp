// The channel monitor on a driven clock: asleep until it has work, its probe times to the millisecond.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "bridge/BridgeChannel.h"
#include "bridge/MainWindowLink.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "tests/support/TestSupport.h"

namespace varnock::test {
namespace {

using namespace std::chrono_literals;

// Answers the probes as told (a missing answer fails) and notes the time of each; on the main thread.
struct ProbedChannel : BridgeChannel {
    ProbedChannel(LinkType type, std::vector<int> answers)
        : BridgeChannel(new ChannelConfig{.m_strLinkPort = "Ethernet",
                                          .m_nLinkType = type,
                                          .m_strIPAddress = "127.0.0.1",
                                          .m_strVirtualPort = "COM5"}),
          answers(std::move(answers)) {}
    int SendProbe() override {
        times.push_back(platform::GetTickCount());
        return times.size() <= answers.size() ? answers[times.size() - 1] : 0;
    }
    std::vector<int> answers;
    std::vector<uint32_t> times;
};

struct LossCounter : MainWindowLink {
    void OnLinkLost() override { ++calls; }
    std::atomic<int> calls{0};
};

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override { platform::MessageLoop::Main().BindToCurrentThread(); }
    // Connected as a connect leaves it, with no link: the channel's own exchanges fail at once.
    void Connect(LinkType type, std::vector<int> answers = {}) {
        channel = std::make_unique<ProbedChannel>(type, std::move(answers));
        channel->SetMainWindowLink(&window);
        channel->m_bConnected = 1;
        channel->WakeMonitor();
    }
    static bool PumpUntil(const std::function<bool()>& done) {
        return platform::MessageLoop::Main().PumpUntil(done, 10s);
    }
    // The monitor has done all it had to and sleeps until its next probe.
    bool AwaitingProbe() {
        return PumpUntil([&] { return clock.TimedWaiters() == 1; });
    }

    platform::ManualClock clock{1000};
    platform::ScopedClock clockScope{clock};
    ScopedDeviceDir devices;
    platform::RecordingMessageSink messages;
    platform::ScopedMessageSink sinkScope{messages};
    LossCounter window;
    std::unique_ptr<ProbedChannel> channel;
};

TEST_F(MonitorTest, IdleEthernetIsProbedEvery30sAndLostAtTheFourthFailureInARow) {
    // Three failures, an answer that starts the count again, then four failures.
    Connect(LinkType::Ethernet, {0, 0, 0, 1, 0, 0, 0, 0});
    const uint32_t idleAt = clock.TickCount();
    for (uint32_t n = 1; n <= 8; ++n) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(AwaitingProbe());
        EXPECT_TRUE(channel->IsConnected());
        clock.Set(idleAt + n * 30000 - 1);
        ASSERT_TRUE(AwaitingProbe());
        EXPECT_EQ(channel->times.size(), n - 1);
        clock.Advance(1);
        ASSERT_TRUE(PumpUntil([&] { return channel->times.size() == n; }));
        EXPECT_EQ(channel->times.back(), idleAt + n * 30000);
    }
    ASSERT_TRUE(PumpUntil([&] { return window.calls == 1; }));
    EXPECT_FALSE(channel->IsConnected());
    EXPECT_EQ(channel->m_bIdle.load(), 1);
    EXPECT_EQ(channel->Status().State(), ChannelState::LinkLost);
    EXPECT_EQ(clock.TimedWaiters(), 0);  // no more probes
}

// Nothing moves the clock here but the send thread's own pauses once it runs: the monitor must wake
// for its work, on an idle serial channel and on an Ethernet one waiting for its next probe.
TEST_F(MonitorTest, HostDataAndSettingsChangesAreTakenUpAtOnceAndTeardownEndsTheSleep) {
    for (LinkType type : {LinkType::Serial, LinkType::Ethernet}) {
        SCOPED_TRACE(static_cast<int>(type));
        Connect(type);
        ASSERT_TRUE(type != LinkType::Ethernet || AwaitingProbe());

        channel->SyncCommParams();
        ASSERT_TRUE(PumpUntil([&] { return channel->m_bCommParamsPending.load() == 0; }));
        channel->QueueLDRData(5, "hello");
        // The send fails without a link: its request is dropped and the channel idle again.
        ASSERT_TRUE(PumpUntil([&] {
            return channel->m_bLDRDataUnProcessed.load() == 0 && channel->LDRListEmpty() &&
                   channel->RunningWorkers() == 0;
        }));
        ASSERT_TRUE(type != LinkType::Ethernet || AwaitingProbe());
        EXPECT_EQ(channel->m_bIdle.load(), type == LinkType::Serial ? 1 : 0);  // probing again
        EXPECT_TRUE(channel->times.empty());

        const auto start = std::chrono::steady_clock::now();
        channel.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }
}

}  // namespace
}  // namespace varnock::test
