#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>

#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/NamedMutex.h"
#include "platform/SingleInstance.h"
#include "platform/Text.h"
#include "tests/support/TestSupport.h"

using namespace varnock::platform;

TEST(NamedMutex, SameNameSameObject) {
    auto a = OpenNamedMutex("RealPortMutex");
    auto b = OpenNamedMutex("RealPortMutex");
    auto c = OpenNamedMutex("LDRDataQueueMutex");
    EXPECT_EQ(a.get(), b.get());
    EXPECT_NE(a.get(), c.get());
}

// The settings, the INI access and the address fields all read numbers and
// names through these.
TEST(Text, AtoiRulesSaturateAndCaseIsIgnoredForAsciiLettersOnly) {
    const std::pair<const char*, int> numbers[] = {{" \t-12abc", -12},
                                                   {"+7", 7},
                                                   {"x1", 0},
                                                   {"", 0},
                                                   {"- 5", 0},
                                                   {"2147483647", INT_MAX},
                                                   {"99999999999999999999", INT_MAX},
                                                   {"-2147483649", INT_MIN}};
    for (auto [text, value] : numbers) EXPECT_EQ(AtoiSaturating(text), value) << text;
    EXPECT_TRUE(EqualNoCase("EtherNET", "ethernet"));
    EXPECT_FALSE(EqualNoCase("\xC4", "\xE4"));  // not letters to us, whatever the locale
    EXPECT_TRUE(StartsWithNoCase("com12", "COM"));
    EXPECT_EQ(Trim(" \t\r\n\v\fa b \n"), "a b");
}

TEST(Clock, ManualWrapsLikeTickCountAndScaledRunsFaster) {
    ManualClock clock(0xFFFFFFF0u);
    ScopedClock scope(clock);
    Sleep(0x10);
    clock.Advance(0x20);
    EXPECT_EQ(0x20u, GetTickCount());
    ScaledClock scaled(1000);
    uint32_t t0 = scaled.TickCount();
    scaled.Sleep(30000);  // 30 ms of real time
    EXPECT_GE(scaled.TickCount() - t0, 30000u);
}

TEST(MessageBox, FormatsArgumentRecordsAndHasBuiltInTexts) {
    RecordingMessageSink sink;
    ScopedMessageSink scope(sink);
    SetStringLoader(
        [](int n) { return n == 114 ? std::string("Cannot open %s (100%% sure)") : std::string(); });
    ShowMessage(114, kMbOk, std::string("COM%s5"));
    SetStringLoader(nullptr);
    auto e = sink.Entries();
    ASSERT_EQ(1u, e.size());
    EXPECT_EQ(114, e[0].number);
    EXPECT_EQ("Cannot open COM%s5 (100%% sure)", e[0].text);
    // Texts that can be needed before the library is loaded.
    EXPECT_NE(std::string::npos, LoadString(109).find("Varnock.ini"));
    EXPECT_NE(std::string::npos, LoadString(212).find("Varnock_setting.ini"));
    EXPECT_EQ("", LoadString(110));
}

TEST(SingleInstance, AnotherHolderIsToldApartFromAFailure) {
    using Result = SingleInstanceGuard::Result;
    varnock::test::TempDir dir;
    SingleInstanceGuard first;
    ASSERT_EQ(Result::Acquired, first.Acquire(dir.path()));
    // flock belongs to the open file, so another process must be refused.
    pid_t child = ::fork();
    if (child == 0) ::_exit(static_cast<int>(SingleInstanceGuard().Acquire(dir.path())));
    int status = -1;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_EQ(static_cast<int>(Result::HeldByAnother), WEXITSTATUS(status));

    // A lock file that cannot be made is no other copy: the reason is kept.
    std::filesystem::create_directory(dir / "Taken");
    SingleInstanceGuard second;
    EXPECT_EQ(Result::Failed, second.Acquire(dir.path(), "Taken"));
    EXPECT_NE(std::string::npos, second.Error().find((dir / "Taken").string() + ": Is a directory"));
}
