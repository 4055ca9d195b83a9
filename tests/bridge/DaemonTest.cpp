// varnockd as a process beside PLCs that misbehave: a stop ends it within
// 2 s whatever they do, and its memory stays bounded through every flood.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <fstream>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/bridge/BridgeFixture.h"

namespace varnock::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Listens on `address` but accepts nothing; its queue is full, so further
// attempts go unanswered, as on a network that drops them.
class DroppingListener {
public:
    explicit DroppingListener(const std::string& address) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(plcsim::kPlcPort);
        ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
        int one = 1;
        m_fds.push_back(::socket(AF_INET, SOCK_STREAM, 0));
        ::setsockopt(m_fds[0], SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ok = ::bind(m_fds[0], reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
             ::listen(m_fds[0], 0) == 0;
        for (int i = 0; i < 2; ++i) {
            m_fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            ::connect(m_fds.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        }
    }
    ~DroppingListener() {
        for (int fd : m_fds) ::close(fd);
    }
    bool ok = false;

private:
    std::vector<int> m_fds;
};

class DaemonTest : public BridgeTest {
protected:
    void TearDown() override {
        m_daemon.reset();  // before the PLCs it may still be talking to
        BridgeTest::TearDown();
    }

    // varnockd on these rows; `channels` of them connect.
    void Start(const std::vector<std::string>& rows, const std::string& custom, int channels) {
        WriteSettings(rows, {custom});
        fs::copy_file(fs::path(VARNOCK_TEST_RESOURCE_DIR) / "varnockd", m_dir / "varnockd",
                      fs::copy_options::overwrite_existing);
        m_daemon = std::make_unique<ChildProcess>(std::vector<std::string>{(m_dir / "varnockd").string()},
                                                  m_dir / "out", m_dir / "out");
        ASSERT_TRUE(WaitFor([&] { return Connected() == channels; }, 10s)) << ReadFile(m_dir / "out");
        ASSERT_TRUE(channels == 0 || m_host.Open(m_devices.path() / "COM5"));
    }
    int Connected() const {
        std::string out = ReadFile(m_dir / "out");
        int n = 0;
        for (size_t at = out.find(" connected\n"); at != std::string::npos;
             at = out.find(" connected\n", at + 1))
            n += out.compare(at - 4, 4, " not") != 0;
        return n;
    }
    // Peak resident memory of varnockd so far.
    long PeakRssMiB() const {
        std::ifstream status("/proc/" + std::to_string(m_daemon->Pid()) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) / 1024;
        }
        return -1;
    }
    // SIGTERM; the time varnockd takes to end, which it must do cleanly.
    std::chrono::milliseconds Stop() {
        auto start = SteadyClock::now();
        m_daemon->Signal(SIGTERM);
        EXPECT_EQ(m_daemon->Wait(10s), 0) << ReadFile(m_dir / "out");
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
        EXPECT_FALSE(fs::exists(fs::symlink_status(m_devices.path() / "COM5"))) << "its port left behind";
        return took;
    }

    std::unique_ptr<ChildProcess> m_daemon;
};

// Each state for a moment (a flood for 1.5 s), then SIGTERM.
TEST_F(DaemonTest, UnderEveryHostilePlcItStaysSmallAndStopsWithinTwoSeconds) {
    enum class Plc { Chatty, FramesReadSlowly, FramesNotRead, StopsReading, DropsConnections, Echoes };
    const std::tuple<Plc, const char*, const char*> cases[] = {
        {Plc::Chatty, "a PLC streaming bytes that never form a frame", ""},
        {Plc::FramesReadSlowly, "valid frames while the host reads slowly", ""},
        {Plc::FramesNotRead, "valid frames while the host does not read", ""},
        {Plc::StopsReading, "a host writing into a port whose PLC stopped reading", ""},
        {Plc::DropsConnections, "PLCs that drop connection attempts", ""},
        {Plc::Echoes, "MaxTimeBetweenLDRData at its largest", "MaxTimeBetweenLDRData=2147483647\n"},
        {Plc::Echoes, "PLCDataMonitorTime at its largest", "PLCDataMonitorTime=2147483647\n"}};
    int address = 230;
    for (auto [kind, state, extreme] : cases) {
        SCOPED_TRACE(state);
        // Large reads and blocks: a flood comes in as fast as the link carries it.
        std::string custom =
            std::string("BlockTransferSizeInBytes=5000\nPLCDataBytesToReadInMonitorTime=4096\n") + extreme;
        std::vector<std::unique_ptr<DroppingListener>> dropping;
        if (kind == Plc::DropsConnections) {
            std::vector<std::string> rows;
            for (int i = 0; i < 4; ++i) {
                std::string ip = "127.0.0." + std::to_string(++address);
                dropping.push_back(std::make_unique<DroppingListener>(ip));
                ASSERT_TRUE(dropping.back()->ok);
                rows.push_back("COM" + std::to_string(10 + i) + ",Ethernet," + ip + ",,No");
            }
            Start(rows, custom, 0);
            std::this_thread::sleep_for(500ms);  // amid the first attempts
        } else {
            std::string ip = "127.0.0." + std::to_string(++address);
            bool serial = kind == Plc::Chatty;
            PlcSimulator& plc = serial ? SerialPlc("COM3") : TcpPlc(ip);
            Start({serial ? "COM5,COM3,,,No" : "COM5,Ethernet," + ip + ",,No"}, custom, 1);
            if (kind == Plc::FramesReadSlowly || kind == Plc::FramesNotRead)
                plc.SetReplyRepeat(20000);  // 80 MB
            ASSERT_TRUE(kind == Plc::StopsReading ||
                        m_host.Write(ByteArray(std::vector<uint8_t>(4000, 'r'))));
            if (kind == Plc::Chatty) plc.SetChatter(ByteArray(std::vector<uint8_t>(1 << 20, 'x')));
            if (kind == Plc::StopsReading) plc.SetReadPace(0, 0ms);
            // A state lasts a moment. A host writing into a PLC that stopped
            // reading goes on until it is held back: everything is then backed
            // up to the PLC's socket, and the stop finds the bridge writing to it.
            const auto start = SteadyClock::now();
            for (auto written = start;;) {
                auto now = SteadyClock::now();
                if (kind == Plc::StopsReading ? now - written > 300ms || now - start > 5s
                                              : now - start > (kind == Plc::Echoes ? 300ms : 1500ms))
                    break;
                uint8_t buffer[65536] = {};
                if (kind == Plc::FramesReadSlowly) (void)!::read(m_host.Fd(), buffer, 4096);
                if (kind == Plc::StopsReading && ::write(m_host.Fd(), buffer, sizeof buffer) > 0)
                    written = now;
                else
                    std::this_thread::sleep_for(kind == Plc::StopsReading ? 1ms : 10ms);
            }
        }
        long peak = PeakRssMiB();

        auto took = Stop();
        std::printf("%s: peak %ld MiB, ended %lld ms after SIGTERM\n", state, peak,
                    static_cast<long long>(took.count()));
#ifndef VARNOCK_SANITIZED
        EXPECT_LT(peak, 64);
#endif
        EXPECT_LT(took, 2s);
        m_host.Close();
        m_sims.clear();
    }
}

}  // namespace
}  // namespace varnock::test
