#include <gtest/gtest.h>

#include "tests/ui/FakeViews.h"
#include "ui/IpAddress.h"
#include "ui/LinkSettingsDialog.h"

namespace varnock {
namespace {

using test::FakeDialogView;

AllocationRow Row(const std::string& linkPort, int type, const std::string& address = "") {
    AllocationRow row;
    row.m_strVirtualPort = "COM10";
    row.m_strLinkPort = linkPort;
    row.m_nLinkType = type;
    row.m_strIPAddress = address;
    row.m_strRealPort = type == 1 ? "Ethernet" : "SERIAL2";
    row.m_strExtra = "keep";
    return row;
}

class LinkSettingsDialogTest : public ::testing::Test {
protected:
    void Open(AllocationRow& row, const std::vector<std::string>& kinds) {
        // The template's initial state: no link kind may be chosen yet.
        for (int id : {IDC_LINK_SERIAL, IDC_LINK_USB, IDC_LINK_ETHERNET}) view.at(id).enabled = false;
        dialog.SetRow(&row);
        dialog.SetLinkKinds(kinds);
        ASSERT_TRUE(dialog.OnInitDialog());
    }
    void Click(int radio) {
        view.ClickRadio(radio, {IDC_LINK_SERIAL, IDC_LINK_USB, IDC_LINK_ETHERNET});
        dialog.OnLinkClicked(radio);
    }
    bool Enabled(int id) const { return view.IsControlEnabled(id); }
    bool Checked(int id) const { return view.IsChecked(id); }
    void ExpectAddressEnabled(bool enabled) {
        for (int id : {IDC_LINK_ADDRESS, IDC_LINK_ADDRESS_LABEL, IDC_LINK_ADDRESS_NOTE})
            EXPECT_EQ(Enabled(id), enabled) << id;
        EXPECT_EQ(Enabled(IDC_LINK_COM_PORT), !enabled);
    }

