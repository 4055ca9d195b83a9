// Many requests of random length and content, rich in DLE bytes, through an
// Ethernet and a serial channel at once: first with a well-behaved PLC, then
// with one that now and then resets, spoils a frame or stays silent.
//
// VARNOCK_SOAK_REQUESTS sets the number of requests per test (shared by the
// two channels); VARNOCK_SOAK_SEED the random seed.
// A channel's link operations wait for every other channel's timed reads,
// so two busy channels take about 80 ms a request each here.
#include <chrono>
#include <cstdlib>
#include <random>

#include "tests/bridge/BridgeFixture.h"

namespace varnock::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Requests per test by default: each test stays within about a minute.
#ifdef VARNOCK_SANITIZED
constexpr int kCleanRequests = 600;
constexpr int kFaultRequests = 300;
constexpr auto kSettle = std::chrono::milliseconds(400);
#else
constexpr int kCleanRequests = 1200;
constexpr int kFaultRequests = 800;
constexpr auto kSettle = std::chrono::milliseconds(150);
#endif
// A reply that takes longer than this is lost. An Ethernet reconnect pauses
// every link of the process for 2 s, so this is generous.
constexpr auto kReplyTimeout = std::chrono::seconds(15);
constexpr int kMaxRequestLength = 5000;

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    int value = std::atoi(text);
    return value > 0 ? value : fallback;
}

// One channel's host software: sends a request, collects the echo, checks
// it, sends the next.
struct Lane {
    std::string name;
    HostPort host;
    PlcSimulator* plc = nullptr;
    std::mt19937 rng;
    std::vector<Fault> faults;  // empty: the PLC behaves
    int resetsLeft = 0;         // an Ethernet reset costs a 2 s reconnect pause
    int target = 0;

    ByteArray expected, got;
    int written = 0;
    bool active = false;
    Fault fault = Fault::None;
    size_t framesBefore = 0;
    bool settling = false;
    SteadyClock::time_point deadline, settleUntil;

    int done = 0, intact = 0, faulted = 0;
    long long bytes = 0;
    std::string failure;

    int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    ByteArray NextRequest() {
        // The edges first, then mostly short requests with now and then a
        // long one.
        static const int edges[] = {1, kMaxRequestLength, 1024, 1025, 2};
        int length;
        if (done < 5) {
            length = edges[done];
        } else {
            int r = Uniform(0, 99);
            length = r < 15   ? Uniform(1, 16)
                     : r < 60 ? Uniform(17, 512)
                     : r < 85 ? Uniform(513, 2048)
                              : Uniform(2049, kMaxRequestLength);
        }
        ByteArray request;
        request.bytes().reserve(static_cast<size_t>(length));
        for (int i = 0; i < length; ++i) {
            int r = Uniform(0, 9);
            request.Add(r < 3 ? 0x10 : r == 3 ? uint8_t(Uniform(2, 3)) : uint8_t(Uniform(0, 255)));
        }
        return request;
    }

    void Start() {
        expected = NextRequest();
        got.RemoveAll();
        written = 0;
        settling = false;
        fault = Fault::None;
        if (!faults.empty() && Uniform(0, 99) < 15) {
            fault = faults[static_cast<size_t>(Uniform(0, static_cast<int>(faults.size()) - 1))];
            bool reset = fault == Fault::ResetConnection || fault == Fault::ResetMidReply;
            if (reset && resetsLeft == 0) fault = Fault::NoAnswer;
            if (reset && resetsLeft > 0) --resetsLeft;
        }
        plc->SetFault(RequestKind::PassThrough, fault, fault == Fault::None ? -1 : 1);
        int frames = Uniform(1, 4);
        plc->SetReplyFrames(frames);
        std::vector<int> cuts;
        for (int i = Uniform(0, 3); i > 0; --i) cuts.push_back(Uniform(1, expected.GetSize() + 24 * frames));
        std::sort(cuts.begin(), cuts.end());
        plc->SetWriteCuts(cuts, std::chrono::milliseconds(Uniform(0, 2)));
        plc->SetReplyDelay(std::chrono::milliseconds(Uniform(0, 9) == 0 ? Uniform(1, 30) : 0));
        framesBefore = plc->Requests().size();
        deadline = SteadyClock::now() + kReplyTimeout;
        active = true;
    }

    void Fail(const std::string& why) {
        if (failure.empty())
            failure = name + " request " + std::to_string(done) + " (" + std::to_string(expected.GetSize()) +
                      " bytes, fault " + plcsim::FaultName(fault) + "): " + why;
    }

    void Finish() {
        active = false;
        ++done;
        if (fault == Fault::None) {
            ++intact;
            bytes += expected.GetSize();
        } else {
            ++faulted;
        }
    }

    // One turn; false once finished or failed.
    bool Step() {
        if (!failure.empty()) return false;
        if (!active) {
            if (done >= target) return false;
            Start();
        }
        auto now = SteadyClock::now();
        while (written < expected.GetSize()) {
            ssize_t n = ::write(host.Fd(), expected.data() + written,
                                static_cast<size_t>(expected.GetSize() - written));
            if (n <= 0) break;
            written += static_cast<int>(n);
        }
        uint8_t buf[4096];
        ssize_t n;
        while ((n = ::read(host.Fd(), buf, sizeof buf)) > 0) got.Append(buf, static_cast<int>(n));
        // Whatever arrives must be the echo, or a part of it that came in
        // whole frames before a fault.
        if (got.GetSize() > expected.GetSize() ||
            !std::equal(got.bytes().begin(), got.bytes().end(), expected.bytes().begin())) {
            Fail("got " + std::to_string(got.GetSize()) + " bytes that differ from the echo");
            return false;
        }
        if (fault == Fault::None) {
            if (got.GetSize() == expected.GetSize()) Finish();
        } else if (!settling) {
            if (plc->Requests().size() > framesBefore) {
                settling = true;
                settleUntil = now + kSettle;
            }
        } else if (now >= settleUntil) {
            Finish();
        }
        if (active && now >= deadline) {
            Fail("only " + std::to_string(got.GetSize()) + " bytes came back");
            return false;
        }
        return true;
    }
};

