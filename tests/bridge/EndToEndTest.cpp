// Connect, disconnect and the command bytes on the wire, with the simulated
// PLC over TCP and over a pty pair standing in for the serial cable.
#include "links/RealPortFactory.h"
#include "tests/bridge/BridgeFixture.h"
#include "tests/links/SimulatedUsbDriver.h"

namespace varnock::test {
namespace {

const ByteArray kConnect{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
const ByteArray kDisconnect{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
// 9600 baud, 8 data bits, even parity, one stop bit.
const ByteArray kParams9600{0x21, 0x01, 0xFF, 0x05, 0x01, 0x02, 0x00, 0x00};

TEST_F(BridgeTest, EthernetConnectEchoAndDisconnect) {
    PlcSimulator& plc = TcpPlc("127.0.0.201");
    // Only serial links ask the PLC for another rate.
    ConnectOne("COM5,Ethernet,127.0.0.201,,No", {"BaudRate=19200\n"});
    EXPECT_TRUE(Messages().empty());

    auto requests = plc.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].wire, RequestWire(requests[0].sequence, 0x00, 0x00, kParams9600, false));
    EXPECT_EQ(requests[1].wire, RequestWire(requests[1].sequence, 0x01, 0x03, kConnect, false));

    ASSERT_TRUE(m_host.Write(Bytes("hello")));
    EXPECT_EQ(m_host.Read(5), Bytes("hello"));
    auto pass = plc.RequestsOf(RequestKind::PassThrough);
    ASSERT_EQ(pass.size(), 1u);
    EXPECT_EQ(pass[0].wire, RequestWire(pass[0].sequence, 0x01, 0x03, PassPayload(Bytes("hello")), false));

    plc.ClearRequests();
    EXPECT_EQ(m_manager->DisconnectAll(), 1);
    requests = plc.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].wire, RequestWire(requests[0].sequence, 0x01, 0x03, kDisconnect, false));
    EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());
    EXPECT_FALSE(Channel(0).IsConnected());
}

TEST_F(BridgeTest, SerialConnectAsksForTheLineSpeedFirst) {
    PlcSimulator& plc = SerialPlc("COM3");
    ConnectOne("COM6,COM3,,,No", {"BaudRate=19200\nPLCDataBytesToReadInMonitorTime=4096\n"});
    EXPECT_TRUE(Messages().empty());

    auto requests = plc.Requests();
    ASSERT_EQ(requests.size(), 3u);
    ByteArray baud{0x05, 0x30, 0x30, 0x46, 0x46, 0x41, 0x43, 0x30, 0x32, 0x30, 0x35, 0x0D};
    EXPECT_EQ(requests[0].wire, RequestWire(requests[0].sequence, 0x01, 0x01, baud, true));
    EXPECT_EQ(requests[1].wire, RequestWire(requests[1].sequence, 0x00, 0x00, kParams9600, true));
    EXPECT_EQ(requests[2].wire, RequestWire(requests[2].sequence, 0x01, 0x03, kConnect, true));
    EXPECT_EQ(Channel(0).Config()->m_nBaudRate, 19200);

    // DLE bytes in the request and in the reply.
    ByteArray data{0x10, 'a', 0x10, 0x10, 0x03, 0x10, 0x02};
    ASSERT_TRUE(m_host.Write(data));
    EXPECT_EQ(m_host.Read(data.GetSize()), data);
    auto pass = plc.RequestsOf(RequestKind::PassThrough);
    ASSERT_EQ(pass.size(), 1u);
    EXPECT_EQ(pass[0].wire, RequestWire(pass[0].sequence, 0x01, 0x03, PassPayload(data), true));

    // Disconnect: no line-speed command; the local port goes back to 9600.
    plc.ClearRequests();
    EXPECT_EQ(m_manager->DisconnectAll(), 1);
    requests = plc.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, RequestKind::Disconnect);
    EXPECT_EQ(Channel(0).Config()->m_nBaudRate, 9600);
    EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());
}

TEST_F(BridgeTest, SerialConnectWithoutConnectCommand) {
    PlcSimulator& plc = SerialPlc("COM3");
    ConnectOne("COM6,COM3,,,Yes");
    auto requests = plc.Requests();
    ASSERT_EQ(requests.size(), 1u);  // 9600: no line-speed command either
    EXPECT_EQ(requests[0].wire, RequestWire(requests[0].sequence, 0x00, 0x00, kParams9600, true));

    plc.ClearRequests();
    EXPECT_EQ(m_manager->DisconnectAll(), 1);
    EXPECT_TRUE(plc.Requests().empty());
    EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());
}

TEST_F(BridgeTest, ConnectAnsweredWrongOrNotAtAll) {
    PlcSimulator& plc = TcpPlc("127.0.0.202");
    PlcSimulator& serialPlc = SerialPlc("COM3");
    WriteSettings({"COM5,Ethernet,127.0.0.202,,No", "COM6,COM3,,,No"});
    CreateChannels();

    plc.SetFault(RequestKind::Connect, Fault::WrongBytes);
    serialPlc.SetFault(RequestKind::Connect, Fault::NoAnswer);
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_CONNECT, 0, 0), 0);
    EXPECT_EQ(Messages(), std::vector<int>({114}));
    EXPECT_NE(m_messages.Entries()[0].text.find("Ethernet"), std::string::npos);
    EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());
    EXPECT_FALSE(Channel(0).IsConnected());

    m_messages.Clear();
    EXPECT_EQ(Channel(1).Window().SendMessage(WM_CHANNEL_CONNECT, 0, 0), 0);
    EXPECT_EQ(Messages(), std::vector<int>({115, 114}));
    EXPECT_FALSE(Channel(1).LinkHolder().IsOpen());
    // Unanswered on serial: the PLC is set back to 9600 before the link closes.
    auto requests = serialPlc.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].kind, RequestKind::Connect);
    EXPECT_EQ(requests[2].payload,
              ByteArray({0x05, 0x30, 0x30, 0x46, 0x46, 0x41, 0x43, 0x30, 0x31, 0x30, 0x36, 0x0D}));

    // Once the PLC answers, the same channel connects.
    plc.SetFault(RequestKind::Connect, Fault::None);
    m_messages.Clear();
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_CONNECT, 0, 0), 1);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(BridgeTest, OtherOpenResultIsReturnedAndTheLinkReleased) {
    // A native USB device held by another program: 104.
    SimulatedUsbDriver driver;
    driver.Plug(0, "PLC-1").busy = true;
    LinkEnvironment env{&driver, m_dir.path(), m_dir.path()};
    SetLinkEnvironment(&env);
    struct Restore {
        ~Restore() { SetLinkEnvironment(nullptr); }
    } restore;
    WriteSettings({"COM5,USB,,,No"});
    CreateChannels();
    EXPECT_EQ(Messages(), std::vector<int>({114}));
    m_messages.Clear();
    EXPECT_EQ(m_manager->ConnectAll(), 104);
    EXPECT_TRUE(Messages().empty());
    EXPECT_FALSE(Channel(0).IsConnected());
    EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());
    m_manager.reset();
}

}  // namespace
}  // namespace varnock::test