    FakeDialogView view;
    LinkSettingsDialog dialog{view};
};

TEST_F(LinkSettingsDialogTest, SerialRowOpensOnItsPortWithEthernetNotOffered) {
    AllocationRow row = Row("COM3", 0);
    Open(row, {"COM", "USB"});
    EXPECT_EQ(view.at(IDC_LINK_VIRTUAL_PORT).text, "COM10");
    EXPECT_TRUE(Enabled(IDC_LINK_SERIAL));
    EXPECT_TRUE(Enabled(IDC_LINK_USB));
    EXPECT_FALSE(Enabled(IDC_LINK_ETHERNET));
    EXPECT_TRUE(Checked(IDC_LINK_SERIAL));
    ASSERT_EQ(view.at(IDC_LINK_COM_PORT).items.size(), 256u);
    EXPECT_EQ(view.at(IDC_LINK_COM_PORT).items.back(), "COM256");
    EXPECT_EQ(view.ComboGetItemText(IDC_LINK_COM_PORT, view.ComboGetCurSel(IDC_LINK_COM_PORT)), "COM3");
    ExpectAddressEnabled(false);
    EXPECT_TRUE(Checked(IDC_LINK_CONNECT));
    EXPECT_FALSE(Checked(IDC_LINK_NO_CONNECT));
}

TEST_F(LinkSettingsDialogTest, ComKindAdmitsAnyCaseOfThePrefixButNotOtherLinks) {
    AllocationRow serial = Row("Com7", 0);
    Open(serial, {"com"});
    EXPECT_TRUE(Checked(IDC_LINK_SERIAL));
    EXPECT_EQ(view.ComboGetCurSel(IDC_LINK_COM_PORT), 6);

    FakeDialogView other;
    LinkSettingsDialog usbDialog(other);
    AllocationRow usb = Row("USB", 2);
    usbDialog.SetRow(&usb);
    usbDialog.SetLinkKinds({"com"});
    ASSERT_TRUE(usbDialog.OnInitDialog());
    EXPECT_FALSE(other.IsChecked(IDC_LINK_USB));
    EXPECT_FALSE(other.IsChecked(IDC_LINK_SERIAL));
    EXPECT_EQ(other.ComboGetCurSel(IDC_LINK_COM_PORT), 0);  // COM1
}

TEST_F(LinkSettingsDialogTest, EthernetRowShowsItsAddress) {
    AllocationRow row = Row("Ethernet", 1, "192.168.1.5");
    Open(row, {"COM", "USB", "Ethernet"});
    EXPECT_TRUE(Checked(IDC_LINK_ETHERNET));
    EXPECT_EQ(view.IpGetAddress(IDC_LINK_ADDRESS).value, (std::array<int, 4>{192, 168, 1, 5}));
    ExpectAddressEnabled(true);
}

// The kind's case matters for Ethernet: it enables the button but does not admit the row.
TEST_F(LinkSettingsDialogTest, LowerCaseEthernetKindEnablesButDoesNotAdmitTheRow) {
    AllocationRow row = Row("Ethernet", 1, "10.1.1.1");
    row.m_bNoConnectCommand = 0;
    Open(row, {"ethernet"});
    EXPECT_TRUE(Enabled(IDC_LINK_ETHERNET));
    EXPECT_FALSE(Checked(IDC_LINK_ETHERNET));
    // Confirmed without a choice: only the flag and the emptied real port change.
    view.ClickRadio(IDC_LINK_NO_CONNECT, {IDC_LINK_NO_CONNECT, IDC_LINK_CONNECT});
    dialog.OnOK();
    EXPECT_EQ(view.endResult, IDOK);
    EXPECT_EQ(row.m_bNoConnectCommand, 1);
    EXPECT_EQ(row.m_strRealPort, "");
    EXPECT_EQ(std::tuple(row.m_nLinkType, row.m_strLinkPort, row.m_strIPAddress),
              std::tuple(1, "Ethernet", "10.1.1.1"));
}

TEST_F(LinkSettingsDialogTest, EthernetNeedsAnAddress) {
    AllocationRow row = Row("Ethernet", 1, "");
    AllocationRow before = row;
    Open(row, {"COM", "USB", "Ethernet"});
    EXPECT_EQ(view.IpGetAddress(IDC_LINK_ADDRESS).value, (std::array<int, 4>{0, 0, 0, 0}));
    dialog.OnOK();
    EXPECT_EQ(view.messages, std::vector<int>{207});
    EXPECT_EQ(view.endResult, -1);

    view.TypeAddress(IDC_LINK_ADDRESS, {"", "", "", ""});
    dialog.OnOK();
    EXPECT_EQ(view.messages, (std::vector<int>{207, 207}));
    EXPECT_EQ(view.endResult, -1);
    EXPECT_EQ(row.m_strRealPort, before.m_strRealPort);
    EXPECT_EQ(row.m_strIPAddress, before.m_strIPAddress);

    // A partly blank address is an address: the blank fields count as 0.
    view.TypeAddress(IDC_LINK_ADDRESS, {"10", "", "", ""});
    dialog.OnOK();
    EXPECT_EQ(view.endResult, IDOK);
    EXPECT_EQ(row.m_strIPAddress, "10.0.0.0");
}

TEST_F(LinkSettingsDialogTest, OkStoresEachLink) {
    AllocationRow row = Row("COM3", 0);
    Open(row, {"COM", "USB", "Ethernet"});

    auto stored = [&] {
        return std::tuple(row.m_nLinkType, row.m_strLinkPort, row.m_strRealPort, row.m_strIPAddress);
    };
    Click(IDC_LINK_ETHERNET);
    ExpectAddressEnabled(true);
    view.TypeAddress(IDC_LINK_ADDRESS, {"10", "0", "0", "1"});
    dialog.OnOK();
    EXPECT_EQ(stored(), std::tuple(1, "Ethernet", "Ethernet", "10.0.0.1"));
    Click(IDC_LINK_USB);
    EXPECT_FALSE(Enabled(IDC_LINK_ADDRESS));
    dialog.OnOK();
    EXPECT_EQ(stored(), std::tuple(2, "USB", "USB", "10.0.0.1"));  // the address kept, though hidden
    Click(IDC_LINK_SERIAL);
    ExpectAddressEnabled(false);
    view.ComboSetCurSel(IDC_LINK_COM_PORT, 11);
    view.ClickRadio(IDC_LINK_NO_CONNECT, {IDC_LINK_NO_CONNECT, IDC_LINK_CONNECT});
    dialog.OnOK();
    EXPECT_EQ(stored(), std::tuple(0, "COM12", "SERIAL2", "10.0.0.1"));
    EXPECT_EQ(row.m_bNoConnectCommand, 1);
    EXPECT_EQ(std::tuple(row.m_strExtra, row.m_strVirtualPort), std::tuple("keep", "COM10"));
}

TEST_F(LinkSettingsDialogTest, CancelAndMissingRow) {
    AllocationRow row = Row("COM3", 0);
    AllocationRow before = row;
    Open(row, {"COM", "USB", "Ethernet"});
    Click(IDC_LINK_USB);
    dialog.OnCancel();
    EXPECT_EQ(view.endResult, IDCANCEL);
    EXPECT_EQ(row.m_strLinkPort, before.m_strLinkPort);
    EXPECT_EQ(row.m_nLinkType, before.m_nLinkType);

    FakeDialogView other;
    LinkSettingsDialog empty(other);
    EXPECT_FALSE(empty.OnInitDialog());
}

TEST(IpAddressTest, TextToFields) {
    EXPECT_EQ(AddressFieldsFromText(""), (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(AddressFieldsFromText("192.168.1.5"), (std::array<int, 4>{192, 168, 1, 5}));
    // Not in the form the dialog writes: each field still shows 0 to 255.
    EXPECT_EQ(AddressFieldsFromText("300.-2.x7.9"), (std::array<int, 4>{255, 0, 0, 9}));
    EXPECT_EQ(AddressFieldsFromText("10.1"), (std::array<int, 4>{10, 1, 0, 0}));
    EXPECT_EQ(AddressFieldsFromText(" 1.2.3.4.5"), (std::array<int, 4>{1, 2, 3, 4}));
    EXPECT_EQ(FormatAddress({10, 0, 0, 1}), "10.0.0.1");
    EXPECT_EQ(AddressFieldValue(""), std::nullopt);
    EXPECT_EQ(AddressFieldValue("256"), 255);
    EXPECT_EQ(AddressFieldValue("007"), 7);
}

}  // namespace
}  // namespace varnock
