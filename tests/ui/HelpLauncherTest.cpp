#include <gtest/gtest.h>

#include <filesystem>

#include "platform/MessageBox.h"
#include "platform/ShellOpen.h"
#include "tests/support/TestSupport.h"
#include "ui/HelpLauncher.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;

class HelpLauncherTest : public ::testing::Test {
protected:
    fs::path OpenedManual(const std::string& ini) {
        test::WriteFile(dir / "Varnock.ini", ini);
        launcher.OpenManual();
        auto opened = opener.Opened();
        return opened.empty() ? fs::path() : opened.back();
    }

    test::TempDir dir;
    platform::RecordingShellOpener opener;
    platform::ScopedShellOpener scopedOpener{opener};
    platform::RecordingMessageSink messages;
    platform::ScopedMessageSink scopedSink{messages};
    HelpLauncher launcher{dir.path()};
};

TEST_F(HelpLauncherTest, ManualFollowsTheLanguageWithCase) {
    EXPECT_EQ(OpenedManual("[Application]\n"), dir / "VarnockToolE.pdf");
    EXPECT_EQ(OpenedManual("[LANGUAGE]\nVarnockTool=ja\n"), dir / "VarnockToolE.pdf");
    EXPECT_EQ(OpenedManual("[LANGUAGE]\nVarnockTool=JA\n"), dir / "VarnockToolJ.pdf");
    EXPECT_EQ(OpenedManual("[LANGUAGE]\nVarnockTool=CH\n"), dir / "VarnockToolC.pdf");
    EXPECT_TRUE(messages.Numbers().empty());
}

TEST_F(HelpLauncherTest, MissingSettingsFileStopsOnlyTheManual) {
    launcher.OpenManual();
    EXPECT_EQ(messages.Numbers(), std::vector<int>{109});
    EXPECT_EQ(messages.Entries()[0].style, platform::kMbIconError);
    EXPECT_TRUE(opener.Opened().empty());

    launcher.RunDriverInstaller(32);
    launcher.RunDriverInstaller(64);
    ASSERT_EQ(opener.Opened().size(), 2u);
    EXPECT_EQ(opener.Opened()[0], dir / "CP210x_VCP_Windows" / "CP210xVCPInstaller_x86.exe");
    EXPECT_EQ(opener.Opened()[1], dir / "CP210x_VCP_Windows" / "CP210xVCPInstaller_x64.exe");
}

TEST(ShellOpenTest, StartsTheOpenerDetachedWithTheFile) {
    test::TempDir dir;
    fs::path script = dir / "fake-open";
    fs::path seen = dir / "seen";
    // Writes to a temporary name first so the test never reads half a line.
    test::WriteFile(script, "#!/bin/sh\necho \"$1\" > '" + seen.string() + ".tmp' && mv '" + seen.string() +
                                ".tmp' '" + seen.string() + "'\n");
    fs::permissions(script, fs::perms::owner_all);

    platform::XdgShellOpener opener(script.string());
    EXPECT_TRUE(opener.Open(dir / "manual file.pdf"));
    ASSERT_TRUE(test::WaitFor([&] { return fs::exists(seen); }));
    EXPECT_EQ(test::ReadFile(seen), (dir / "manual file.pdf").string() + "\n");

    platform::XdgShellOpener missing((dir / "no-such-program").string());
    EXPECT_FALSE(missing.Open(dir / "x.pdf"));
}

}  // namespace
}  // namespace varnock