class SoakTest : public BridgeTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        bool faults = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) ==
                      "KeepsWorkingThroughPlcFaults";
        m_requests = EnvNumber("VARNOCK_SOAK_REQUESTS", faults ? kFaultRequests : kCleanRequests);
        m_seed = static_cast<unsigned>(EnvNumber("VARNOCK_SOAK_SEED", 20240611));
        // The two tests may run at the same time: each has its own PLC address.
        const std::string address = faults ? "127.0.0.92" : "127.0.0.91";
        m_ethernet.plc = &TcpPlc(address);
        m_serial.plc = &SerialPlc("COM91");
        IniValues ini;
        // A 10 ms pause ends a request; a request of up to 5000 bytes goes
        // in one block; replies are read in pieces smaller than a frame.
        ini.custom =
            "BaudRate=19200\nMaxTimeBetweenLDRData=1\nBlockTransferSizeInBytes=5000\n"
            "PLCDataMonitorTime=20\nPLCDataBytesToReadInMonitorTime=777\n";
        WriteSettings({"COM92,Ethernet," + address + ",,No", "COM93,COM91,,,No"}, ini);
        CreateChannels();
        ASSERT_EQ(m_manager->ConnectAll(), 1);
        ASSERT_TRUE(Channel(0).IsConnected());
        ASSERT_TRUE(Channel(1).IsConnected());
        OpenHost(m_ethernet.host, 0);
        OpenHost(m_serial.host, 1);
        m_ethernet.name = "Ethernet";
        m_serial.name = "serial";
        m_ethernet.rng.seed(m_seed);
        m_serial.rng.seed(m_seed + 1);
        m_ethernet.target = m_requests / 2;
        m_serial.target = m_requests - m_requests / 2;
    }

    void Run() {
        auto start = SteadyClock::now();
        // Bounded: a hang fails the test instead of holding up the suite.
        auto limit = std::chrono::seconds(30) + kReplyTimeout + std::chrono::milliseconds(250) * m_requests;
        bool finished = PumpUntil(
            [&] {
                bool a = m_ethernet.Step();
                bool b = m_serial.Step();
                return !a && !b;
            },
            std::chrono::duration_cast<std::chrono::milliseconds>(limit));
        double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        for (Lane* lane : {&m_ethernet, &m_serial}) {
            EXPECT_EQ(lane->failure, "") << "seed " << m_seed;
            std::printf("%s: %d requests in %.1f s, %d answered intact (%lld bytes), %d with a fault\n",
                        lane->name.c_str(), lane->done, seconds, lane->intact, lane->bytes, lane->faulted);
        }
        ASSERT_TRUE(finished) << "not finished after " << seconds << " s";
        EXPECT_EQ(m_ethernet.done, m_ethernet.target);
        EXPECT_EQ(m_serial.done, m_serial.target);

        // Nothing late or left over, and both channels end cleanly.
        PumpFor(kSettle);
        for (Lane* lane : {&m_ethernet, &m_serial})
            EXPECT_TRUE(lane->host.Read(1, kSettle).IsEmpty()) << lane->name;
        m_connectedAtEnd = Channel(0).IsConnected() && Channel(1).IsConnected();
        EXPECT_EQ(m_manager->DisconnectAll(), 1);
        EXPECT_TRUE(
            PumpUntil([&] { return Channel(0).RunningWorkers() == 0 && Channel(1).RunningWorkers() == 0; }));
    }

    int m_requests = 0;
    bool m_connectedAtEnd = false;
    unsigned m_seed = 0;
    Lane m_ethernet, m_serial;
};

TEST_F(SoakTest, EveryByteComesBackInOrder) {
    Run();
    EXPECT_EQ(m_ethernet.intact, m_ethernet.target);
    EXPECT_EQ(m_serial.intact, m_serial.target);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(SoakTest, KeepsWorkingThroughPlcFaults) {
    m_ethernet.faults = {Fault::NoAnswer, Fault::BadCrc, Fault::StaleSequence, Fault::ResetMidReply,
                         Fault::ResetConnection};
    m_ethernet.resetsLeft = 4;
    m_serial.faults = {Fault::NoAnswer, Fault::BadCrc, Fault::StaleSequence, Fault::ResetMidReply};
    m_serial.resetsLeft = m_requests;  // on a serial line it is only silence
    Run();
    EXPECT_GT(m_ethernet.faulted, 0);
    EXPECT_GT(m_serial.faulted, 0);
    EXPECT_GT(m_ethernet.intact, m_ethernet.target / 2);
    EXPECT_GT(m_serial.intact, m_serial.target / 2);
    // Reconnecting after a reset is the link's own business: no message.
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(m_connectedAtEnd);
}

}  // namespace
}  // namespace varnock::test
