#include "settings/SettingsManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/settings/SettingsFixture.h"

namespace varnock {
namespace {
using platform::LoadString;
using namespace test;
using ::testing::ElementsAre;

class LoadTest : public ::testing::Test, public SettingsFixture {};

TEST_F(LoadTest, MissingFilesAndLibrary) {
    std::filesystem::remove(dir / "libvarnock_res_en.so");
    EXPECT_EQ(settings.Load(), 0);
    ASSERT_THAT(messages.Numbers(), ElementsAre(109));  // even with both files missing
    EXPECT_FALSE(messages.Entries()[0].text.empty());   // built-in text, no library yet
    EXPECT_EQ(messages.Entries()[0].style, platform::kMbIconError);
    settings.Save();
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    test::WriteFile(dir / kVarnockIniName, VarnockIni());
    EXPECT_EQ(settings.Load(), 0);
    EXPECT_THAT(messages.Numbers(), ElementsAre(109, 212));

    // A library that cannot be loaded fails without a word.
    messages.Clear();
    for (const std::string& name : {std::string("ResourceDLLName=\n"), kLibrary}) {
        Write(VarnockIni(name), SettingIni(kOneRow));
        EXPECT_EQ(SettingsManager(dir.path()).Load(), 0);
    }
    EXPECT_TRUE(messages.Numbers().empty());
}

TEST_F(LoadTest, InvalidValuesShowTheirMessage) {
    const struct {
        std::string virtualCom, matrix;
        int message;
    } cases[] = {
        {"MaxHostDriverNo=1\n", "items=1\n", 110},
        {"RealPort=\nMaxHostDriverNo=1\n", "items=0\n", 110},
        {"RealPort= \t \nMaxHostDriverNo=1\n", "items=1\n", 110},  // blanks only: empty as well
        {"RealPort=COM\n", "items=1\n", 111},
        {"RealPort=COM\nMaxHostDriverNo=0\n", "items=1\n", 111},
        {"RealPort=COM\nMaxHostDriverNo= 2 \n", "items=0\n", 113},
        {"RealPort=COM\nMaxHostDriverNo=2\n", "items=some\n", 113},
    };
    for (const auto& c : cases) {
        messages.Clear();
        SettingsManager fresh(dir.path());
        Write(VarnockIni(kLibrary, c.virtualCom), SettingIni(c.matrix));
        EXPECT_EQ(fresh.Load(), 0) << c.virtualCom << c.matrix;
        ASSERT_THAT(messages.Numbers(), ElementsAre(c.message)) << c.virtualCom << c.matrix;
        // The texts come from the loaded library.
        EXPECT_EQ(messages.Entries()[0].text, fresh.GetResourceLibrary()->String(c.message));
    }
}

TEST_F(LoadTest, ReadsEveryValueWithItsDefault) {
    Write(VarnockIni("ResourceDLLName = libvarnock_res_en.so \nWndAlwaysOnTop=TRUE \n",
                     "RealPort= COM , USB ,Ethernet\nMaxHostDriverNo= 2 \n"),
          SettingIni(kOneRow));
    ASSERT_EQ(settings.Load(), 1);
    EXPECT_TRUE(messages.Numbers().empty());
    EXPECT_EQ(settings.GetMaxHostDriverNo(), 2);
    EXPECT_EQ(settings.GetWndAlwaysOnTop(), 1);
    std::vector<std::string> ports{"kept"};
    EXPECT_EQ(settings.CopyRealPortList(ports), 3);
    EXPECT_THAT(ports, ElementsAre("kept", "COM", "USB", "Ethernet"));
    EXPECT_THAT(
        (std::vector<int>{settings.GetBaudRate(), settings.GetWaitAfterACCommand_ACK(),
                          settings.GetPLCDataMonitorTime(), settings.GetPLCDataMonitorTime_USB(),
                          settings.GetPLCDataBytesToReadInMonitorTime(), settings.GetMaxTimeBetweenLDRData(),
                          settings.GetBlockTransferSizeInBytes()}),
        ElementsAre(9600, 50, 50, 50, 20, 10, 1024));
    // The library supplies the texts until it is released.
    EXPECT_NE(LoadString(114).find("%s"), std::string::npos);
    settings.GetResourceLibrary()->Release();
    EXPECT_EQ(LoadString(114), "");
}

}  // namespace
}  // namespace varnock
