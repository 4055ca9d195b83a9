// The bridge with simulated PLCs over TCP and over a pty pair standing in for the serial cable.
#include <signal.h>
#include <sys/wait.h>

#include "bridge/FrameTrace.h"
#include "bridge/MainWindowLink.h"
#include "common/Messages.h"
#include "links/RealPortFactory.h"
#include "tests/bridge/BridgeFixture.h"
#include "tests/links/SimulatedUsbDriver.h"

namespace varnock::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using SteadyClock = std::chrono::steady_clock;

const ByteArray kConnect{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
const ByteArray kDisconnect{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
// 9600 baud, 8 data bits, even parity, one stop bit.
const ByteArray kParams9600{0x21, 0x01, 0xFF, 0x05, 0x01, 0x02, 0x00, 0x00};

std::string Counting(int n, int from = 0) {
    std::string out;
    for (int i = 0; i < n; ++i) out += char(from + i);
    return out;
}

std::string Pattern(int n) {
    std::string out(static_cast<size_t>(n), '\0');
    for (int i = 0; i < n; ++i) out[i] = char(i * 7 + i / 251);
    return out;
}

// Connect and disconnect send only these commands; a request between, DLEs and all, goes as one frame.
TEST_F(BridgeTest, ConnectEchoAndDisconnectOnTheWire) {
    struct Command {
        uint8_t hb1, hb2;
        ByteArray payload;
    };
    const Command speed19200{1, 1, {0x05, 0x30, 0x30, 0x46, 0x46, 0x41, 0x43, 0x30, 0x32, 0x30, 0x35, 0x0D}};
    const Command params{0, 0, kParams9600}, connect{1, 3, kConnect}, goodbye{1, 3, kDisconnect};
    const struct {
        const char* row;
        const char* custom;
        std::vector<Command> connect, disconnect;
    } cases[] = {
        // Only serial links ask the PLC for another rate.
        {"COM5,Ethernet,127.0.0.201,,No", "BaudRate=19200\n", {params, connect}, {goodbye}},
        {"COM6,COM3,,,No", "BaudRate=19200\n", {speed19200, params, connect}, {goodbye}},
        {"COM6,COM3,,,Yes", "", {params}, {}},
    };
    const std::string data{0x10, 'a', 0x10, 0x10, 0x03, 0x10, 0x02};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        TearDown();
        const bool serial = std::string(c.row).find("COM3") != std::string::npos;
        PlcSimulator& plc = Plc(serial ? "COM3" : "127.0.0.201");
        WriteSettings({c.row}, std::string(c.custom) + "PLCDataBytesToReadInMonitorTime=4096\n");
        CreateChannels();
        ASSERT_EQ(m_manager->ConnectAll(), 1);
        OpenHost(m_host, 0);
        auto expectSent = [&](const std::vector<Command>& commands) {
            auto requests = plc.Requests();
            ASSERT_EQ(requests.size(), commands.size());
            for (size_t i = 0; i < commands.size(); ++i)
                EXPECT_EQ(requests[i].wire, RequestWire(requests[i].sequence, commands[i].hb1,
                                                        commands[i].hb2, commands[i].payload, serial));
            plc.ClearRequests();
        };
        expectSent(c.connect);
        EXPECT_TRUE(Messages().empty());
        if (serial) {
            EXPECT_EQ(Channel(0).Config()->m_nBaudRate, c.connect.size() == 3 ? 19200 : 9600);
        }
        ASSERT_TRUE(m_host.Write(data));
        EXPECT_EQ(m_host.Read(data.size()), data);
        expectSent({{1, 3, PassPayload(Bytes(data))}});

        // The local port goes back to 9600.
        EXPECT_EQ(m_manager->DisconnectAll(), 1);
        expectSent(c.disconnect);
        EXPECT_EQ(Channel(0).Config()->m_nBaudRate, 9600);
        EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());
        EXPECT_FALSE(Channel(0).IsConnected());
    }
}

