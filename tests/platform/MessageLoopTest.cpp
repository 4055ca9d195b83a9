#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/MessageLoop.h"

using namespace varnock::platform;
using namespace std::chrono_literals;

TEST(MessageLoop, SendRunsOnTheLoopThreadUntilShutdownReleasesSenders) {
    MessageLoop loop;
    loop.BindToCurrentThread();
    EXPECT_EQ(7, loop.Send([] { return intptr_t(7); }));  // on the loop thread: at once

    std::thread::id mainId = std::this_thread::get_id();
    std::atomic<intptr_t> result{-1};
    // 42 only when the handler runs on the loop's thread.
    std::thread worker([&] {
        result = loop.Send([&] { return intptr_t(std::this_thread::get_id() == mainId ? 42 : 43); });
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(-1, result.load());
    EXPECT_TRUE(loop.PumpUntil([&] { return result.load() != -1; }, 2s));
    worker.join();
    EXPECT_EQ(42, result.load());

    std::atomic<int> wakeups{0};
    loop.SetWakeup([&] { ++wakeups; });
    loop.Post([] {});
    EXPECT_EQ(1, wakeups.load());
    EXPECT_EQ(1, loop.Pump());

    // Shut down: a waiting sender and any later one get 0.
    std::thread waiting([&] { result = loop.Send([] { return intptr_t(5); }); });
    std::this_thread::sleep_for(20ms);
    loop.Shutdown();
    waiting.join();
    EXPECT_EQ(0, result.load());
    result = -1;
    std::thread([&] { result = loop.Send([] { return intptr_t(5); }); }).join();
    EXPECT_EQ(0, result.load());
}
