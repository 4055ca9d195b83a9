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

// What an owner relies on at teardown: once Cancel returns, no sender waits,
// none of its handlers runs any more, and one that was running has ended.
TEST(MessageLoop, CancelReleasesSendersAndWaitsForARunningHandler) {
    MessageLoop loop;
    loop.BindToCurrentThread();
    auto token = std::make_shared<CancelToken>();
    std::atomic<int> ran{0};
    std::atomic<bool> entered{false}, finished{false}, finishedAtCancel{false};
    std::thread sender([&] {
        loop.Send(
            [&] {
                entered = true;
                std::this_thread::sleep_for(50ms);
                finished = true;
                return intptr_t(1);
            },
            token);
    });
    std::thread canceller([&] {
        while (!entered) std::this_thread::yield();
        token->Cancel();
        finishedAtCancel = finished.load();
    });
    EXPECT_TRUE(loop.PumpUntil([&] { return finished.load(); }, 2s));
    sender.join();
    canceller.join();
    EXPECT_TRUE(finishedAtCancel.load());

    std::atomic<intptr_t> result{-1};
    token = std::make_shared<CancelToken>();
    std::thread waiting([&] { result = loop.Send([&] { return intptr_t(++ran); }, token); });
    std::this_thread::sleep_for(20ms);
    token->Cancel();
    waiting.join();  // released without a pump
    EXPECT_EQ(0, result.load());
    loop.Pump();
    EXPECT_EQ(0, loop.Send([&] { return intptr_t(++ran); }, token));  // on the loop thread too
    EXPECT_EQ(0, ran.load());
}
