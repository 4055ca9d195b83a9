#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "platform/MessageLoop.h"

using namespace varnock::platform;
using namespace std::chrono_literals;

TEST(MessageLoop, SendRunsOnTheLoopThreadUntilItsTokenIsCancelled) {
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

    // What an item leaves for after itself runs once that item is over,
    // also an item that a pump inside another runs; outside an item nothing
    // is taken.
    std::string order;
    EXPECT_FALSE(loop.AfterCurrentItem([&] { order += "x"; }));
    loop.Post([&] {
        loop.AfterCurrentItem([&] { order += "A"; });
        loop.Post([&] { loop.AfterCurrentItem([&] { order += "B"; }), order += "b"; });
        loop.Pump();
        order += "a";
    });
    loop.Pump();
    EXPECT_EQ(order, "bBaA");

    std::atomic<int> wakeups{0};
    loop.SetWakeup([&] { ++wakeups; });
    loop.Post([] {});
    EXPECT_EQ(1, wakeups.load());
    EXPECT_EQ(1, loop.Pump());

    // What an owner relies on at teardown: once Cancel returns, no sender
    // waits, none of its handlers runs any more, and one that was running
    // has ended.
    auto token = std::make_shared<CancelToken>();
    std::atomic<bool> entered{false}, finished{false};
    auto sender = std::async(std::launch::async, [&] {
        return loop.Send(
            [&] { return entered = true, std::this_thread::sleep_for(50ms), finished = true, 1; }, token);
    });
    auto canceller = std::async(std::launch::async, [&] {
        while (!entered) std::this_thread::yield();
        token->Cancel();
        return finished.load();
    });
    EXPECT_TRUE(loop.PumpUntil([&] { return finished.load(); }, 2s));
    EXPECT_TRUE(canceller.get());
    EXPECT_EQ(1, sender.get());

    std::atomic<int> ran{0};
    token = std::make_shared<CancelToken>();
    auto waiting = std::async(std::launch::async, [&] { return loop.Send([&] { return ++ran; }, token); });
    std::this_thread::sleep_for(20ms);
    token->Cancel();
    EXPECT_EQ(0, waiting.get());  // released without a pump
    loop.Pump();
    EXPECT_EQ(0, loop.Send([&] { return ++ran; }, token));  // on the loop thread too
    EXPECT_EQ(0, ran.load());
}