TEST_F(BridgeTest, ConnectAnsweredWrongOrNotAtAll) {
    PlcSimulator& plc = Plc("127.0.0.202");
    PlcSimulator& serialPlc = Plc("COM3");
    WriteSettings({"COM5,Ethernet,127.0.0.202,,No", "COM6,COM3,,,No"});
    CreateChannels();

    plc.SetFault(RequestKind::Connect, Fault::WrongBytes);
    serialPlc.SetFault(RequestKind::Connect, Fault::NoAnswer);
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_CONNECT, 0, 0), 0);
    EXPECT_EQ(Messages(), std::vector<int>({kMsgPortNotOpened}));
    EXPECT_NE(m_messages.Entries()[0].text.find("Ethernet"), std::string::npos);
    EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());
    EXPECT_FALSE(Channel(0).IsConnected());

    m_messages.Clear();
    EXPECT_EQ(Channel(1).Window().SendMessage(WM_CHANNEL_CONNECT, 0, 0), 0);
    EXPECT_EQ(Messages(), std::vector<int>({kMsgNoCommandReply, kMsgPortNotOpened}));
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
    ScopedUsbEnvironment env(driver);
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

class HostRequestTest : public BridgeTest {
protected:
    PlcSimulator& Connect(const std::string& link, const std::string& custom = kCustom) {
        PlcSimulator& plc = ConnectOne(link, custom);
        plc.ClearRequests();
        return plc;
    }
    static std::vector<std::string> PassThroughData(PlcSimulator& plc) {
        std::vector<std::string> out;
        for (auto& r : plc.RequestsOf(RequestKind::PassThrough))
            out.emplace_back(reinterpret_cast<const char*>(r.payload.data()) + 6, r.payload.GetSize() - 6);
        return out;
    }
};

TEST_F(HostRequestTest, PauseEndsARequestAndBlocksHaveTheConfiguredSize) {
    PlcSimulator& plc = Connect("127.0.0.220",
                                "MaxTimeBetweenLDRData=30\nBlockTransferSizeInBytes=8\n"
                                "PLCDataBytesToReadInMonitorTime=4096\n");
    using Blocks = std::vector<std::string>;
    ASSERT_TRUE(m_host.Write("abc"));
    PumpFor(milliseconds(40));
    ASSERT_TRUE(m_host.Write("def"));
    EXPECT_EQ(m_host.Read(6), "abcdef");
    EXPECT_EQ(PassThroughData(plc), Blocks({"abcdef"}));

    plc.ClearRequests();
    ASSERT_TRUE(m_host.Write("ghi"));
    PumpFor(milliseconds(900));
    ASSERT_TRUE(m_host.Write("jkl"));
    EXPECT_EQ(m_host.Read(6), "ghijkl");
    EXPECT_EQ(PassThroughData(plc), Blocks({"ghi", "jkl"}));

    // B bytes as one frame, 2B+1 as B, B and 1, each with the next number.
    plc.SetFault(RequestKind::PassThrough, Fault::NoAnswer);
    plc.ClearRequests();
    ASSERT_TRUE(m_host.Write(Counting(8)));
    ASSERT_TRUE(PumpUntil([&] { return PassThroughData(plc).size() == 1 && Channel(0).m_bIdle == 0; }));
    PumpFor(milliseconds(400));
    EXPECT_EQ(PassThroughData(plc), Blocks({Counting(8)}));

    plc.ClearRequests();
    ASSERT_TRUE(m_host.Write(Counting(17, 100)));
    ASSERT_TRUE(PumpUntil([&] { return PassThroughData(plc).size() >= 3; }));
    PumpFor(milliseconds(400));
    EXPECT_EQ(PassThroughData(plc), Blocks({Counting(8, 100), Counting(8, 108), Counting(1, 116)}));
    auto frames = plc.RequestsOf(RequestKind::PassThrough);
    ASSERT_EQ(frames.size(), 3u);
    for (int i = 1; i < 3; ++i) EXPECT_EQ(frames[i].sequence, frames[i - 1].sequence % 255 + 1);
}

// A request the host closes the port after, or the user disconnects in its pause, still goes before goodbye.
TEST_F(HostRequestTest, TheLastRequestGoesOutWhenThePortClosesOrTheUserDisconnects) {
    for (bool disconnect : {false, true}) {
        SCOPED_TRACE(disconnect ? "disconnect" : "port closed");
        TearDown();
        PlcSimulator& plc = Connect("127.0.0.222", "MaxTimeBetweenLDRData=100\n");
        ASSERT_TRUE(m_host.Write("last"));
        if (disconnect) {
            // In its pause: the send thread runs (not the idle link's probing).
            ASSERT_TRUE(PumpUntil([&] { return Channel(0).RunningWorkers() == 1; }));
            EXPECT_EQ(m_manager->DisconnectAll(), 1);
        } else {
            m_host.Close();
        }
        ASSERT_TRUE(PumpUntil([&] { return !PassThroughData(plc).empty(); }, milliseconds(3000)));
        EXPECT_EQ(PassThroughData(plc), std::vector<std::string>{"last"});
        EXPECT_TRUE(!disconnect || plc.Requests().back().kind == RequestKind::Disconnect);
    }
}

