// Host requests into the PLC and replies back into the virtual port.
#include "tests/bridge/BridgeFixture.h"

namespace varnock::test {
namespace {

ByteArray Counting(int n, int from = 0) {
    ByteArray out;
    for (int i = 0; i < n; ++i) out.Add(uint8_t(from + i));
    return out;
}

class HostRequestTest : public BridgeTest {
protected:
    // One connected channel; serial over a pty pair or Ethernet on `address`.
    PlcSimulator& Connect(const std::string& address, const std::string& custom = IniValues().custom) {
        bool serial = address.empty();
        PlcSimulator& plc = serial ? SerialPlc("COM3") : TcpPlc(address);
        ConnectOne(serial ? "COM6,COM3,,,No" : "COM5,Ethernet," + address + ",,No", {custom});
        plc.ClearRequests();
        return plc;
    }
    static std::vector<ByteArray> PassThroughData(PlcSimulator& plc) {
        std::vector<ByteArray> out;
        for (auto& r : plc.RequestsOf(RequestKind::PassThrough))
            out.emplace_back(r.payload.data() + 6, r.payload.GetSize() - 6);
        return out;
    }
};

TEST_F(HostRequestTest, PauseEndsARequestAndBlocksHaveTheConfiguredSize) {
    PlcSimulator& plc = Connect("127.0.0.220",
                                "MaxTimeBetweenLDRData=30\nBlockTransferSizeInBytes=8\n"
                                "PLCDataBytesToReadInMonitorTime=4096\n");
    ASSERT_TRUE(m_host.Write(Bytes("abc")));
    PumpFor(std::chrono::milliseconds(40));
    ASSERT_TRUE(m_host.Write(Bytes("def")));
    EXPECT_EQ(m_host.Read(6), Bytes("abcdef"));
    EXPECT_EQ(PassThroughData(plc), std::vector<ByteArray>({Bytes("abcdef")}));

    plc.ClearRequests();
    ASSERT_TRUE(m_host.Write(Bytes("ghi")));
    PumpFor(std::chrono::milliseconds(900));
    ASSERT_TRUE(m_host.Write(Bytes("jkl")));
    EXPECT_EQ(m_host.Read(6), Bytes("ghijkl"));
    EXPECT_EQ(PassThroughData(plc), std::vector<ByteArray>({Bytes("ghi"), Bytes("jkl")}));

    // B bytes as one frame, 2B+1 as B, B and 1, each with the next number.
    plc.SetFault(RequestKind::PassThrough, Fault::NoAnswer);
    plc.ClearRequests();
    ASSERT_TRUE(m_host.Write(Counting(8)));
    ASSERT_TRUE(PumpUntil([&] { return PassThroughData(plc).size() == 1 && Channel(0).m_bIdle == 0; }));
    PumpFor(std::chrono::milliseconds(400));
    EXPECT_EQ(PassThroughData(plc), std::vector<ByteArray>({Counting(8)}));

    plc.ClearRequests();  // 2B+1
    ASSERT_TRUE(m_host.Write(Counting(17, 100)));
    ASSERT_TRUE(PumpUntil([&] { return PassThroughData(plc).size() >= 3; }));
    PumpFor(std::chrono::milliseconds(400));
    EXPECT_EQ(PassThroughData(plc),
              std::vector<ByteArray>({Counting(8, 100), Counting(8, 108), Counting(1, 116)}));
    auto frames = plc.RequestsOf(RequestKind::PassThrough);
    ASSERT_EQ(frames.size(), 3u);
    for (int i = 1; i < 3; ++i) EXPECT_EQ(frames[i].sequence, frames[i - 1].sequence % 255 + 1);
}

TEST_F(HostRequestTest, ReplyInSeveralFramesOverSerial) {
    PlcSimulator& plc = Connect("");
    plc.SetReplyFrames(2);
    ByteArray data{0x10, 0x10, 'x', 0x10, 0x03, 'y', 0x10, 0x02, 0x10};
    ASSERT_TRUE(m_host.Write(data));
    EXPECT_EQ(m_host.Read(data.GetSize()), data);

    // Cut right after a lone DLE: inside a stuffed pair, and between the
    // DLE and ETX at a frame's end.
    plc.SetReplyFrames(1);
    ByteArray one{'a', 0x10, 'b'};
    ByteArray reply = plcsim::BuildReplyFrame(1, 1, 3, PassPayload(one, 2), true);
    int pair = 18;
    while (reply[pair] != 0x10 || reply[pair + 1] != 0x10) ++pair;
    for (int cut : {pair + 1, reply.GetSize() - 3}) {
        plc.SetWriteCuts({cut}, std::chrono::milliseconds(120));
        ASSERT_TRUE(m_host.Write(one));
        EXPECT_EQ(m_host.Read(one.GetSize()), one);
    }
}

TEST_F(HostRequestTest, BadRepliesAreDropped) {
    for (bool serial : {false, true}) {
        SCOPED_TRACE(serial ? "serial" : "ethernet");
        m_manager.reset();
        m_sims.clear();
        m_host.Close();
        PlcSimulator& plc = Connect(serial ? "" : "127.0.0.206");
        for (Fault fault : {Fault::BadPrefix, Fault::StaleSequence, Fault::BadCrc}) {
            SCOPED_TRACE(plcsim::FaultName(fault));
            plc.SetFault(RequestKind::PassThrough, fault, 1);
            ASSERT_TRUE(m_host.Write(Bytes("bad")));
            ASSERT_TRUE(PumpUntil([&] { return !plc.RequestsOf(RequestKind::PassThrough).empty(); }));
            EXPECT_TRUE(m_host.Read(1, std::chrono::milliseconds(400)).IsEmpty());
            // The next request is answered as usual.
            ASSERT_TRUE(m_host.Write(Bytes("good")));
            EXPECT_EQ(m_host.Read(4), Bytes("good"));
            plc.ClearRequests();
        }
    }
}

// A block as large as the frame's length field can carry, and no larger.
TEST_F(HostRequestTest, BlockSizeIsCappedByTheLengthField) {
    PlcSimulator& plc = Connect("127.0.0.218", "BlockTransferSizeInBytes=70000\n");
    plc.SetFault(RequestKind::PassThrough, Fault::NoAnswer);
    ByteArray data = Counting(BridgeChannel::kMaxBlockSize + 10);
    ASSERT_TRUE(m_host.Write(data));
    ASSERT_TRUE(PumpUntil([&] { return PassThroughData(plc).size() == 2; }));
    auto blocks = PassThroughData(plc);
    EXPECT_EQ(blocks[0].GetSize(), BridgeChannel::kMaxBlockSize);
    blocks[0].Append(blocks[1]);
    EXPECT_EQ(blocks[0], data);
}

// A host faster than the link is held back by its port, as a UART's flow
// control would hold it, and nothing it wrote is lost.
TEST_F(HostRequestTest, AHostFasterThanTheLinkIsHeldBackLosingNothing) {
    PlcSimulator& plc = Connect("", "BlockTransferSizeInBytes=5000\n");
    plc.SetFault(RequestKind::PassThrough, Fault::NoAnswer);
    plc.SetReadPace(4096, std::chrono::milliseconds(2));
    ByteArray data;
    for (int i = 0; i < 4 << 20; ++i) data.Add(static_cast<uint8_t>(i * 7 + i / 251));
    int written = 0;
    bool heldBack = false;
    auto nextLook = std::chrono::steady_clock::now();
    ASSERT_TRUE(PumpUntil(
        [&] {
            for (ssize_t n = 1; n > 0 && written < data.GetSize(); written += std::max<int>(int(n), 0))
                n = ::write(m_host.Fd(), data.data() + written,
                            static_cast<size_t>(data.GetSize() - written));
            heldBack = heldBack || Channel(0).LDRQueueFull();
            // Copying what the PLC got takes a while: now and then.
            if (written < data.GetSize() || std::chrono::steady_clock::now() < nextLook) return false;
            nextLook = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            int received = 0;
            for (const ByteArray& block : PassThroughData(plc)) received += block.GetSize();
            return received == data.GetSize();
        },
        std::chrono::seconds(20)));
    EXPECT_TRUE(heldBack);
    ByteArray received;
    for (const ByteArray& block : PassThroughData(plc)) received.Append(block);
    EXPECT_EQ(received, data);
}

// The other way: a reply longer than the port queues, to a host that stops
// reading for longer than a write may wait, is held back meanwhile, the
// link behind it, and comes whole.
TEST_F(HostRequestTest, AHostThatPausesHoldsTheReplyBackLosingNothing) {
    PlcSimulator& plc =
        Connect("127.0.0.220", "BlockTransferSizeInBytes=5000\nPLCDataBytesToReadInMonitorTime=4096\n");
    const ByteArray request = Counting(4000);
    plc.SetReplyRepeat(100);
    ASSERT_TRUE(m_host.Write(request));
    PumpFor(std::chrono::milliseconds(300));
    ByteArray reply;
    for (int i = 0; i < 100; ++i) reply.Append(request);
    EXPECT_TRUE(m_host.Read(reply.GetSize(), std::chrono::seconds(10)) == reply);
}

TEST_F(HostRequestTest, HostSettingsChangeWaitsForTheReplyPhase) {
    PlcSimulator& plc = Connect("127.0.0.217", "");
    // Unchanged settings: nothing goes out.
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_SYNC_COMM_PARAMS, 0, 0), 1);
    EXPECT_TRUE(plc.Requests().empty());

