// The channel's window, the monitor's probe and link loss, and disconnect
// and teardown while a reply phase runs.
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

TEST_F(BridgeTest, TeardownDuringAReplyPhase) {
    PlcSimulator& plc = TcpPlc("127.0.0.213");
    PlcSimulator& serialPlc = SerialPlc("COM3");
    WriteSettings({"COM5,Ethernet,127.0.0.213,,No", "COM6,COM3,,,No"});
    CreateChannels();
    ASSERT_EQ(m_manager->ConnectAll(), 1);
    HostPort serialHost;
    OpenHost(m_host, 0);
    OpenHost(serialHost, 1);
    Trickle(plc, 20, 1, false, std::chrono::milliseconds(30));
    Trickle(serialPlc, 20, 1, true, std::chrono::milliseconds(30));
    ASSERT_TRUE(m_host.Write(Bytes("01234567890123456789")));
    ASSERT_TRUE(serialHost.Write(Bytes("01234567890123456789")));
    ASSERT_FALSE(m_host.Read(1).IsEmpty());
    ASSERT_FALSE(serialHost.Read(1).IsEmpty());

    auto start = std::chrono::steady_clock::now();
    m_manager.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // No disconnect command: the window closes without one.
    EXPECT_TRUE(plc.RequestsOf(RequestKind::Disconnect).empty());
}

}  // namespace
}  // namespace varnock::test
