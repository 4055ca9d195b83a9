#include <gtest/gtest.h>

#include "tests/settings/SettingsFixture.h"

namespace varnock {
namespace {
using test::SettingIni;

class MatrixTest : public ::testing::Test, public test::SettingsFixture {
protected:
    void Load(const std::string& matrix, const std::string& mode = "PortAssignMode=Manual\n") {
        Write(test::VarnockIni(), SettingIni(matrix, mode));
        ASSERT_EQ(settings.Load(), 1);
    }
};

TEST_F(MatrixTest, RowsReadAndSaveBackUnchanged) {
    Load(
        "items=4\n1=COM5,Ethernet,192.168.0.10,,No\n2=COM6,ethernet,10.0.0.1,x,yes\n"
        "3=COM7,COM3,SERIAL2,,No\n4= COM8 , USB , USB , , No \n");
    const std::string before = Setting();
    // Each row as "virtual|link|real|address|extra|type|flag".
    auto text = [&](int i) {
        const AllocationRow* r = settings.GetRow(i);
        return r->m_strVirtualPort + "|" + r->m_strLinkPort + "|" + r->m_strRealPort + "|" +
               r->m_strIPAddress + "|" + r->m_strExtra + "|" +
               std::to_string(static_cast<int>(r->m_nLinkType)) + "|" +
               std::to_string(r->m_bNoConnectCommand);
    };
    EXPECT_EQ(text(0), "COM5|Ethernet|Ethernet|192.168.0.10||1|0");
    EXPECT_EQ(text(1), "COM6|ethernet|Ethernet|10.0.0.1|x|1|1");
    EXPECT_EQ(text(2), "COM7|COM3|SERIAL2|||0|0");
    EXPECT_EQ(text(3), "COM8|USB|USB|||2|0");
    EXPECT_EQ(settings.GetRow(4), nullptr);

    settings.Save();  // lower-case link text and address kept
    std::string expected = before;
    expected.replace(expected.find("yes"), 3, "Yes");
    expected.replace(expected.find("COM8 , USB , USB , , No "), 24, "COM8,USB,USB,,No");
    EXPECT_EQ(Setting(), expected);
}

TEST_F(MatrixTest, OddEntriesKeepTheirPlace) {
    // Entry 2 holds only blanks: as empty, skipped and kept as written. Only
    // the "%d" form names an entry: "03" is another key. A huge count reads
    // no more than the file holds.
    Load("items=2147483647\n1=COM5,COM3,SERIAL2,,Ja,extra\n2= \t \n03=COM8\n3=COM7,COM2\n4=COM9\n");
    EXPECT_EQ(settings.GetRow(0)->m_bNoConnectCommand, 0);  // another language's flag text
    EXPECT_EQ(settings.GetRow(1)->m_strVirtualPort, "COM7");
    EXPECT_EQ(settings.GetRow(2)->m_strLinkPort, "");
    EXPECT_EQ(settings.GetRow(3), nullptr);
    settings.Save();
    // Six fields read as five; short rows fill up; each row stays at its entry.
    EXPECT_EQ(Setting(),
              SettingIni("items=2147483647\n1=COM5,COM3,SERIAL2,,No\n2= \t \n03=COM8\n3=COM7,COM2,,,No\n"
                         "4=COM9,,,,No\n"));
}

TEST_F(MatrixTest, SaveAfterFailedLoadChangesNothing) {
    const std::string stored = SettingIni("items=0\n1=COM5,COM3,,,No\n");
    Write(test::VarnockIni(), stored);
    EXPECT_EQ(settings.Load(), 0);
    settings.Save();
    EXPECT_EQ(Setting(), stored);
}

TEST_F(MatrixTest, AutoAssignTakesLowestFreeNumber) {
    for (int n = 1; n <= 3; ++n) test::WriteFile(devices.path() / ("COM" + std::to_string(n)), "");
    std::filesystem::create_symlink("/nonexistent/pty", devices.path() / "COM4");  // dangling counts as taken
    Load("items=2\n1=COM9,Ethernet,127.0.0.1,,No\n2=COM10,COM3,,,No\n", "PortAssignMode=Automatic\n");
    EXPECT_EQ(settings.GetPortAssignMode(), 1);
    EXPECT_EQ(settings.GetRow(1)->m_strVirtualPort, "COM10");
    settings.Save();
    EXPECT_EQ(Setting(), SettingIni("items=2\n1=COM5,Ethernet,127.0.0.1,,No\n2=COM10,COM3,,,No\n",
                                    "PortAssignMode=Auto\n"));
}

}  // namespace
}  // namespace varnock