    // Changed in the middle of a reply: the reply comes whole, and the new
    // codes go out before the next request.
    Trickle(plc, 4, 4, false, std::chrono::milliseconds(150));
    ASSERT_TRUE(m_host.Write(Counting(16)));
    ASSERT_EQ(m_host.Read(4), Counting(4));
    termios t{};
    ASSERT_EQ(::tcgetattr(m_host.Fd(), &t), 0);
    ::cfsetspeed(&t, B19200);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(::tcsetattr(m_host.Fd(), TCSANOW, &t), 0);
    EXPECT_EQ(m_host.Read(12), Counting(12, 4));
    plc.SetReplyFrames(1);
    plc.SetWriteCuts({}, std::chrono::milliseconds(0));
    ASSERT_TRUE(m_host.Write(Bytes("next")));
    EXPECT_EQ(m_host.Read(4), Bytes("next"));

    auto requests = plc.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].kind, RequestKind::SerialParameters);
    EXPECT_EQ(requests[1].payload, ByteArray({0x21, 0x01, 0xFF, 0x06, 0x01, 0x02, 0x02, 0x00}));
    EXPECT_EQ(requests[2].kind, RequestKind::PassThrough);
    EXPECT_EQ(Channel(0).m_commParams.m_nBaudRate, 19200);
}

