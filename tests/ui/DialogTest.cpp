// The main window and the link settings dialog against windows without a display; the help they open.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "common/Messages.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/ShellOpen.h"
#include "tests/links/FakeDeviceTree.h"
#include "tests/settings/SettingsFixture.h"
#include "tests/ui/FakeViews.h"
#include "ui/HelpLauncher.h"
#include "ui/LinkSettingsDialog.h"
#include "ui/MainDialog.h"
#include "ui/NetworkPortDialog.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;

// The count only bounds the entries; the list shows the rows held.
const char* kRows =
    "items=2147483647\n1=COM5,Ethernet,192.168.1.5,,No\n2=COM6,COM3,SERIAL2,,Yes\n4=COM7,USB,USB,x,No\n";

using Texts = std::vector<std::string>;

class MainDialogTest : public ::testing::Test {
protected:
    // The template's initial state.
    MainDialogTest() {
        view.controls[IDC_MAIN_DISCONNECT].enabled = false;
        channels.onDisconnect = [this] { savedAtDisconnect = fixture.Setting(); };
    }

    void Start(const std::string& application = "", const std::string& sections = "") {
        fixture.Write(test::VarnockIni("ResourceDLLName=libvarnock_res_en.so\n" + application),
                      test::SettingIni(kRows) + sections);
        ASSERT_EQ(fixture.settings.Load(), 1);
        dialog.SetSettings(&fixture.settings);
        ASSERT_TRUE(dialog.OnInitDialog());
    }
    Texts Row(int item) const { return view.items.at(item).texts; }
    void ExpectButtons(bool connected) {
        EXPECT_EQ(std::tuple(view.IsControlEnabled(IDC_MAIN_EDIT), view.IsControlEnabled(IDC_MAIN_NETWORK),
                             view.IsControlEnabled(IDC_MAIN_CONNECT),
                             view.IsControlEnabled(IDC_MAIN_DISCONNECT), dialog.IsConnected()),
                  std::tuple(!connected, !connected, !connected, connected, connected ? 1 : 0));
    }

    test::SettingsFixture fixture;
    platform::RecordingShellOpener opener;
    platform::ScopedShellOpener scopedOpener{opener};
    test::FakeMainView view;
    test::RecordingChannels channels;
    std::string savedAtDisconnect;
    HelpLauncher help{fixture.dir.path()};
    MainDialog dialog{view, channels, help};
};

// The link column shows a device's file name, its path as tool tip; the address column only addresses.
TEST_F(MainDialogTest, ListShowsEachHeldRowAndTheMenuCommandsRun) {
    Start();
    ASSERT_EQ(view.items.size(), 3u);
    EXPECT_EQ(Row(0), (Texts{"COM5", "Ethernet", "192.168.1.5", "No", "not connected"}));
    EXPECT_EQ(Row(1), (Texts{"COM6", "COM3", "-", "Yes", "not connected"}));
    EXPECT_EQ(Row(2), (Texts{"COM7", "USB", "-", "No", "not connected"}));
    EXPECT_EQ(view.items[1].tips, (Texts{"", "/dev/COM3", "", "", ""}));
    AllocationRow byId;
    byId.m_strLinkPort = "/dev/serial/by-id/usb-FTDI_A1-if00-port0";
    EXPECT_EQ(std::tuple(MainDialog::ColumnText(byId, 1), MainDialog::ColumnToolTip(byId, 1)),
              std::tuple("usb-FTDI_A1-if00-port0", byId.m_strLinkPort));
    EXPECT_NE(view.items[0].data, fixture.settings.GetRow(0));  // a copy
    ASSERT_EQ(view.columns.size(), 5u);
    EXPECT_EQ(view.columns[0],
              std::make_pair(platform::LoadString(102), int(platform::LoadString(102).size()) * 7));
    EXPECT_EQ(view.columns[3], std::make_pair(platform::LoadString(106), 160));
    // As wide as the longest state, "connected, host port open".
    EXPECT_EQ(view.columns[4], std::make_pair(platform::LoadString(220), 25 * 7));
    ExpectButtons(false);
    // One converter entry: Linux has no installer per word size.
    EXPECT_EQ(view.menu, (std::vector<int>{0, IDM_MANUAL, IDM_INSTALLER_32, 0, IDM_ABOUTBOX}));
    test::WriteFile(fixture.dir / "VarnockToolE.html", "");
    dialog.OnSysCommand(IDM_MANUAL);
    dialog.OnSysCommand(IDM_INSTALLER_32 | 0x3);  // low bits are the system's own
    dialog.OnSysCommand(IDM_INSTALLER_64);
    dialog.OnCommand(ID_HELP);
    dialog.OnSysCommand(IDM_ABOUTBOX);
    dialog.OnCommand(ID_COMMAND_ABOUT);
    dialog.OnCommand(ID_COMMAND_RESTORE);  // what a second copy asks for
    EXPECT_EQ(opener.Opened(), std::vector<fs::path>(2, fixture.dir / "VarnockToolE.html"));
    EXPECT_EQ(fixture.messages.Numbers(), (std::vector<int>{232, 232}));
    EXPECT_EQ(std::tuple(view.aboutRuns, view.restores), std::tuple(2, 1));
}

