// Settings files as the outside world hands them over: unreadable,
// truncated, binary, or far larger than usual. Each ends with a clear
// message or a clean load, never a crash or a hang.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "platform/PrivateProfile.h"
#include "tests/settings/SettingsFixture.h"

namespace varnock {
namespace {
using namespace test;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

class SettingsFaultTest : public ::testing::Test, public SettingsFixture {
protected:
    // Loads on a fresh manager, so that each case starts from nothing read.
    int LoadFresh() {
        messages.Clear();
        SettingsManager fresh(dir.path());
        int result = fresh.Load();
        rows = 0;
        while (fresh.GetRow(rows)) ++rows;
        if (rows > 0) first = *fresh.GetRow(0);
        return result;
    }

    int rows = 0;
    AllocationRow first;
};

TEST_F(SettingsFaultTest, UnreadableFileShowsItsMessage) {
    // A directory in the file's place cannot be read, whoever runs the test;
    // a file without read permission only when it is not root.
    for (bool directory : {true, false}) {
        if (!directory && ::geteuid() == 0) continue;
        for (const char* name : {kVarnockIniName, kVarnockSettingIniName}) {
            Write(VarnockIni(), SettingIni(kOneRow));
            const int expected = std::string(name) == kVarnockIniName ? 109 : 212;
            if (directory) {
                fs::remove(dir / name);
                fs::create_directory(dir / name);
            } else {
                ASSERT_EQ(::chmod((dir / name).c_str(), 0), 0);
            }
            EXPECT_EQ(LoadFresh(), 0) << name;
            EXPECT_THAT(messages.Numbers(), ElementsAre(expected)) << name;
            if (directory) fs::remove(dir / name);
            ::chmod((dir / name).c_str(), 0600);
        }
    }

    // Other readers (help language, USB-COM port name) bind files that only
    // were checked to exist.
    fs::remove(dir / "Varnock.ini");
    fs::create_directory(dir / "Varnock.ini");
    IniFile ini;
    ini.SetFileName(dir / "Varnock.ini");
    EXPECT_EQ(ini.GetString("VarnockTool", "EN", "LANGUAGE"), "EN");
    ini.WriteString("key", "value", "Section");
    EXPECT_TRUE(fs::is_directory(dir / "Varnock.ini"));
}

std::string Garbage(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (auto& c : out) c = static_cast<char>(rng());
    return out;
}

TEST_F(SettingsFaultTest, TruncatedOrBinaryFilesFailToLoad) {
    const struct {
        std::string varnock, setting;
        std::vector<int> messages;
    } cases[] = {
        // Cut in the middle of a key or a section name: the key is missing.
        {VarnockIni(), SettingIni("ite"), {113}},
        {VarnockIni(), "[Application]\nPortAssignMode=Manual\n[VirtualCOMAllo", {113}},
        // Varnock.ini cut before MaxHostDriverNo; then cut inside its value.
        {"[Application]\n" + kLibrary + "[VirtualCOMSettings]\nRealPort=COM,U", SettingIni(kOneRow), {111}},
        {VarnockIni(kLibrary, "RealPort=COM\nMaxHostDriverNo="), SettingIni(kOneRow), {111}},
        // Cut inside the library's name: it cannot be loaded.
        {"[Application]\nResourceDLLName=libvarnock_r", SettingIni(kOneRow), {}},
        // Empty files and whole files of noise with NULs: all keys missing.
        {"", SettingIni(kOneRow), {}},
        {VarnockIni(), "", {113}},
        {Garbage(4096, 1), SettingIni(kOneRow), {}},
        {VarnockIni(), Garbage(4096, 2), {113}},
    };
    for (const auto& c : cases) {
        Write(c.varnock, c.setting);
        EXPECT_EQ(LoadFresh(), 0) << "case " << (&c - cases);
        EXPECT_EQ(messages.Numbers(), c.messages) << "case " << (&c - cases);
    }
}

TEST_F(SettingsFaultTest, RowsAmongNoiseStillRead) {
    // Noise around valid lines, and NULs inside a row: the lines still count.
    std::string noisy =
        Garbage(300, 3) +
        "\n[Application]\nPortAssignMode=Manual\n[VirtualCOMAllocationMatrix]\nitems=2\n1=COM5,Eth";
    noisy += std::string("\0\0", 2) + "ernet,127.0.0.1,,No\n" + Garbage(200, 4) + "\n";
    noisy += "2=" + Garbage(100, 5) + "\n";
    Write(VarnockIni(), noisy);
    EXPECT_EQ(LoadFresh(), 1);
    EXPECT_TRUE(messages.Numbers().empty());
    ASSERT_GE(rows, 1);
    EXPECT_EQ(first.m_strVirtualPort, "COM5");
    EXPECT_EQ(first.m_nLinkType, LinkType::Serial);  // "Eth\0\0ernet" is no link kind
    EXPECT_LE(first.m_strLinkPort.size(), platform::kProfileValueMax);
}

TEST_F(SettingsFaultTest, TenThousandRowsLoadAndSaveInBoundedTime) {
    constexpr int kRows = 10000;
    std::string matrix = "items=" + std::to_string(kRows) + "\n";
    auto row = [](int n, const char* flag) {
        return std::to_string(n) + "=COM" + std::to_string(n + 10) + ",Ethernet,127.0.0." +
               std::to_string(n % 250 + 1) + ",," + flag + "\n";
    };
    for (int n = 1; n <= kRows; ++n) matrix += row(n, "No");
    Write(VarnockIni(), SettingIni(matrix));
    const std::string before = Setting();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(settings.Load(), 1);
    ASSERT_NE(settings.GetRow(kRows - 1), nullptr);
    EXPECT_EQ(settings.GetRow(kRows - 1)->m_strVirtualPort, "COM10010");
    EXPECT_EQ(settings.GetRow(kRows), nullptr);
    settings.Save();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Setting(), before);
    EXPECT_LT(elapsed, std::chrono::seconds(20));

    // One changed row is written, in its own line, and nothing else moves.
    AllocationRow changed = *settings.GetRow(4999);
    changed.m_bNoConnectCommand = 1;
    settings.ReplaceRow(changed, 4999);
    settings.Save();
    std::string expected = before;
    expected.replace(expected.find(row(5000, "No")), row(5000, "No").size(), row(5000, "Yes"));
    EXPECT_EQ(Setting(), expected);
}

TEST_F(SettingsFaultTest, HugeItemCountWithFewRowsEndsQuickly) {
    // A typo such as items=1000000000 must not keep the program reading
    // entries that cannot exist.
    Write(VarnockIni(), SettingIni("items=1000000000\n1=COM5,Ethernet,127.0.0.1,,No\n"
                                   "05000000=COM7,USB,USB,,No\n5000000=COM6,USB,USB,,No\n"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadFresh(), 1);
    EXPECT_EQ(rows, 2);  // "05000000" is not entry 5000000
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace varnock