TEST_F(HostRequestTest, BadRepliesAreDropped) {
    for (bool serial : {false, true}) {
        SCOPED_TRACE(serial ? "serial" : "ethernet");
        TearDown();
        PlcSimulator& plc = Connect(serial ? "COM3" : "127.0.0.206");
        for (Fault fault : {Fault::BadPrefix, Fault::StaleSequence, Fault::BadCrc}) {
            SCOPED_TRACE(plcsim::FaultName(fault));
            plc.SetFault(RequestKind::PassThrough, fault, 1);
            ASSERT_TRUE(m_host.Write("bad"));
            ASSERT_TRUE(PumpUntil([&] { return !plc.RequestsOf(RequestKind::PassThrough).empty(); }));
            EXPECT_EQ(m_host.Read(1, 400), "");
            // The next request is answered as usual.
            ASSERT_TRUE(m_host.Write("good"));
            EXPECT_EQ(m_host.Read(4), "good");
            plc.ClearRequests();
        }
    }
}

// A block as large as the frame's length field can carry, and no larger.
TEST_F(HostRequestTest, BlockSizeIsCappedByTheLengthField) {
    PlcSimulator& plc = Connect("127.0.0.218", "BlockTransferSizeInBytes=70000\n");
    plc.SetFault(RequestKind::PassThrough, Fault::NoAnswer);
    const std::string data = Counting(BridgeChannel::kMaxBlockSize + 10);
    ASSERT_TRUE(m_host.Write(data));
    ASSERT_TRUE(PumpUntil([&] { return PassThroughData(plc).size() == 2; }));
    auto blocks = PassThroughData(plc);
    EXPECT_EQ(blocks[0].size(), size_t(BridgeChannel::kMaxBlockSize));
    EXPECT_EQ(blocks[0] + blocks[1], data);
}

// A host faster than the link is held back by its port, as by a UART's flow control, losing nothing.
TEST_F(HostRequestTest, AHostFasterThanTheLinkIsHeldBackLosingNothing) {
    PlcSimulator& plc = Connect("COM3", "BlockTransferSizeInBytes=5000\n");
    plc.SetFault(RequestKind::PassThrough, Fault::NoAnswer);
    plc.SetReadPace(4096, milliseconds(2));
    const std::string data = Pattern(4 << 20);
    size_t written = 0;
    bool heldBack = false;
    std::string received;
    auto nextLook = SteadyClock::now();
    ASSERT_TRUE(PumpUntil(
        [&] {
            for (ssize_t n = 1; n > 0 && written < data.size(); written += size_t(std::max<ssize_t>(n, 0)))
                n = ::write(m_host.Fd(), data.data() + written, data.size() - written);
            heldBack = heldBack || Channel(0).LDRQueueFull();
            // Copying what the PLC got takes a while: now and then.
            if (written < data.size() || SteadyClock::now() < nextLook) return false;
            nextLook = SteadyClock::now() + milliseconds(100);
            received.clear();
            for (const std::string& block : PassThroughData(plc)) received += block;
            return received.size() == data.size();
        },
        seconds(20)));
    EXPECT_TRUE(heldBack);
    EXPECT_TRUE(received == data);
}

// A reply longer than the port queues, to a host pausing longer than a write waits: held back, comes whole.
TEST_F(HostRequestTest, AHostThatPausesHoldsTheReplyBackLosingNothing) {
    PlcSimulator& plc =
        Connect("127.0.0.221", "BlockTransferSizeInBytes=5000\nPLCDataBytesToReadInMonitorTime=4096\n");
    const std::string request = Counting(4000);
    plc.SetReplyRepeat(100);
    ASSERT_TRUE(m_host.Write(request));
    PumpFor(milliseconds(300));
    std::string reply;
    for (int i = 0; i < 100; ++i) reply += request;
    EXPECT_TRUE(m_host.Read(reply.size(), 10000) == reply);
}

