// The channel's window, the monitor's probe and link loss, and disconnect
// and teardown while a reply phase runs, also one that a PLC never lets end.
#include <atomic>
#include <future>

#include "bridge/MainWindowLink.h"
#include "tests/bridge/BridgeFixture.h"

namespace varnock::test {
namespace {

// Notes the channel as the window finds it when told.
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

size_t Probes(PlcSimulator& plc) {
    return plc.RequestsOf(RequestKind::Probe).size();
}

// A worker's send runs on the main thread as it pumps; a destroyed window
// runs nothing more.
TEST_F(BridgeTest, ChannelWindowRunsSendsOnTheMainThreadUntilDestroyed) {
    WriteSettings({"COM5,COM9,,,No"});
    CreateChannels();
    RecordingMainWindow window(Channel(0));
    auto worker = std::async(std::launch::async, [&] {
        return Channel(0).Window().SendMessage(WM_CHANNEL_SET_MAIN_WINDOW, 0,
                                               reinterpret_cast<LPARAM>(&window));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Channel(0).MainWindow(), nullptr);
    EXPECT_TRUE(PumpUntil([&] { return Channel(0).MainWindow() == &window; }));
    EXPECT_EQ(worker.get(), 0);
    Channel(0).Window().Destroy();
    EXPECT_EQ(Channel(0).Window().SendMessage(WM_CHANNEL_SET_MAIN_WINDOW, 0, 0), 0);
    EXPECT_EQ(Channel(0).MainWindow(), &window);
}

TEST_F(BridgeTest, IdleEthernetIsProbedAndLostAfterFourFailures) {
    UseScaledClock(25);
    PlcSimulator& plc = TcpPlc("127.0.0.210");
    WriteSettings({"COM5,Ethernet,127.0.0.210,,No"});
    CreateChannels();
    RecordingMainWindow window(Channel(0));
    m_manager->SetMainWindow(&window);
    ASSERT_EQ(m_manager->ConnectAll(), 1);
    const uint32_t connectedAt = platform::GetTickCount();
    plc.ClearRequests();
    plc.SetFault(RequestKind::Probe, Fault::NoAnswer, 3);

    ASSERT_TRUE(PumpUntil([&] { return platform::GetTickCount() - connectedAt >= 29800; }));
    EXPECT_EQ(Probes(plc), 0u);
    ASSERT_TRUE(PumpUntil([&] { return Probes(plc) == 1; }));
    EXPECT_GE(platform::GetTickCount() - connectedAt, 29980u);
    auto probe = plc.RequestsOf(RequestKind::Probe)[0];
    EXPECT_EQ(probe.wire, RequestWire(probe.sequence, 0x00, 0x00, {0x00}, false));

    // Three failures, then an answer: the count starts again.
    ASSERT_TRUE(PumpUntil([&] { return Probes(plc) == 4; }, std::chrono::seconds(20)));
    plc.SetFault(RequestKind::Probe, Fault::NoAnswer);
    PumpFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(Channel(0).IsConnected());

    ASSERT_TRUE(PumpUntil([&] { return !Channel(0).IsConnected(); }, std::chrono::seconds(30)));
    ASSERT_TRUE(PumpUntil([&] { return window.calls == 1; }));
    EXPECT_EQ(Probes(plc), 8u);
    EXPECT_TRUE(plc.RequestsOf(RequestKind::Disconnect).empty());
    EXPECT_EQ(window.found, "not connected, link closed");
    EXPECT_EQ(Channel(0).m_bIdle.load(), 1);
}

TEST_F(BridgeTest, DisconnectWaitsForTheReplyPhase) {
    PlcSimulator& plc = TcpPlc("127.0.0.212");
    ConnectOne("COM5,Ethernet,127.0.0.212,,No");
    Trickle(plc, 10, 2, false, std::chrono::milliseconds(30));
    ByteArray data = Bytes("0123456789abcdefghij");
    ASSERT_TRUE(m_host.Write(data));
    ByteArray first = m_host.Read(1);
    ASSERT_FALSE(first.IsEmpty());
    EXPECT_EQ(Channel(0).m_bIdle.load(), 0);

    // The frames still coming are delivered while disconnect waits.
    EXPECT_EQ(m_manager->DisconnectAll(), 1);
    EXPECT_EQ(Channel(0).m_bIdle.load(), 1);
    auto requests = plc.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().kind, RequestKind::Disconnect);
    first.Append(m_host.Read(data.GetSize() - first.GetSize(), std::chrono::milliseconds(500)));
    EXPECT_EQ(first, data);
    EXPECT_TRUE(PumpUntil([&] { return Channel(0).RunningWorkers() == 0; }));
}

// A PLC that is never silent keeps its reply phase going: another channel
// keeps its pace meanwhile, and teardown ends the phase at once.
TEST_F(BridgeTest, AChattyPlcHoldsUpNoOtherChannelNorTeardown) {
    PlcSimulator& chatty = TcpPlc("127.0.0.214");
    TcpPlc("127.0.0.215");
    WriteSettings({"COM5,Ethernet,127.0.0.214,,No", "COM6,Ethernet,127.0.0.215,,No"});
    CreateChannels();
    ASSERT_EQ(m_manager->ConnectAll(), 1);
    HostPort other;
    OpenHost(m_host, 0);
    OpenHost(other, 1);
    auto worstRoundTrip = [&](int times) {
        std::chrono::steady_clock::duration worst{};
        for (int i = 0; i < times; ++i) {
            auto start = std::chrono::steady_clock::now();
            EXPECT_TRUE(other.Write(Bytes("ping")));
            EXPECT_EQ(other.Read(4), Bytes("ping"));
            worst = std::max(worst, std::chrono::steady_clock::now() - start);
        }
        return worst;
    };
    auto quiet = worstRoundTrip(3);
    chatty.SetChatter(ByteArray(std::vector<uint8_t>(64, 0xAA)));
    ASSERT_TRUE(m_host.Write(Bytes("never answered in full")));
    ASSERT_TRUE(PumpUntil([&] { return !chatty.RequestsOf(RequestKind::PassThrough).empty(); }));
    auto chattering = worstRoundTrip(5);
    EXPECT_LT(chattering, quiet + std::chrono::milliseconds(250)) << "quiet " << quiet.count() << " ns";
    EXPECT_EQ(Channel(0).m_bIdle.load(), 0);

    // Teardown, as the window closes: no disconnect command.
    auto start = std::chrono::steady_clock::now();
    m_manager.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(chatty.RequestsOf(RequestKind::Disconnect).empty());
}

// Disconnect gives up waiting for a chatty PLC's reply phase: it ends it and
// says no goodbye, which the still reading receive thread would take.
TEST_F(BridgeTest, DisconnectEndsAChattyReplyPhaseWithoutGoodbye) {
    UseScaledClock(30);
    PlcSimulator& plc = TcpPlc("127.0.0.216");
    // Reads longer than the PLC's pauses: none of them comes back empty.
    ConnectOne("COM5,Ethernet,127.0.0.216,,No",
               {"PLCDataMonitorTime=20000\nPLCDataBytesToReadInMonitorTime=4096\n"});
    plc.SetChatter(ByteArray(std::vector<uint8_t>(64, 0xAA)));
    ASSERT_TRUE(m_host.Write(Bytes("start")));
    ASSERT_TRUE(PumpUntil([&] { return !plc.RequestsOf(RequestKind::PassThrough).empty(); }));

    EXPECT_EQ(m_manager->DisconnectAll(), 0);
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(plc.RequestsOf(RequestKind::Disconnect).empty());
    EXPECT_FALSE(Channel(0).LinkHolder().IsOpen());
    EXPECT_TRUE(PumpUntil([&] { return Channel(0).RunningWorkers() == 0; }));
}

}  // namespace
}  // namespace varnock::test
