// Settings files as the outside world hands them over: unreadable,
// truncated, binary, or far larger than usual. Each ends with a clear
// message or a clean load, never a crash or a hang.
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

// A directory, a FIFO (that no writer opens: opening it to read would wait
// for ever) or a file this process may not read (also as root: the checks
// run without the override) in a settings file's place: its message at
// once, the other readers (help language, USB-COM port name) get defaults,
// and no write replaces it.
TEST_F(SettingsFaultTest, UnreadableFileShowsItsMessageAtOnceAndIsNeverWritten) {
    for (auto type : {fs::file_type::directory, fs::file_type::fifo, fs::file_type::regular}) {
        for (const char* name : {kVarnockIniName, kVarnockSettingIniName}) {
            Write(VarnockIni(), "; mine\n" + SettingIni(kOneRow));
            const std::string before = ReadFile(dir / name);
            if (type == fs::file_type::regular) {
                fs::permissions(dir / name, fs::perms::none);
            } else {
                fs::remove(dir / name);
                type == fs::file_type::fifo ? ::mkfifo((dir / name).c_str(), 0600)
                                            : ::mkdir((dir / name).c_str(), 0700);
            }
            // The one message shown, or 0 when anything went otherwise.
            const int shown = RunInChild([&] {
                if (!DropFileOverride() || LoadFresh() != 0 || messages.Numbers().size() != 1) return 0;
                IniFile ini;
                ini.SetFileName(dir / name);
                ini.WriteString("items", "2", "VirtualCOMAllocationMatrix");
                return ini.GetString("items", "none", "VirtualCOMAllocationMatrix") == "none"
                           ? messages.Numbers()[0]
                           : 0;
            });
            EXPECT_EQ(shown, std::string(name) == kVarnockIniName ? 109 : 212) << name << int(type);
            EXPECT_EQ(fs::status(dir / name).type(), type) << name;
            if (type == fs::file_type::regular) {
                EXPECT_EQ(fs::status(dir / name).permissions(), fs::perms::none) << name;
                fs::permissions(dir / name, fs::perms::owner_read);
                EXPECT_EQ(ReadFile(dir / name), before) << name;
            }
            fs::remove(dir / name);
        }
    }
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
    for (int n = 1; n <= kRows; ++n)
        matrix += std::to_string(n) + "=COM" + std::to_string(n + 10) + ",Ethernet,127.0.0.1,,No\n";
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
}

}  // namespace
}  // namespace varnock