// Values that cannot work are replaced by ones that do, and no wait of the
// channel holds its teardown.
TEST_F(HostRequestTest, ImpossibleSettingsFallBackAndTeardownStaysQuick) {
    const std::pair<const char*, bool> cases[] = {
        {"PLCDataBytesToReadInMonitorTime=0\n", false},
        {"PLCDataBytesToReadInMonitorTime=-1\n", false},
        {"PLCDataMonitorTime=2147483647\nPLCDataBytesToReadInMonitorTime=4096\n", false},
        {"PLCDataMonitorTime=0\n", false},
        {"MaxTimeBetweenLDRData=2147483647\n", false},
        {"WaitAfterACCommand_ACK=2147483647\nBaudRate=19200\n", true}};
    for (auto [custom, serial] : cases) {
        SCOPED_TRACE(custom);
        m_manager.reset();
        m_sims.clear();
        m_host.Close();
        Connect(serial ? "" : "127.0.0.219", custom);
        ASSERT_TRUE(m_host.Write(Bytes("hello")));
        EXPECT_EQ(m_host.Read(5), Bytes("hello"));
        ASSERT_TRUE(m_host.Write(Bytes("and teardown at once")));
        auto start = std::chrono::steady_clock::now();
        m_manager.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
}

}  // namespace
}  // namespace varnock::test
