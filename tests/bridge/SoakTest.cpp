// Many requests of random length and content, rich in DLE bytes, through an
// Ethernet and a serial channel at once: first with a well-behaved PLC, then
// with one that now and then resets, spoils a frame or stays silent.
//
// VARNOCK_SOAK_REQUESTS sets the requests per test (shared by the two
// channels), VARNOCK_SOAK_SEED the random seed. A channel's link operations
// wait for the other's timed reads: about 80 ms a request each here.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>

#include "tests/bridge/BridgeFixture.h"

namespace varnock::test {
namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Requests per test by default: each test stays within about a minute.
#ifdef VARNOCK_SANITIZED
constexpr int kCleanRequests = 600, kFaultRequests = 300;
constexpr milliseconds kSettle{400};
#else
constexpr int kCleanRequests = 1200, kFaultRequests = 800;
constexpr milliseconds kSettle{150};
#endif
// A reply that takes longer than this is lost. An Ethernet reconnect pauses
// every link of the process for 2 s, so this is generous.
constexpr auto kReplyTimeout = std::chrono::seconds(15);
constexpr int kMaxRequestLength = 5000;

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    int value = text ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
}

// One channel's host software: sends a request, collects the echo, checks
// it, sends the next.
struct Lane {
    HostPort host;
    PlcSimulator* plc = nullptr;
    std::mt19937 rng;
    std::vector<Fault> faults;  // empty: the PLC behaves
    int resetsLeft = 0;         // an Ethernet reset costs a 2 s reconnect pause
    int target = 0, done = 0, intact = 0;

    ByteArray expected, got;
    int written = 0;
    bool active = false, settling = false;
    Fault fault = Fault::None;
    size_t framesBefore = 0;
    SteadyClock::time_point deadline, settleUntil;
    std::string failure;

    int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    void Start() {
        // The edges first, then mostly short requests with now and then a
        // long one.
        static const int edges[] = {1, kMaxRequestLength, 1024, 1025, 2};
        int r = Uniform(0, 99);
        int length = done < 5 ? edges[done]
                     : r < 15 ? Uniform(1, 16)
                     : r < 60 ? Uniform(17, 512)
                     : r < 85 ? Uniform(513, 2048)
                              : Uniform(2049, kMaxRequestLength);
        expected.RemoveAll();
        for (int i = 0; i < length; ++i) {
            r = Uniform(0, 9);
            expected.Add(r < 3 ? 0x10 : r == 3 ? uint8_t(Uniform(2, 3)) : uint8_t(Uniform(0, 255)));
        }
        got.RemoveAll();
        written = 0;
        settling = false;
        fault = Fault::None;
        if (!faults.empty() && Uniform(0, 99) < 15) {
            fault = faults[static_cast<size_t>(Uniform(0, static_cast<int>(faults.size()) - 1))];
            bool reset = fault == Fault::ResetConnection || fault == Fault::ResetMidReply;
            if (reset && resetsLeft-- <= 0) fault = Fault::NoAnswer;
        }
        plc->SetFault(RequestKind::PassThrough, fault, fault == Fault::None ? -1 : 1);
        int frames = Uniform(1, 4);
        plc->SetReplyFrames(frames);
        std::vector<int> cuts(static_cast<size_t>(Uniform(0, 3)));
        for (int& cut : cuts) cut = Uniform(1, expected.GetSize() + 24 * frames);
        std::sort(cuts.begin(), cuts.end());
        plc->SetWriteCuts(cuts, milliseconds(Uniform(0, 2)));
        plc->SetReplyDelay(milliseconds(Uniform(0, 9) == 0 ? Uniform(1, 30) : 0));
        framesBefore = plc->Requests().size();
        deadline = SteadyClock::now() + kReplyTimeout;
        active = true;
    }

    bool Fail(const char* why) {
        failure = std::string(why) + ": request " + std::to_string(done) + ", " +
                  std::to_string(got.GetSize()) + " of " + std::to_string(expected.GetSize()) +
                  " bytes, fault " + plcsim::FaultName(fault);
        return false;
    }

    // One turn; false once finished or failed.
    bool Step() {
        if (!failure.empty() || (!active && done >= target)) return false;
        if (!active) Start();
        auto now = SteadyClock::now();
        while (written < expected.GetSize()) {
            ssize_t n = ::write(host.Fd(), expected.data() + written,
                                static_cast<size_t>(expected.GetSize() - written));
            if (n <= 0) break;
            written += static_cast<int>(n);
        }
        uint8_t buf[4096];
        for (ssize_t n; (n = ::read(host.Fd(), buf, sizeof buf)) > 0;) got.Append(buf, static_cast<int>(n));
        // Whatever arrives must be the echo, or a part of it that came in
        // whole frames before a fault.
        if (got.GetSize() > expected.GetSize() ||
            !std::equal(got.bytes().begin(), got.bytes().end(), expected.bytes().begin()))
            return Fail("not the echo");
        if (fault == Fault::None ? got.GetSize() == expected.GetSize() : settling && now >= settleUntil) {
            active = false;
            ++done;
            if (fault == Fault::None) ++intact;
        } else if (fault != Fault::None && !settling && plc->Requests().size() > framesBefore) {
            settling = true;
            settleUntil = now + kSettle;
        }
        if (active && now >= deadline) return Fail("no whole reply in time");
        return true;
    }
};