TEST_F(MainDialogTest, EmptyStringsLeaveMenuEntriesOut) {
    fixture.Write(test::VarnockIni(), test::SettingIni(kRows));
    ASSERT_EQ(fixture.settings.Load(), 1);
    platform::ResourceLibrary* library = fixture.settings.GetResourceLibrary();
    platform::SetStringLoader([library](int n) { return n == 101 || n == 32781 ? "" : library->String(n); });
    dialog.SetSettings(&fixture.settings);
    ASSERT_TRUE(dialog.OnInitDialog());
    library->MakeCurrent();
    EXPECT_EQ(view.menu, (std::vector<int>{0, IDM_MANUAL}));
}

// Flags toggle, other columns edit the link (on OK), neither while connected; Exit disconnects, then saves.
TEST_F(MainDialogTest, RowsChangeOnlyWhileNotConnectedAndExitDisconnectsFirst) {
    Start("WndAlwaysOnTop=TRUE\n");
    EXPECT_TRUE(view.topmost);
    Texts kindsSeen;
    int answer = IDCANCEL;
    view.linkSettings = [&](AllocationRow& row, const Texts& kinds) {
        kindsSeen = kinds;
        row.m_nLinkType = LinkType::Usb;
        row.m_strLinkPort = row.m_strRealPort = "USB";
        row.m_bNoConnectCommand = 1;
        return answer;
    };
    view.selectionMark = 0;
    dialog.OnActivate(0, 1);
    EXPECT_EQ(kindsSeen, (Texts{"COM", "USB", "Ethernet"}));
    EXPECT_EQ(Row(0), (Texts{"COM5", "Ethernet", "192.168.1.5", "No", "not connected"}));
    EXPECT_EQ(fixture.settings.GetRow(0)->m_nLinkType, LinkType::Ethernet);
    answer = IDOK;
    dialog.OnCommand(IDC_MAIN_EDIT);
    EXPECT_EQ(Row(0), (Texts{"COM5", "USB", "-", "Yes", "not connected"}));
    EXPECT_EQ(fixture.settings.GetRow(0)->m_nLinkType, LinkType::Usb);

    const std::string before = fixture.Setting();
    view.selectionMark = 1;
    dialog.OnActivate(1, 3);
    EXPECT_EQ(Row(1)[3], "No");
    dialog.OnActivate(1, 3);
    EXPECT_EQ(Row(1)[3], "Yes");
    EXPECT_EQ(fixture.settings.GetRow(1)->m_bNoConnectCommand, 1);
    channels.connectResult = 0;
    dialog.OnCommand(IDC_MAIN_CONNECT);
    ExpectButtons(false);
    channels.connectResult = 1;
    dialog.OnCommand(IDC_MAIN_CONNECT);
    ExpectButtons(true);
    kindsSeen.clear();
    dialog.OnActivate(1, 3);
    dialog.OnActivate(1, 0);
    EXPECT_EQ(std::pair(Row(1), kindsSeen),
              std::pair(Texts{"COM6", "COM3", "-", "Yes", "not connected"}, Texts{}));
    dialog.OnCommand(IDC_MAIN_DISCONNECT);
    ExpectButtons(false);
    EXPECT_EQ(channels.log, (Texts{"window", "connect", "connect", "disconnect"}));

    dialog.OnActivate(1, 3);  // changes what Save writes
    dialog.OnConnect();
    dialog.OnCommand(IDC_MAIN_EXIT);
    EXPECT_EQ(channels.log.back(), "disconnect");
    EXPECT_EQ(savedAtDisconnect, before);
    EXPECT_NE(fixture.Setting().find("2=COM6,COM3,SERIAL2,,No"), std::string::npos);
    EXPECT_EQ(view.endResult, IDOK);
    ExpectButtons(false);
}