// A serial PLC cannot be held back: reply bytes beyond a full queue, to a slow host, are dropped,
// counted and said on stderr, in the trace and in the channel's status.
TEST_F(HostRequestTest, SerialReplyBytesBeyondTheQueueAreCountedAsLost) {
    PlcSimulator& plc =
        Connect("COM3", "BlockTransferSizeInBytes=5000\nPLCDataBytesToReadInMonitorTime=4096\n");
    const std::string trace = (m_dir.path() / "trace").string();
    ASSERT_TRUE(StartFrameTrace(trace));
    testing::internal::CaptureStderr();
    plc.SetReplyRepeat(1500);  // 6 MB, 2 MiB beyond the queue
    ASSERT_TRUE(m_host.Write(Counting(4000)));
    std::atomic<bool> fast{false}, done{false};
    std::thread reader([&] {
        // A byte now and then: slow, but not stalled.
        while (!done) {
            m_host.Read(fast ? 65536 : 1, 50);
            if (!fast) std::this_thread::sleep_for(milliseconds(200));
        }
    });
    PumpFor(milliseconds(3000));
    fast = true;
    const bool said =
        PumpUntil([&] { return Channel(0).Status().State() == ChannelState::RepliesLost; }, seconds(20));
    done = true;
    reader.join();
    StopFrameTrace();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(said);
    EXPECT_NE(err.find("varnock: COM5: "), std::string::npos) << err;
    EXPECT_NE(err.find(" bytes of the PLC's replies lost"), std::string::npos) << err;
    EXPECT_NE(ReadFile(trace).find(" COM5 from-plc lost seq - len "), std::string::npos);
}

TEST_F(HostRequestTest, HostSettingsChangeWaitsForTheReplyPhase) {
    PlcSimulator& plc = Connect("127.0.0.217", "");
    // Unchanged settings: nothing goes out.
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_SYNC_COMM_PARAMS, 0, 0), 1);
    EXPECT_TRUE(plc.Requests().empty());

    // Changed amid a reply: the reply comes whole, the new codes go out before the next request.
    Trickle(plc, 4, 4, false, milliseconds(150));
    ASSERT_TRUE(m_host.Write(Counting(16)));
    ASSERT_EQ(m_host.Read(4), Counting(4));
    ASSERT_EQ(m_host.SetLine(B19200, CSTOPB, 0), 0);
    EXPECT_EQ(m_host.Read(12), Counting(12, 4));
    plc.SetReplyFrames(1);
    plc.SetWriteCuts({}, milliseconds(0));
    ASSERT_TRUE(m_host.Write("next"));
    EXPECT_EQ(m_host.Read(4), "next");

    auto requests = plc.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].kind, RequestKind::SerialParameters);
    EXPECT_EQ(requests[1].payload, ByteArray({0x21, 0x01, 0xFF, 0x06, 0x01, 0x02, 0x02, 0x00}));
    EXPECT_EQ(requests[2].kind, RequestKind::PassThrough);
    EXPECT_EQ(Channel(0).m_commParams.m_nBaudRate, 19200);
}

// Unworkable values are replaced, and no wait of the channel (weeks long) holds its teardown.
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
        TearDown();
        Connect(serial ? "COM3" : "127.0.0.219", custom);
        ASSERT_TRUE(m_host.Write("hello"));
        EXPECT_EQ(m_host.Read(5), "hello");
        ASSERT_TRUE(m_host.Write("and teardown at once"));
        auto start = SteadyClock::now();
        m_manager.reset();
        EXPECT_LT(SteadyClock::now() - start, seconds(5));
    }
}

struct RecordingMainWindow : MainWindowLink {
    explicit RecordingMainWindow(BridgeChannel& c) : channel(c) {}
    void OnLinkLost() override {
        found = std::string(channel.IsConnected() ? "connected" : "not connected") +
                (channel.LinkHolder().IsOpen() ? ", link open" : ", link closed");
        ++calls;
    }
    BridgeChannel& channel;
    std::string found;  // written before `calls` counts
    std::atomic<int> calls{0};
};

// Probe times and counts are the monitor's own test; here the probes on the wire and the lost link.
TEST_F(BridgeTest, IdleEthernetIsProbedAndLostWithoutGoodbye) {
    UseScaledClock(25);
    PlcSimulator& plc = Plc("127.0.0.210");
    WriteSettings({"COM5,Ethernet,127.0.0.210,,No"});
    CreateChannels();
    RecordingMainWindow window(Channel(0));
    m_manager->SetMainWindow(&window);
    ASSERT_EQ(m_manager->ConnectAll(), 1);
    plc.ClearRequests();
    plc.SetFault(RequestKind::Probe, Fault::NoAnswer);

    ASSERT_TRUE(PumpUntil([&] { return window.calls == 1; }, seconds(30)));
    const auto probes = plc.RequestsOf(RequestKind::Probe);
    ASSERT_EQ(probes.size(), 4u);
    EXPECT_EQ(probes[0].wire, RequestWire(probes[0].sequence, 0x00, 0x00, {0x00}, false));
    EXPECT_TRUE(plc.RequestsOf(RequestKind::Disconnect).empty());
    EXPECT_EQ(window.found, "not connected, link closed");
    EXPECT_EQ(Channel(0).m_bIdle.load(), 1);
}

