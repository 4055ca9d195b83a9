#include "ui/HelpLauncher.h"

#include <gtest/gtest.h>

#include <csignal>

#include "platform/MessageBox.h"
#include "platform/ShellOpen.h"
#include "tests/support/TestSupport.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;

TEST(HelpLauncherTest, ManualFollowsTheLanguageWithCaseAndNeedsTheSettingsFile) {
    test::TempDir dir;
    platform::RecordingShellOpener opener;
    platform::ScopedShellOpener scopedOpener{opener};
    platform::RecordingMessageSink messages;
    platform::ScopedMessageSink scopedSink{messages};
    HelpLauncher launcher{dir.path()};
    launcher.OpenManual();
    EXPECT_EQ(messages.Numbers(), std::vector<int>{109});
    EXPECT_EQ(messages.Entries()[0].style, platform::kMbIconError);
    for (const char* language : {"", "ja", "JA", "CH"}) {
        test::WriteFile(dir / "Varnock.ini", std::string("[LANGUAGE]\nVarnockTool=") + language + "\n");
        launcher.OpenManual();
    }
    EXPECT_EQ(opener.Opened(), (std::vector<fs::path>{dir / "VarnockToolE.pdf", dir / "VarnockToolE.pdf",
                                                      dir / "VarnockToolJ.pdf", dir / "VarnockToolC.pdf"}));
    EXPECT_EQ(messages.Numbers().size(), 1u);
}

// The opener starts as any program would: the programs ignore SIGPIPE, and
// an ignored signal would stay ignored across exec.
TEST(ShellOpenTest, StartsTheOpenerDetachedWithTheFileAndNoSignalIgnored) {
    test::TempDir dir;
    fs::path script = dir / "fake-open", seen = dir / "seen";
    // Writes to a temporary name first so the test never reads half a line.
    test::WriteFile(script, "#!/bin/sh\necho \"$1\" $(grep SigIgn /proc/self/status) > '" + seen.string() +
                                ".tmp' && mv '" + seen.string() + ".tmp' '" + seen.string() + "'\n");
    fs::permissions(script, fs::perms::owner_all);
    auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
    EXPECT_TRUE(platform::XdgShellOpener(script.string()).Open(dir / "manual file.pdf"));
    std::signal(SIGPIPE, oldPipe);
    ASSERT_TRUE(test::WaitFor([&] { return fs::exists(seen); }));
    EXPECT_EQ(test::ReadFile(seen), (dir / "manual file.pdf").string() + " SigIgn: 0000000000000000\n");
    EXPECT_FALSE(platform::XdgShellOpener((dir / "no-such-program").string()).Open(dir / "x.pdf"));
}

}  // namespace
}  // namespace varnock