// A monitor thread's link loss: not connected, message, row; after teardown a late report shows nothing.
TEST_F(MainDialogTest, LinkLossFromAMonitorThreadAndAfterTeardown) {
    platform::MessageLoop::Main().BindToCurrentThread();
    Start();
    dialog.OnConnect();
    auto report = [&] {
        return std::async(std::launch::async, [&] {
            static_cast<MainWindowLink&>(dialog).OnChannelState(1, ChannelState::LinkLost, "");
            static_cast<MainWindowLink&>(dialog).OnLinkLost();
        });
    };
    auto returned = [](std::future<void>& f) {
        return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    };
    auto monitor = report();
    ASSERT_TRUE(
        platform::MessageLoop::Main().PumpUntil([&] { return returned(monitor); }, std::chrono::seconds(5)));
    ExpectButtons(false);
    EXPECT_EQ(view.messages, std::vector<int>{kMsgLinkLost});
    EXPECT_EQ(view.lastStyle, platform::kMbIconError);
    EXPECT_EQ(Row(1)[kMainStatusColumn], "link lost");

    monitor = report();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    dialog.OnDestroy();
    EXPECT_EQ(monitor.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    platform::MessageLoop::Main().Pump();
    EXPECT_EQ(view.messages, std::vector<int>{kMsgLinkLost});
}

// A network port shows beside its name; the dialog's change is held for Save, no change writes nothing;
// the status names a connected client, asked for on the main thread.
TEST_F(MainDialogTest, NetworkPortsInTheListTheirDialogAndTheirClients) {
    platform::MessageLoop::Main().BindToCurrentThread();
    Start("", "[NetworkPorts]\nCOM5=2217\n");
    auto shown = [&](int item) { return Texts{Row(item)[0], view.items[item].tips[0]}; };
    EXPECT_EQ(shown(0), (Texts{"COM5 (tcp 2217)",
                               "Served over the network as an RFC 2217 serial port on 127.0.0.1:2217"}));
    std::vector<std::string> seen;
    view.networkPort = [&](const std::string& name, NetworkPortConfig& config,
                           const std::vector<NetworkPortUse>& others) {
        seen = {name};
        for (const auto& other : others)
            seen.push_back(other.portName + "=" + FormatNetworkPort(other.config));
        if (name == "COM6") config = {"0.0.0.0", 2218, {"10.0.0.5", "10.0.0.6"}};
        return IDOK;
    };
    view.selectionMark = 1;
    dialog.OnCommand(IDC_MAIN_NETWORK);
    EXPECT_EQ(seen, (Texts{"COM6", "COM5=2217", "COM7="}));
    EXPECT_EQ(shown(1), (Texts{"COM6 (tcp 0.0.0.0:2218)",
                               "Served over the network as an RFC 2217 serial port on "
                               "0.0.0.0:2218\nClients let in: 10.0.0.5,10.0.0.6"}));
    EXPECT_EQ(view.columns[0].second, 160);  // as far as the flag column's width
    view.selectionMark = 2;
    dialog.OnCommand(IDC_MAIN_NETWORK);
    EXPECT_EQ(fixture.settings.Save(), 1);
    const std::string saved = fixture.Setting();
    EXPECT_EQ(std::tuple(saved.find("COM6=0.0.0.0:2218\n") != saved.npos,
                         saved.find("COM6=10.0.0.5,10.0.0.6\n") != saved.npos, saved.find("COM7=")),
              std::tuple(true, true, saved.npos));

    channels.clients = {{0, "10.0.0.5:51234"}, {1, ""}};
    auto state = [&](int channel, ChannelState s) {
        static_cast<MainWindowLink&>(dialog).OnChannelState(channel, s, "");
        platform::MessageLoop::Main().Pump();
        return Row(channel)[kMainStatusColumn];
    };
    EXPECT_EQ(state(0, ChannelState::HostPortOpen), "connected, client 10.0.0.5:51234");
    EXPECT_EQ(view.columns[kMainStatusColumn].second, 32 * 7);
    EXPECT_EQ(state(0, ChannelState::Connected), "connected");
    EXPECT_EQ(state(1, ChannelState::HostPortOpen), "connected, host port open");
}

class NetworkPortDialogTest : public ::testing::Test {
protected:
    void Open(const NetworkPortConfig& start) {
        view = test::FakeDialogView();
        config = start;
        dialog.SetPort("COM5", &config);
        dialog.SetOtherPorts(
            {{"COM6", {"0.0.0.0", 2217, {}}}, {"COM7", {"127.0.0.1", 2218, {}}}, {"COM8", {}}});
        ASSERT_TRUE(dialog.OnInitDialog());
    }
    // Served, address, TCP port, clients; the fields are enabled while served.
    auto Shown() {
        const bool served = view.IsChecked(IDC_NET_SERVED);
        for (int id : {IDC_NET_GROUP, IDC_NET_ADDRESS, IDC_NET_PORT, IDC_NET_CLIENTS})
            EXPECT_EQ(view.IsControlEnabled(id), served) << id;
        return std::tuple(served, view.IpGetAddress(IDC_NET_ADDRESS).value, view.GetControlText(IDC_NET_PORT),
                          view.GetControlText(IDC_NET_CLIENTS));
    }

    test::FakeDialogView view;
    NetworkPortConfig config;
    NetworkPortDialog dialog{view};
};

// A pty port opens on loopback with the first free TCP port; each kind of bad input has its message and
// changes nothing; sound input is stored; unchecking stores a pty port; Cancel stores nothing.
TEST_F(NetworkPortDialogTest, OkStoresOnlySoundInput) {
    Open({});
    EXPECT_EQ(view.controls[IDC_NET_VIRTUAL_PORT].text, "COM5");
    EXPECT_EQ(Shown(), std::tuple(false, std::array<int, 4>{127, 0, 0, 1}, "2219", ""));
    view.SetCheck(IDC_NET_SERVED, true);
    dialog.OnServedClicked();
    EXPECT_TRUE(std::get<0>(Shown()));

    const IpFields loopback{{127, 0, 0, 1}, {}}, any{{0, 0, 0, 0}, {}};
    const struct {
        IpFields address;
        const char *port, *clients;
        int message;
        const char* arg;
    } cases[] = {
        {{{10, 0, 0, 0}, {false, true, true, true}}, "2300", "", kMsgListenAddressInvalid, ""},
        {{{224, 0, 0, 1}, {}}, "2300", "", kMsgListenAddressInvalid, ""},
        {loopback, "0", "", kMsgTcpPortInvalid, ""},
        {loopback, "65536", "", kMsgTcpPortInvalid, ""},
        {loopback, "22a", "", kMsgTcpPortInvalid, ""},
        {loopback, "10.0.0.1:80", "", kMsgTcpPortInvalid, ""},
        {loopback, "2300", "10.0.0.5, host", kMsgClientListInvalid, ""},
        {{{10, 0, 0, 9}, {}}, "2217", "", kMsgTcpPortInUse, "COM6 on 0.0.0.0:2217"},
        {any, "2218", "", kMsgTcpPortInUse, "COM7 on 127.0.0.1:2218"},
    };
    for (const auto& c : cases) {
        view.controls[IDC_NET_ADDRESS].ip = c.address;
        view.SetControlText(IDC_NET_PORT, c.port);
        view.SetControlText(IDC_NET_CLIENTS, c.clients);
        dialog.OnOK();
        EXPECT_EQ(std::tuple(view.messages.back(), view.lastArg, view.endResult),
                  std::tuple(c.message, c.arg, -1))
            << c.port;
        EXPECT_EQ(view.lastStyle, platform::kMbIconError);
    }
    EXPECT_EQ(view.messages.size(), std::size(cases));
    EXPECT_FALSE(config.Served());
    view.controls[IDC_NET_ADDRESS].ip = {{10, 0, 0, 9}, {}};
    view.SetControlText(IDC_NET_PORT, " 2218 ");
    view.SetControlText(IDC_NET_CLIENTS, "10.0.0.5, 10.0.0.6");
    dialog.OnOK();
    EXPECT_EQ(view.endResult, IDOK);
    EXPECT_EQ(config, (NetworkPortConfig{"10.0.0.9", 2218, {"10.0.0.5", "10.0.0.6"}}));

    Open(config);
    EXPECT_EQ(Shown(), std::tuple(true, std::array<int, 4>{10, 0, 0, 9}, "2218", "10.0.0.5,10.0.0.6"));
    view.SetCheck(IDC_NET_SERVED, false);
    dialog.OnCancel();
    EXPECT_EQ(std::pair(view.endResult, config.port), std::pair(IDCANCEL, uint16_t{2218}));
    dialog.OnOK();
    EXPECT_EQ(std::pair(view.endResult, config), std::pair(IDOK, NetworkPortConfig{}));
}

AllocationRow LinkRow(const std::string& linkPort, LinkType type, const std::string& address = "") {
    AllocationRow row;
    row.m_strVirtualPort = "COM10";
    row.m_strLinkPort = linkPort;
    row.m_nLinkType = type;
    row.m_strIPAddress = address;
    row.m_strRealPort = type == LinkType::Ethernet ? "Ethernet" : "SERIAL2";
    row.m_strExtra = "keep";
    return row;
}

class LinkSettingsDialogTest : public ::testing::Test {
protected:
    void Open(AllocationRow& row, const std::vector<std::string>& kinds) {
        view = test::FakeDialogView();
        dialog.SetDeviceFolders(tree.dev(), tree.root());
        // The template's initial state: no link kind may be chosen yet.
        for (int id : {IDC_LINK_SERIAL, IDC_LINK_USB, IDC_LINK_ETHERNET}) view.controls[id].enabled = false;
        dialog.SetRow(&row);
        dialog.SetLinkKinds(kinds);
        ASSERT_TRUE(dialog.OnInitDialog());
    }
    void Click(int radio) {
        view.ClickRadio(radio, {IDC_LINK_SERIAL, IDC_LINK_USB, IDC_LINK_ETHERNET});
        dialog.OnLinkClicked(radio);
    }
    void ExpectAddressEnabled(bool enabled) {
        for (int id : {IDC_LINK_ADDRESS, IDC_LINK_ADDRESS_LABEL, IDC_LINK_ADDRESS_NOTE})
            EXPECT_EQ(view.IsControlEnabled(id), enabled) << id;
        EXPECT_EQ(view.IsControlEnabled(IDC_LINK_COM_PORT), !enabled);
    }

    std::vector<std::string> Devices() {
        const auto& items = view.controls[IDC_LINK_COM_PORT].items;
        return {items.begin(), items.end() - 256};
    }

    test::FakeDeviceTree tree;  // empty unless a test adds to it
    test::FakeDialogView view;
    LinkSettingsDialog dialog{view};
};

// A kind is offered when named, in any case; a row's link is chosen if offered and spelt as the kind.
TEST_F(LinkSettingsDialogTest, OpensOnTheRowsLinkWhereItsKindIsOffered) {
    struct {
        AllocationRow row;
        std::vector<std::string> kinds;
        std::array<bool, 3> offered, chosen;  // serial, USB, Ethernet
        int port;
    } cases[] = {
        {LinkRow("Com7", LinkType::Serial), {"com", "USB"}, {true, true, false}, {true, false, false}, 6},
        {LinkRow("USB", LinkType::Usb), {"com"}, {true, false, false}, {}, 0},
        {LinkRow("Ethernet", LinkType::Ethernet, "10.1.1.1"), {"ethernet"}, {false, false, true}, {}, 0},
    };
    for (auto& c : cases) {
        Open(c.row, c.kinds);
        EXPECT_EQ(view.controls[IDC_LINK_VIRTUAL_PORT].text, "COM10");
        const int radios[] = {IDC_LINK_SERIAL, IDC_LINK_USB, IDC_LINK_ETHERNET};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(view.IsControlEnabled(radios[i]), c.offered[i]) << c.row.m_strLinkPort << i;
            EXPECT_EQ(view.IsChecked(radios[i]), c.chosen[i]) << c.row.m_strLinkPort << i;
        }
        EXPECT_EQ(view.controls[IDC_LINK_COM_PORT].items.size(), 256u);  // no devices here
        EXPECT_EQ(view.ComboGetCurSel(IDC_LINK_COM_PORT), c.port);
        EXPECT_FALSE(view.IsControlEnabled(IDC_LINK_ADDRESS));
        EXPECT_EQ(view.IsControlEnabled(IDC_LINK_COM_PORT), c.chosen[0]);
        EXPECT_TRUE(view.IsChecked(IDC_LINK_CONNECT));
    }
    // Confirmed without a choice: only the flag and the emptied real port change.
    view.ClickRadio(IDC_LINK_NO_CONNECT, {IDC_LINK_NO_CONNECT, IDC_LINK_CONNECT});
    dialog.OnOK();
    EXPECT_EQ(view.endResult, IDOK);
    const AllocationRow& row = cases[2].row;
    EXPECT_EQ(std::tuple(row.m_nLinkType, row.m_strLinkPort, row.m_strIPAddress, row.m_strRealPort,
                         row.m_bNoConnectCommand),
              std::tuple(LinkType::Ethernet, "Ethernet", "10.1.1.1", "", 1));
}

