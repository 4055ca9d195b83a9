#include <gtest/gtest.h>

#include "tests/links/FakeDeviceTree.h"
#include "tests/ui/FakeViews.h"
#include "ui/LinkSettingsDialog.h"

namespace varnock {
namespace {

AllocationRow Row(const std::string& linkPort, LinkType type, const std::string& address = "") {
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

    // The machine's devices after the COM names.
    std::vector<std::string> Devices() {
        const auto& items = view.controls[IDC_LINK_COM_PORT].items;
        return {items.begin() + 256, items.end()};
    }

    test::FakeDeviceTree tree;  // empty unless a test adds to it
    test::FakeDialogView view;
    LinkSettingsDialog dialog{view};
};

// A kind is offered when the settings name it, in any case; a row's link is
// chosen only when its kind is offered and its text is the kind's own.
TEST_F(LinkSettingsDialogTest, OpensOnTheRowsLinkWhereItsKindIsOffered) {
    struct {
        AllocationRow row;
        std::vector<std::string> kinds;
        std::array<bool, 3> offered, chosen;  // serial, USB, Ethernet
        int port;
    } cases[] = {
        {Row("Com7", LinkType::Serial), {"com", "USB"}, {true, true, false}, {true, false, false}, 6},
        {Row("USB", LinkType::Usb), {"com"}, {true, false, false}, {}, 0},
        {Row("Ethernet", LinkType::Ethernet, "10.1.1.1"), {"ethernet"}, {false, false, true}, {}, 0},
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

// Cancel stores nothing; OK stores the chosen link, an address only when it
// is one (blank fields count as 0), and keeps a hidden address.
TEST_F(LinkSettingsDialogTest, OkStoresEachLinkAndCancelNothing) {
    AllocationRow row = Row("Ethernet", LinkType::Ethernet, "192.168.1.5");
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
    for (auto typed : {std::array{"0", "0", "0", "0"}, {"", "", "", ""}}) {
        view.TypeAddress(IDC_LINK_ADDRESS, typed);
        dialog.OnOK();
    }
    EXPECT_EQ(std::tuple(view.messages, view.endResult), std::tuple(std::vector<int>{207, 207}, -1));
    EXPECT_EQ(stored(), std::tuple(LinkType::Ethernet, "Ethernet", "Ethernet", "192.168.1.5"));
    view.TypeAddress(IDC_LINK_ADDRESS, {"10", "", "", ""});
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

// Stable by-id names first, then the nodes no link names, in number order;
// ttyS only with a UART behind it. A row's device is preselected, an
// unplugged one kept.
TEST_F(LinkSettingsDialogTest, MachineSerialDevicesFollowTheComNames) {
    tree.AddNodes(
        {"ttyUSB0", "ttyUSB10", "ttyUSB2", "ttyUSB1", "ttyACM1", "ttyS0", "ttyS1", "ttyS2", "tty1", "ttySx"});
    tree.AddById("usb-FTDI_A1-if00-port0", "ttyUSB0");
    tree.AddById("usb-Arduino_B2-if00", "ttyACM1");
    tree.AddPlatformSerial("ttyS0", 4);
    tree.AddPlatformSerial("ttyS1", 0);  // ttyS2: no sysfs entry at all
    const std::string dev = tree.dev().string(), byId = dev + "/serial/by-id/";
    AllocationRow row = Row(byId + "usb-FTDI_A1-if00-port0", LinkType::Serial);
    Open(row, {"COM"});
    EXPECT_EQ(Devices(), (std::vector<std::string>{
                             byId + "usb-Arduino_B2-if00 (" + dev + "/ttyACM1)",
                             byId + "usb-FTDI_A1-if00-port0 (" + dev + "/ttyUSB0)",
                             dev + "/ttyUSB1",
                             dev + "/ttyUSB2",
                             dev + "/ttyUSB10",
                             dev + "/ttyS0",
                         }));
    EXPECT_TRUE(view.IsChecked(IDC_LINK_SERIAL));
    EXPECT_EQ(view.ComboGetCurSel(IDC_LINK_COM_PORT), 257);
    view.ComboSetCurSel(IDC_LINK_COM_PORT, 260);
    dialog.OnOK();
    EXPECT_EQ(std::tuple(row.m_strLinkPort, row.m_strRealPort), std::tuple(dev + "/ttyUSB10", "SERIAL2"));

    AllocationRow gone = Row("/dev/serial/by-id/usb-gone", LinkType::Serial);
    Open(gone, {"COM"});
    EXPECT_EQ(Devices().back(), "/dev/serial/by-id/usb-gone");
    EXPECT_EQ(view.ComboGetCurSel(IDC_LINK_COM_PORT), 262);
    dialog.OnOK();
    EXPECT_EQ(gone.m_strLinkPort, "/dev/serial/by-id/usb-gone");
}

}  // namespace
}  // namespace varnock
