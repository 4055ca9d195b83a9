// Settings files as handed over: a clear message or a clean load, no crash, hang or lost setting.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <random>

#include "common/Messages.h"
#include "platform/Paths.h"
#include "platform/PrivateProfile.h"
#include "settings/IniFile.h"
#include "settings/SettingsManager.h"
#include "tests/settings/SettingsFixture.h"

namespace varnock {
namespace {
namespace fs = std::filesystem;
using platform::LoadString;
using namespace test;
using ::testing::ElementsAre;

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

TEST_F(IniFileTest, WriteReplacesOnlyItsOwnValueOrAddsTheKey) {
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

    // New keys go after their section's last line, new sections at the end.
    WriteFile(file, "[A]\r\nx=1\r\n\r\n[B]\r\ny=2");
    ini.WriteString("z", "3", "A");
    ini.WriteString("w", "4", "C");
    EXPECT_EQ(ReadFile(file), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n[C]\r\nw=4\r\n");
}

TEST_F(IniFileTest, FailedWriteLeavesOldFileWhole) {
    WriteFile(file, "[S]\nk=v\n");
    const int child = test::RunInChild([&] {
        const rlimit small{64, 64};  // the write fails part way, for root as well
        std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &small);
        ini.WriteString("k", std::string(4096, 'x'), "S");
        return 0;
    });
    EXPECT_EQ(child, 0);
    EXPECT_EQ(ReadFile(file), "[S]\nk=v\n");
    EXPECT_EQ(FilesInDir(), 1);
}

class LoadTest : public ::testing::Test, public SettingsFixture {};

TEST_F(LoadTest, MissingFilesAndLibrary) {
    std::filesystem::remove(dir / "libvarnock_res_en.so");
    EXPECT_EQ(settings.Load(), 0);
    ASSERT_THAT(messages.Numbers(), ElementsAre(kMsgVarnockIniMissing));  // even with both files missing
    EXPECT_EQ(messages.Entries()[0].style, platform::kMbIconError);
    settings.Save();
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    test::WriteFile(dir / kVarnockIniName, VarnockIni());
    EXPECT_EQ(settings.Load(), 0);
    EXPECT_THAT(messages.Numbers(), ElementsAre(kMsgVarnockIniMissing, kMsgSettingIniMissing));
}

std::string Garbage(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (auto& c : out) c = static_cast<char>(rng());
    return out;
}

// Bad values, files cut or noisy: one message (none without the library); Save after it writes nothing.
TEST_F(LoadTest, InvalidValuesShowTheirMessage) {
    constexpr int kRealPort = kMsgRealPortInvalid, kMaxNo = kMsgMaxHostDriverNoInvalid,
                  kItems = kMsgItemsInvalid;
    const std::string cutVarnock = "[Application]\n" + kLibrary + "[VirtualCOMSettings]\nRealPort=COM,U";
    const struct {
        std::string varnock, setting;
        int message;
    } cases[] = {
        {VarnockIni(kLibrary, "MaxHostDriverNo=1\n"), SettingIni(kOneRow), kRealPort},
        {VarnockIni(kLibrary, "RealPort=\nMaxHostDriverNo=1\n"), SettingIni("items=0\n"), kRealPort},
        {VarnockIni(kLibrary, "RealPort= \t \nMaxHostDriverNo=1\n"), SettingIni(kOneRow),
         kRealPort},  // blanks
        {cutVarnock, SettingIni(kOneRow), kMaxNo},
        {VarnockIni(kLibrary, "RealPort=COM\nMaxHostDriverNo="), SettingIni(kOneRow), kMaxNo},
        {VarnockIni(kLibrary, "RealPort=COM\nMaxHostDriverNo=0\n"), SettingIni(kOneRow), kMaxNo},
        {VarnockIni(kLibrary, "RealPort=COM\nMaxHostDriverNo= 2 \n"),
         SettingIni("items=0\n1=COM5,COM3,,,No\n"), kItems},
        {VarnockIni(), SettingIni("items=some\n"), kItems},
        {VarnockIni(), SettingIni("ite"), kItems},
        {VarnockIni(), "[Application]\nPortAssignMode=Manual\n[VirtualCOMAllo", kItems},
        {VarnockIni(), Garbage(4096, 2), kItems},
        {"[Application]\nResourceDLLName=libvarnock_r", SettingIni(kOneRow), 0},
        {Garbage(4096, 1), SettingIni(kOneRow), 0},
    };
    for (const auto& c : cases) {
        const std::string where = "case " + std::to_string(&c - cases);
        messages.Clear();
        Write(c.varnock, c.setting);
        SettingsManager fresh(dir.path());
        EXPECT_EQ(fresh.Load(), 0) << where;
        ASSERT_EQ(messages.Numbers(), c.message ? std::vector<int>{c.message} : std::vector<int>{}) << where;
        // The texts come from the loaded library.
        for (const auto& e : messages.Entries())
            EXPECT_EQ(e.text, fresh.GetResourceLibrary()->String(e.number));
        fresh.Save();
        EXPECT_EQ(Setting(), c.setting) << where;
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
    EXPECT_NE(LoadString(kMsgPortNotOpened).find("%s"), std::string::npos);
    settings.GetResourceLibrary()->Release();
    EXPECT_EQ(LoadString(kMsgPortNotOpened), "");
}

class SettingsFaultTest : public LoadTest {};

// A directory, FIFO or unreadable file (even for root) as a settings file: its message, never written.
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
                if (!DropFileOverride() || SettingsManager(dir.path()).Load() != 0 ||
                    messages.Numbers().size() != 1)
                    return 0;
                IniFile ini;
                ini.SetFileName(dir / name);
                ini.WriteString("items", "2", "VirtualCOMAllocationMatrix");
                return ini.GetString("items", "none", "VirtualCOMAllocationMatrix") == "none"
                           ? messages.Numbers()[0]
                           : 0;
            });
            EXPECT_EQ(shown,
                      std::string(name) == kVarnockIniName ? kMsgVarnockIniMissing : kMsgSettingIniMissing)
                << name << int(type);
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

TEST_F(SettingsFaultTest, RowsAmongNoiseStillRead) {
    // Noise around valid lines, and NULs inside a row: the lines still count.
    std::string noisy =
        Garbage(300, 3) +
        "\n[Application]\nPortAssignMode=Manual\n[VirtualCOMAllocationMatrix]\nitems=2\n1=COM5,Eth";
    noisy += std::string("\0\0", 2) + "ernet,127.0.0.1,,No\n" + Garbage(200, 4) + "\n";
    noisy += "2=" + Garbage(100, 5) + "\n";
    Write(VarnockIni(), noisy);
    ASSERT_EQ(settings.Load(), 1);
    EXPECT_TRUE(messages.Numbers().empty());
    ASSERT_NE(settings.GetRow(0), nullptr);
    const AllocationRow& first = *settings.GetRow(0);
    EXPECT_EQ(first.m_strVirtualPort, "COM5");
    EXPECT_EQ(first.m_nLinkType, LinkType::Serial);  // "Eth\0\0ernet" is no link kind
    EXPECT_LE(first.m_strLinkPort.size(), platform::kProfileValueMax);
}

class MatrixTest : public LoadTest {
protected:
    void Load(const std::string& matrix, const std::string& mode = "PortAssignMode=Manual\n") {
        Write(VarnockIni(), SettingIni(matrix, mode));
        ASSERT_EQ(settings.Load(), 1);
    }
};

TEST_F(MatrixTest, RowsReadAndSaveBackUnchanged) {
    Load(
        "items=4\n1=COM5,Ethernet,192.168.0.10,,No\n2=COM6,ethernet,10.0.0.1,x,yes\n"
        "3=COM7,COM3,SERIAL2,,No\n4= COM8 , USB , USB , , No \n");
    const std::string before = Setting();
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
    // Blanks only: skipped and kept. "03" is another key; a huge count reads no more than the file holds.
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

// Network ports live in their own sections (the dialog's test writes them): a bare port means loopback,
// a value that cannot be read counts as a pty and names its line.
TEST_F(MatrixTest, NetworkPortsReadApartFromTheMatrix) {
    for (const char* bad : {"0", "65536", "2217x", "host:2217", "10.0.0.1:", "-1"})
        EXPECT_EQ(ParseNetworkPort(bad), std::nullopt) << bad;
    EXPECT_EQ(ParseClientList("10.0.0.5,,10.0.0.6"), std::nullopt);
    Write(VarnockIni(), SettingIni("items=1\n1=COM5,Ethernet,127.0.0.1,,No\n") +
                            "[NetworkPorts]\nCOM5=0.0.0.0:2217\nCOM6=nonsense\nCOM7= 2219 \n"
                            "[NetworkClients]\nCOM5= 10.0.0.5 ,10.0.0.6\n");
    ASSERT_EQ(settings.Load(), 1);
    std::string problem;
    EXPECT_EQ(settings.GetNetworkPort("COM5"),
              (NetworkPortConfig{"0.0.0.0", 2217, {"10.0.0.5", "10.0.0.6"}}));
    EXPECT_EQ(settings.GetNetworkPort("COM7"), (NetworkPortConfig{"127.0.0.1", 2219, {}}));
    EXPECT_FALSE(settings.GetNetworkPort("COM6", &problem).Served());
    EXPECT_EQ(problem, "[NetworkPorts] COM6=nonsense");
    EXPECT_FALSE(settings.GetNetworkPort("COM8").Served());
}

// Installed, the settings are in ROOT/etc/varnock: its channel file holds shared defaults, read until the
// user's own file exists, which the first save makes (defaults untouched); a failed save is said once.
TEST_F(MatrixTest, SharedDefaultsGiveEachUserTheirOwnFileAndAFailedSaveIsSaid) {
    TempDir root, config;
    const fs::path program = root / "usr/lib/varnock", etc = root / "etc/varnock";
    const fs::path defaults = etc / kVarnockSettingIniName, own = config / "varnock" / kVarnockSettingIniName;
    for (const fs::path& folder : {program, etc}) fs::create_directories(folder);
    fs::copy_file(dir / "libvarnock_res_en.so", program / "libvarnock_res_en.so");
    WriteFile(defaults, SettingIni("items=1\n; kept\n1=COM5,Ethernet,127.0.0.1,,No\n"));
    WriteFile(etc / kVarnockIniName, VarnockIni());
    EXPECT_EQ(platform::SettingsDirectoryFor(program), etc);
    EXPECT_EQ(platform::SettingsDirectoryFor("/opt/x/lib/varnock"), "/opt/x/etc/varnock");
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    ::unsetenv("STATE_DIRECTORY");
    SettingsManager user{program};
    auto loadRow = [&] {
        SettingsManager fresh{program};
        EXPECT_EQ(fresh.Load(), 1);
        return std::tuple(fresh.GetSettingFile(), fresh.GetRow(0)->m_strIPAddress);
    };
    EXPECT_EQ(loadRow(), std::tuple(defaults, "127.0.0.1"));

    ASSERT_EQ(user.Load(), 1);
    EXPECT_EQ(user.GetSaveFile(), own);
    AllocationRow row = *user.GetRow(0);
    row.m_strIPAddress = "10.0.0.7";
    user.ReplaceRow(row, 0);
    EXPECT_EQ(user.Save(), 1);
    EXPECT_EQ(ReadFile(defaults), SettingIni("items=1\n; kept\n1=COM5,Ethernet,127.0.0.1,,No\n"));
    EXPECT_EQ(ReadFile(own), SettingIni("items=1\n; kept\n1=COM5,Ethernet,10.0.0.7,,No\n"));
    EXPECT_EQ(loadRow(), std::tuple(own, "10.0.0.7"));

    // A service's state directory comes first; one under a file cannot be made.
    ::setenv("STATE_DIRECTORY", (defaults.string() + ":/elsewhere").c_str(), 1);
    SettingsManager service{program};
    ASSERT_EQ(service.Load(), 1);
    EXPECT_EQ(service.GetSaveFile(), defaults / kVarnockSettingIniName);
    EXPECT_EQ(service.Save(), 0);
    EXPECT_EQ(std::tuple(service.Save(), service.SaveFailed()), std::tuple(0, true));
    ASSERT_EQ(messages.Numbers(), std::vector<int>{230});
    EXPECT_NE(messages.Entries()[0].text.find((defaults / kVarnockSettingIniName).string()),
              std::string::npos);
    ::unsetenv("STATE_DIRECTORY");
    ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace varnock