class SoakTest : public BridgeTest {
protected:
    void Run(bool faults) {
        const int requests = EnvNumber("VARNOCK_SOAK_REQUESTS", faults ? kFaultRequests : kCleanRequests);
        const unsigned seed = static_cast<unsigned>(EnvNumber("VARNOCK_SOAK_SEED", 20240611));
        // The two tests may run at the same time: each has its own PLC address.
        const std::string address = faults ? "127.0.0.92" : "127.0.0.91";
        m_ethernet.plc = &TcpPlc(address);
        m_serial.plc = &SerialPlc("COM91");
        // A 10 ms pause ends a request; a request of up to 5000 bytes goes
        // in one block; replies are read in pieces smaller than a frame.
        WriteSettings({"COM92,Ethernet," + address + ",,No", "COM93,COM91,,,No"},
                      {"BaudRate=19200\nMaxTimeBetweenLDRData=1\nBlockTransferSizeInBytes=5000\n"
                       "PLCDataMonitorTime=20\nPLCDataBytesToReadInMonitorTime=777\n"});
        CreateChannels();
        ASSERT_EQ(m_manager->ConnectAll(), 1);
        ASSERT_TRUE(Channel(0).IsConnected() && Channel(1).IsConnected());
        OpenHost(m_ethernet.host, 0);
        OpenHost(m_serial.host, 1);
        m_ethernet.rng.seed(seed);
        m_serial.rng.seed(seed + 1);
        m_ethernet.target = requests / 2;
        m_serial.target = requests - requests / 2;
        if (faults) {
            m_ethernet.faults = {Fault::NoAnswer, Fault::BadCrc, Fault::StaleSequence, Fault::ResetMidReply,
                                 Fault::ResetConnection};
            m_ethernet.resetsLeft = 4;
            m_serial.faults = {Fault::NoAnswer, Fault::BadCrc, Fault::StaleSequence, Fault::ResetMidReply};
            m_serial.resetsLeft = requests;  // on a serial line it is only silence
        }

        // Bounded: a hang fails the test instead of holding up the suite.
        auto start = SteadyClock::now();
        auto limit = std::chrono::seconds(30) + kReplyTimeout + milliseconds(250) * requests;
        bool finished = PumpUntil(
            [&] {
                bool a = m_ethernet.Step();
                bool b = m_serial.Step();
                return !a && !b;
            },
            std::chrono::duration_cast<milliseconds>(limit));
        double took = std::chrono::duration<double>(SteadyClock::now() - start).count();
        for (Lane* lane : {&m_ethernet, &m_serial}) {
            EXPECT_EQ(lane->failure, "") << "seed " << seed;
            EXPECT_EQ(lane->done, lane->target);
            std::printf("%d requests in %.1f s, %d answered intact\n", lane->done, took, lane->intact);
        }
        ASSERT_TRUE(finished);

        // Nothing late or left over, and both channels end cleanly. Reconnecting
        // after a reset is the link's own business: no message.
        PumpFor(kSettle);
        for (Lane* lane : {&m_ethernet, &m_serial}) EXPECT_TRUE(lane->host.Read(1, kSettle).IsEmpty());
        EXPECT_TRUE(Channel(0).IsConnected() && Channel(1).IsConnected());
        EXPECT_EQ(m_manager->DisconnectAll(), 1);
        EXPECT_TRUE(
            PumpUntil([&] { return Channel(0).RunningWorkers() == 0 && Channel(1).RunningWorkers() == 0; }));
        EXPECT_TRUE(Messages().empty());
    }

    Lane m_ethernet, m_serial;
};

TEST_F(SoakTest, EveryByteComesBackInOrder) {
    Run(false);
    EXPECT_EQ(m_ethernet.intact, m_ethernet.target);
    EXPECT_EQ(m_serial.intact, m_serial.target);
}

TEST_F(SoakTest, KeepsWorkingThroughPlcFaults) {
    Run(true);
    for (Lane* lane : {&m_ethernet, &m_serial}) {
        EXPECT_GT(lane->done - lane->intact, 0);  // some requests met a fault
        EXPECT_GT(lane->intact, lane->target / 2);
    }
}

}  // namespace
}  // namespace varnock::test