// Cancel stores nothing; OK stores the link, an address only if one (blanks are 0), keeps a hidden one.
TEST_F(LinkSettingsDialogTest, OkStoresEachLinkAndCancelNothing) {
    AllocationRow row = LinkRow("Ethernet", LinkType::Ethernet, "192.168.1.5");
    Open(row, {"COM", "USB", "Ethernet"});
    EXPECT_EQ(view.IpGetAddress(IDC_LINK_ADDRESS).value, (std::array<int, 4>{192, 168, 1, 5}));
    auto stored = [&] {
        return std::tuple(row.m_nLinkType, row.m_strLinkPort, row.m_strRealPort, row.m_strIPAddress);
    };
    Click(IDC_LINK_USB);
    dialog.OnCancel();
    EXPECT_EQ(view.endResult, IDCANCEL);
    Click(IDC_LINK_ETHERNET);
    ExpectAddressEnabled(true);
    view.endResult = -1;
    // As typed: 0.0.0.0, all blank, then 10 with the rest blank.
    for (bool blank : {false, true}) {
        view.controls[IDC_LINK_ADDRESS].ip = {{0, 0, 0, 0}, {blank, blank, blank, blank}};
        dialog.OnOK();
    }
    EXPECT_EQ(std::tuple(view.messages, view.endResult),
              std::tuple(std::vector<int>{kMsgAddressRequired, kMsgAddressRequired}, -1));
    EXPECT_EQ(stored(), std::tuple(LinkType::Ethernet, "Ethernet", "Ethernet", "192.168.1.5"));
    view.controls[IDC_LINK_ADDRESS].ip = {{10, 0, 0, 0}, {false, true, true, true}};
    dialog.OnOK();
    EXPECT_EQ(stored(), std::tuple(LinkType::Ethernet, "Ethernet", "Ethernet", "10.0.0.0"));
    Click(IDC_LINK_USB);
    EXPECT_FALSE(view.IsControlEnabled(IDC_LINK_ADDRESS));
    dialog.OnOK();
    EXPECT_EQ(stored(), std::tuple(LinkType::Usb, "USB", "USB", "10.0.0.0"));
    Click(IDC_LINK_SERIAL);
    ExpectAddressEnabled(false);
    view.ComboSetCurSel(IDC_LINK_COM_PORT, 11);
    view.ClickRadio(IDC_LINK_NO_CONNECT, {IDC_LINK_NO_CONNECT, IDC_LINK_CONNECT});
    dialog.OnOK();
    EXPECT_EQ(view.endResult, IDOK);
    EXPECT_EQ(stored(), std::tuple(LinkType::Serial, "COM12", "SERIAL2", "10.0.0.0"));
    EXPECT_EQ(std::tuple(row.m_bNoConnectCommand, row.m_strExtra, row.m_strVirtualPort),
              std::tuple(1, "keep", "COM10"));
}