TEST_F(BridgeTest, DisconnectWaitsForTheReplyPhase) {
    PlcSimulator& plc = ConnectOne("127.0.0.212");
    Trickle(plc, 10, 2, false, milliseconds(30));
    const std::string data = "0123456789abcdefghij";
    ASSERT_TRUE(m_host.Write(data));
    std::string got = m_host.Read(1);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(Channel(0).m_bIdle.load(), 0);

    // The frames still coming are delivered while disconnect waits.
    EXPECT_EQ(m_manager->DisconnectAll(), 1);
    EXPECT_EQ(Channel(0).m_bIdle.load(), 1);
    auto requests = plc.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().kind, RequestKind::Disconnect);
    EXPECT_EQ(got + m_host.Read(data.size() - got.size(), 500), data);
    EXPECT_TRUE(PumpUntil([&] { return Channel(0).RunningWorkers() == 0; }));
}

// A never silent PLC: other channels' link operations take turns with its reads; teardown ends it at once.
TEST_F(BridgeTest, AChattyPlcHoldsUpNoOtherChannelNorTeardown) {
    HostPort other;
    ASSERT_NO_FATAL_FAILURE(ConnectTwo("127.0.0.214", "127.0.0.215", other));
    PlcSimulator& chatty = *m_sims[0];
    auto worstRoundTrip = [&](int times) {
        SteadyClock::duration worst{};
        for (int i = 0; i < times; ++i) {
            auto start = SteadyClock::now();
            EXPECT_TRUE(other.Write("ping"));
            EXPECT_EQ(other.Read(4), "ping");
            worst = std::max(worst, SteadyClock::now() - start);
        }
        return worst;
    };
    auto quiet = worstRoundTrip(3);
    chatty.SetChatter(ByteArray(std::vector<uint8_t>(64, 0xAA)));
    ASSERT_TRUE(m_host.Write("never answered in full"));
    ASSERT_TRUE(PumpUntil([&] { return !chatty.RequestsOf(RequestKind::PassThrough).empty(); }));
    auto chattering = worstRoundTrip(5);
    EXPECT_LT(chattering, quiet + seconds(1)) << "quiet " << quiet.count() << " ns";
    EXPECT_EQ(Channel(0).m_bIdle.load(), 0);

    // Teardown, as the window closes: no disconnect command.
    auto start = SteadyClock::now();
    m_manager.reset();
    EXPECT_LT(SteadyClock::now() - start, seconds(5));
    EXPECT_TRUE(chatty.RequestsOf(RequestKind::Disconnect).empty());
}

// Disconnect ends a chatty PLC's reply phase and says no goodbye, which the receive thread would take.
TEST_F(BridgeTest, DisconnectEndsAChattyReplyPhaseWithoutGoodbye) {
    UseScaledClock(30);
    // Reads longer than the PLC's pauses: none of them comes back empty.
    PlcSimulator& plc =
        ConnectOne("127.0.0.216", "PLCDataMonitorTime=20000\nPLCDataBytesToReadInMonitorTime=4096\n");
    plc.SetChatter(ByteArray(std::vector<uint8_t>(64, 0xAA)));
    ASSERT_TRUE(m_host.Write("start"));
    ASSERT_TRUE(PumpUntil([&] { return !plc.RequestsOf(RequestKind::PassThrough).empty(); }));

    EXPECT_EQ(m_manager->DisconnectAll(), 0);
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(plc.RequestsOf(RequestKind::Disconnect).empty());
    EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());
    EXPECT_TRUE(PumpUntil([&] { return Channel(0).RunningWorkers() == 0; }));
}

class OutsideFaultTest : public BridgeTest {
protected:
    // The reply phase is over; an idle Ethernet channel is probed at once, which holds m_bIdle at 0.
    bool WaitIdle(int i, milliseconds timeout = seconds(10)) {
        return PumpUntil([&] { return Channel(i).RunningWorkers() == 0; }, timeout);
    }
};

