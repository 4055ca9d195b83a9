#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/MessageLoop.h"

using namespace varnock::platform;
using namespace std::chrono_literals;

TEST(MessageLoop, SendRunsOnTheLoopThreadAndBlocksTheSender) {
    MessageLoop loop;
    loop.BindToCurrentThread();
    EXPECT_EQ(7, loop.Send([] { return intptr_t(7); }));  // on the loop thread: at once

    std::thread::id mainId = std::this_thread::get_id();
    std::atomic<intptr_t> result{-1};
    std::atomic<bool> ranOnMain{false};
    std::thread worker([&] {
        result = loop.Send([&] {
            ranOnMain = std::this_thread::get_id() == mainId;
            return intptr_t(42);
        });
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(-1, result.load());
    EXPECT_TRUE(loop.PumpUntil([&] { return result.load() != -1; }, 2s));
    worker.join();
    EXPECT_EQ(42, result.load());
    EXPECT_TRUE(ranOnMain.load());
}

TEST(MessageLoop, ShutdownReleasesSendersWithZero) {
    MessageLoop loop;
    loop.BindToCurrentThread();
    std::atomic<intptr_t> result{-1};
    std::thread worker([&] { result = loop.Send([] { return intptr_t(5); }); });
    std::this_thread::sleep_for(20ms);
    loop.Shutdown();
    worker.join();
    EXPECT_EQ(0, result.load());
    std::thread late([&] { result = loop.Send([] { return intptr_t(5); }); });
    late.join();
    EXPECT_EQ(0, result.load());
}

TEST(MessageLoop, WakeupCalledWhenQueued) {
    MessageLoop loop;
    loop.BindToCurrentThread();
    std::atomic<int> wakeups{0};
    loop.SetWakeup([&] { ++wakeups; });
    loop.Post([] {});
    EXPECT_EQ(1, wakeups.load());
    EXPECT_EQ(1, loop.Pump());
}