// Devices before COM names: by-id, then nodes by number, ttyS with a UART; unplugged kept, COM found.
TEST_F(LinkSettingsDialogTest, MachineSerialDevicesComeBeforeTheComNames) {
    tree.AddNodes(
        {"ttyUSB0", "ttyUSB10", "ttyUSB2", "ttyUSB1", "ttyACM1", "ttyS0", "ttyS1", "ttyS2", "tty1", "ttySx"});
    tree.AddById("usb-FTDI_A1-if00-port0", "ttyUSB0");
    tree.AddById("usb-Arduino_B2-if00", "ttyACM1");
    tree.AddPlatformSerial("ttyS0", 4);
    tree.AddPlatformSerial("ttyS1", 0);  // ttyS2: no sysfs entry at all
    const std::string dev = tree.dev().string(), byId = dev + "/serial/by-id/";
    AllocationRow row = LinkRow(byId + "usb-FTDI_A1-if00-port0", LinkType::Serial);
    Open(row, {"COM"});
    EXPECT_EQ(Devices(), (std::vector<std::string>{byId + "usb-Arduino_B2-if00 (" + dev + "/ttyACM1)",
                                                   byId + "usb-FTDI_A1-if00-port0 (" + dev + "/ttyUSB0)",
                                                   dev + "/ttyUSB1", dev + "/ttyUSB2", dev + "/ttyUSB10",
                                                   dev + "/ttyS0"}));
    EXPECT_TRUE(view.IsChecked(IDC_LINK_SERIAL));
    EXPECT_EQ(view.ComboGetCurSel(IDC_LINK_COM_PORT), 1);
    view.ComboSetCurSel(IDC_LINK_COM_PORT, 4);
    dialog.OnOK();
    EXPECT_EQ(std::tuple(row.m_strLinkPort, row.m_strRealPort), std::tuple(dev + "/ttyUSB10", "SERIAL2"));

    AllocationRow gone = LinkRow("/dev/serial/by-id/usb-gone", LinkType::Serial);
    Open(gone, {"COM"});
    EXPECT_EQ(Devices().back(), "/dev/serial/by-id/usb-gone");
    EXPECT_EQ(view.ComboGetCurSel(IDC_LINK_COM_PORT), 6);
    dialog.OnOK();
    EXPECT_EQ(gone.m_strLinkPort, "/dev/serial/by-id/usb-gone");

    AllocationRow com = LinkRow("COM3", LinkType::Serial);
    Open(com, {"COM"});
    EXPECT_EQ(view.ComboGetCurSel(IDC_LINK_COM_PORT), 6 + 2);
    dialog.OnOK();
    EXPECT_EQ(com.m_strLinkPort, "COM3");
}