TEST_F(OutsideFaultTest, SerialCablePulledDuringAReply) {
    PlcSimulator& plc = ConnectOne("COM94");
    Trickle(plc, 5, 8, true, milliseconds(200));
    const std::string data = "0123456789abcdefghijklmnopqrstuvwxyz0123";
    ASSERT_TRUE(m_host.Write(data));
    ASSERT_EQ(m_host.Read(8), "01234567");
    m_sims.clear();  // the cable pulled: the PLC's end of the line closes

    // All there is came before the pull; still connected (serial unwatched), free within its silence limit.
    ASSERT_TRUE(WaitIdle(0, seconds(25)));
    EXPECT_EQ(m_host.Read(1, 300), "");
    EXPECT_TRUE(Channel(0).IsConnected());
    ASSERT_TRUE(m_host.Write("ping"));
    EXPECT_EQ(m_host.Read(1, 500), "");
    ASSERT_TRUE(WaitIdle(0, seconds(25)));

    // Disconnect says why the PLC did not say goodbye, without a hang.
    auto start = SteadyClock::now();
    EXPECT_EQ(m_manager->DisconnectAll(), 0);
    EXPECT_LT(SteadyClock::now() - start, seconds(5));
    EXPECT_EQ(Messages(), std::vector<int>({115}));
    EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());

    // The cable back in: connect works again.
    m_messages.Clear();
    Plc("COM94");
    ASSERT_EQ(m_manager->ConnectAll(), 1);
    ASSERT_TRUE(m_host.Write(data));
    EXPECT_EQ(m_host.Read(data.size()), data);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(OutsideFaultTest, HostKilledWhileAReplyIsDelivered) {
    PlcSimulator& plc = ConnectOne("127.0.0.94", kCustom, false);
    Trickle(plc, 10, 4, false, milliseconds(60));
    const std::string path = (m_devices.path() / "COM5").string();
    const char request[] = "0123456789abcdefghijklmnopqrstuvwxyz0123";
    pid_t child = ::fork();  // the host software; only async-signal-safe calls after fork
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || ::write(fd, request, sizeof request - 1) != sizeof request - 1) ::_exit(1);
        for (char buf[64]; ::read(fd, buf, sizeof buf) >= 0;) continue;
        ::_exit(2);
    }
    ASSERT_TRUE(PumpUntil([&] { return !plc.RequestsOf(RequestKind::PassThrough).empty(); }));
    PumpFor(milliseconds(150));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    // The rest of the answer goes nowhere, the phase ends once quiet; the next session sees only its own.
    ASSERT_TRUE(WaitIdle(0));
    EXPECT_TRUE(Channel(0).IsConnected());
    plc.SetReplyFrames(1);
    plc.SetWriteCuts({}, milliseconds(0));
    OpenHost(m_host, 0);
    EXPECT_EQ(m_host.Read(1, 300), "");
    ASSERT_TRUE(m_host.Write("next session"));
    EXPECT_EQ(m_host.Read(12), "next session");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(OutsideFaultTest, DeviceDirectoryDeletedUnderARunningBridge) {
    HostPort serialHost;
    ASSERT_NO_FATAL_FAILURE(ConnectTwo("127.0.0.96", "COM98", serialHost));

    std::filesystem::remove_all(m_devices.path());
    // Open ports and lines carry on; both requests go out before either reply, each channel gets its own.
    for (auto& plc : m_sims) plc->SetReplyDelay(milliseconds(250));
    ASSERT_TRUE(m_host.Write("still here"));
    ASSERT_TRUE(serialHost.Write("\x10 still here"));
    EXPECT_EQ(m_host.Read(10), "still here");
    EXPECT_EQ(serialHost.Read(12), "\x10 still here");
    for (auto& plc : m_sims) plc->SetReplyDelay(milliseconds(0));
    EXPECT_EQ(m_manager->DisconnectAll(), 1);
    EXPECT_TRUE(Messages().empty());

    // A serial port gone from the directory is said; ConnectAll reports the last channel's result.
    EXPECT_EQ(m_manager->ConnectAll(), 0);
    EXPECT_EQ(Messages(), std::vector<int>({114}));
    EXPECT_NE(m_messages.Entries()[0].text.find("COM98"), std::string::npos);
    EXPECT_TRUE(Channel(0).IsConnected());
    EXPECT_FALSE(Channel(1).IsConnected());

    auto start = SteadyClock::now();
    m_manager.reset();
    EXPECT_LT(SteadyClock::now() - start, seconds(5));
}

}  // namespace
}  // namespace varnock::test
