#include "settings/IniFile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "tests/support/TestSupport.h"

namespace varnock {
namespace {
using test::ReadFile;
using test::WriteFile;

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override { ini.SetFileName(file); }
    long FilesInDir() const { return std::distance(std::filesystem::directory_iterator(dir.path()), {}); }

    test::TempDir dir;
    std::filesystem::path file = dir / "a.ini";
    IniFile ini;
};

TEST_F(IniFileTest, ReadsMatchIgnoringCaseAndBlanksAndLongValuesAreCut) {
    EXPECT_EQ(ini.GetString("k", "d", "S"), "d");  // no file
    WriteFile(file, "orphan=0\r\n[  Sec One ]\r\n  KeY  =  some value  \r\nlong=" + std::string(600, 'x') +
                        "\r\n[sec one]\r\nkey=second\r\n");
    EXPECT_EQ(ini.GetString("key", "", "SEC ONE"), "some value");
    EXPECT_EQ(ini.GetString(" KEY "), "some value");  // current section kept
    EXPECT_EQ(ini.GetString("long"), std::string(511, 'x'));
    EXPECT_EQ(ini.GetString("orphan", "none", ""), "none");
    EXPECT_EQ(ini.GetString("nokey", "d", "sec one"), "d");
    EXPECT_EQ(ini.GetInt("key", 50, "Missing"), 50);
}

TEST_F(IniFileTest, WriteReplacesOnlyItsOwnValue) {
    const std::string before =
        "; comment\r\n\r\n[Matrix]\r\nitems = 2\r\n1 = COM5,COM3,,,No\r\n\r\n# note\r\n[Application]\r\nX=1";
    WriteFile(file, before);
    ini.WriteString("1", "COM6,USB,USB,,Yes", "matrix");
    std::string expected = before;
    expected.replace(expected.find("COM5,COM3,,,No"), 14, "COM6,USB,USB,,Yes");
    EXPECT_EQ(ReadFile(file), expected);
    EXPECT_EQ(ini.GetString("1"), "COM6,USB,USB,,Yes");
    EXPECT_EQ(FilesInDir(), 1);  // no temporary left behind

    // Values that would break the file apart are refused.
    ini.WriteString("1", "v\r\n[Injected]");
    ini.WriteString("a=b", "v");
    ini.WriteString("k", "v", "S]x");
    EXPECT_EQ(ReadFile(file), expected);
}

TEST_F(IniFileTest, WriteAddsKeysSectionsAndFiles) {
    WriteFile(file, "[A]\r\nx=1\r\n\r\n[B]\r\ny=2");
    ini.WriteString("z", "3", "A");
    ini.WriteString("w", "4", "C");
    EXPECT_EQ(ReadFile(file), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n[C]\r\nw=4\r\n");

    IniFile fresh;
    fresh.SetFileName(dir / "new.ini");
    fresh.WriteString("k", "v", "S");
    EXPECT_EQ(ReadFile(dir / "new.ini"), "[S]\nk=v\n");
}

TEST_F(IniFileTest, FailedWriteLeavesOldFileWhole) {
    WriteFile(file, "[S]\nk=v\n");
    // A file size limit makes the write fail part way, for root as well.
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 64;
    ::setrlimit(RLIMIT_FSIZE, &small);
    ini.WriteString("k", std::string(4096, 'x'), "S");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ReadFile(file), "[S]\nk=v\n");
    EXPECT_EQ(FilesInDir(), 1);
}

}  // namespace
}  // namespace varnock
