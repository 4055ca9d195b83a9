#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "common/Messages.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/Paths.h"
#include "platform/SingleInstance.h"
#include "platform/Text.h"
#include "tests/support/TestSupport.h"

using namespace varnock::platform;
using varnock::kMsgLinkLost, varnock::kMsgPortNotOpened;
using namespace std::chrono_literals;
using varnock::test::ScopedDeviceDir;
namespace fs = std::filesystem;

// The settings, the INI access and the address fields all read numbers and names through these.
TEST(Text, AtoiRulesSaturateAndCaseIsIgnoredForAsciiLettersOnly) {
    const char* texts[] = {" \t-12abc",  "+7", "x1", "", "- 5", "2147483647", "99999999999999999999",
                           "-2147483649"};
    const int values[] = {-12, 7, 0, 0, 0, INT_MAX, INT_MAX, INT_MIN};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(AtoiSaturating(texts[i]), values[i]) << texts[i];
    EXPECT_TRUE(EqualNoCase("EtherNET", "ethernet"));
    EXPECT_FALSE(EqualNoCase("\xC4", "\xE4"));  // not letters to us, whatever the locale
    EXPECT_TRUE(StartsWithNoCase("com12", "COM"));
    EXPECT_EQ(Trim(" \t\r\n\v\fa b \n"), "a b");
}

TEST(MessageBox, FormatsArgumentRecordsAndHasBuiltInTexts) {
    RecordingMessageSink sink;
    ScopedMessageSink scope(sink);
    SetStringLoader(
        [](int n) { return std::string(n == kMsgPortNotOpened ? "Cannot open %s (100%% sure)" : ""); });
    SetBuiltInText(kMsgPortNotOpened, "built in");
    SetBuiltInText(kMsgLinkLost, "built in");
    ShowMessage(kMsgPortNotOpened, kMbIconWarning, std::string("COM%s5"), "Reason: none");
    // The library's text wins; without one, the built-in text.
    EXPECT_EQ(LoadString(kMsgLinkLost), "built in");
    SetStringLoader(nullptr);
    EXPECT_EQ(LoadString(kMsgPortNotOpened), "built in");
    ASSERT_EQ(sink.Numbers(), std::vector<int>{kMsgPortNotOpened});
    EXPECT_EQ(sink.Entries()[0].text, "Cannot open COM%s5 (100%% sure)\nReason: none");
}

TEST(SingleInstance, AnotherHolderIsToldApartFromAFailure) {
    using Result = SingleInstanceGuard::Result;
    varnock::test::TempDir dir;
    SingleInstanceGuard first;
    ASSERT_EQ(Result::Acquired, first.Acquire(dir.path()));
    // flock belongs to the open file, so another process must be refused.
    EXPECT_EQ(varnock::test::RunInChild(
                  [&] { return static_cast<int>(SingleInstanceGuard().Acquire(dir.path())); }),
              static_cast<int>(Result::HeldByAnother));

    // A lock file that cannot be made is no other copy: the reason is kept.
    std::filesystem::create_directory(dir / "Taken");
    SingleInstanceGuard second;
    EXPECT_EQ(Result::Failed, second.Acquire(dir.path(), "Taken"));
    EXPECT_NE(std::string::npos, second.Error().find((dir / "Taken").string() + ": Is a directory"));
}

TEST(DeviceDirectory, CreatedPrivateAndRefusedWhenUnsafe) {
    ScopedDeviceDir tmp;  // restores the variable afterwards
    fs::path dir = tmp.path() / "devices";
    varnock::test::WriteFile(tmp.path() / "file", "x");
    ::setenv("VARNOCK_DEVICE_DIR", dir.c_str(), 1);
    DeviceDirectoryResult r = DeviceDirectory();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(fs::perms::owner_all, fs::status(dir).permissions());

    fs::permissions(dir, fs::perms::all);
    r = DeviceDirectory();
    EXPECT_TRUE(!r.ok && r.error.find("other users") != std::string::npos) << r.error;

    ::setenv("VARNOCK_DEVICE_DIR", (tmp.path() / "file").c_str(), 1);
    EXPECT_FALSE(DeviceDirectory().ok);
}

// The device directory's own names are resolved by every port test.
TEST(ResolveDeviceName, DeviceDirectoryFirstThenDev) {
    ScopedDeviceDir dev;
    fs::create_symlink("/nonexistent/pts/99", dev.path() / "COM9");  // dangling still counts
    EXPECT_EQ(dev.path() / "COM9", ResolveDeviceName("COM9"));
    EXPECT_EQ(fs::path("/dev/COM4"), ResolveDeviceName("COM4"));
    EXPECT_EQ(fs::path("/dev/ttyUSB0"), ResolveDeviceName("\\\\.\\ttyUSB0"));
    EXPECT_EQ(fs::path("/dev/ttyS0"), ResolveDeviceName("/dev/ttyS0"));
}

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
    EXPECT_TRUE(loop.PumpUntil([&] { return result.load() != -1; }, 2s));
    worker.join();
    EXPECT_EQ(42, result.load());

    // Work left for after an item runs once it is over, also a nested one.
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

    // Once Cancel returns no sender waits and no handler runs or is running.
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