// The manual follows the language (case too); failures say its path; converter drivers loaded are named.
TEST(HelpLauncherTest, ManualFollowsTheLanguageAndConverterDriversAreNamed) {
    test::TempDir dir, sys;
    platform::RecordingShellOpener opener;
    platform::ScopedShellOpener scopedOpener{opener};
    platform::RecordingMessageSink messages;
    platform::ScopedMessageSink scopedSink{messages};
    HelpLauncher launcher{dir.path(), sys.path()};
    // The messages' arguments as they stand, without the resource library.
    platform::SetStringLoader([](int n) {
        return n == kStrNoConverterDriver ? "none" : n > kMsgSettingsNotSaved ? "%s" : "";
    });
    launcher.OpenManual();
    EXPECT_EQ(messages.Entries().at(0).style, platform::kMbIconError);
    for (const char* name : {"VarnockToolE.html", "VarnockToolJ.html"}) test::WriteFile(dir / name, "");
    for (const char* language : {"", "ja", "JA", "CH"}) {
        test::WriteFile(dir / "Varnock.ini", std::string("[LANGUAGE]\nVarnockTool=") + language + "\n");
        launcher.OpenManual();
    }
    EXPECT_EQ(opener.Opened(), (std::vector<fs::path>{dir / "VarnockToolE.html", dir / "VarnockToolE.html",
                                                      dir / "VarnockToolJ.html"}));
    platform::XdgShellOpener missing{(dir / "no-such-opener").string()};
    platform::ScopedShellOpener noOpener{missing};
    test::WriteFile(dir / "Varnock.ini", "");
    launcher.OpenManual();
    launcher.RunDriverInstaller(32);
    for (const char* driver : {"ftdi_sio", "cp210x"})
        fs::create_directories(sys / "bus/usb-serial/drivers" / driver);
    launcher.RunDriverInstaller(64);
    ASSERT_EQ(messages.Numbers(),
              (std::vector<int>{kMsgVarnockIniMissing, kMsgManualNotOpened, kMsgManualNotOpened,
                                kMsgConverterDrivers, kMsgConverterDrivers}));
    const auto entries = messages.Entries();
    EXPECT_EQ(std::tuple(entries[1].text, entries[2].text, entries[3].text, entries[4].text),
              std::tuple((dir / "VarnockToolC.html").string(), (dir / "VarnockToolE.html").string(), "none",
                         "cp210x, ftdi_sio"));
    platform::SetStringLoader(nullptr);
}

// The opener starts as any program would: an ignored SIGPIPE of ours would stay ignored across exec.
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
