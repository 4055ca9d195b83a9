// DLE-rich random requests over Ethernet and serial at once, to PLCs that reset, spoil, stay silent and
// cut replies anywhere. VARNOCK_SOAK_REQUESTS and VARNOCK_SOAK_SEED change the run.
#include <algorithm>
#include <cstdlib>
#include <random>

#include "tests/bridge/BridgeFixture.h"

namespace varnock::test {
namespace {

using std::chrono::milliseconds;

// Requests by default: the test stays within about a minute.
#ifdef VARNOCK_SANITIZED
constexpr int kRequests = 300, kSettleMs = 400;
#else
constexpr int kRequests = 600, kSettleMs = 150;
#endif
// An Ethernet reconnect pauses every link of the process for 2 s: generous.
constexpr int kReplyTimeoutMs = 15000;
constexpr int kMaxRequestLength = 5000;

int EnvNumber(const char* name, int fallback) {
    const int value = std::getenv(name) ? std::atoi(std::getenv(name)) : 0;
    return value > 0 ? value : fallback;
}

// One channel's host software and its PLC.
struct Lane {
    HostPort* host = nullptr;
    PlcSimulator* plc = nullptr;
    std::mt19937 rng;
    std::vector<Fault> faults;
    int resetsLeft = 0, sent = 0, intact = 0;
    std::string expected{};
    Fault fault = Fault::None;
    size_t requestsBefore = 0;

    int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    // The edges first, then mostly short requests with now and then a long one.
    void Send() {
        static const int edges[] = {1, kMaxRequestLength, 1024, 1025, 2};
        int r = Uniform(0, 99);
        const int length = sent < 5 ? edges[sent]
                           : r < 15 ? Uniform(1, 16)
                           : r < 60 ? Uniform(17, 512)
                           : r < 85 ? Uniform(513, 2048)
                                    : Uniform(2049, kMaxRequestLength);
        expected.clear();
        for (int i = 0; i < length; ++i) {
            r = Uniform(0, 9);
            expected += char(r < 3 ? 0x10 : r == 3 ? Uniform(2, 3) : Uniform(0, 255));
        }
        fault = Uniform(0, 99) < 15 ? faults[size_t(Uniform(0, int(faults.size()) - 1))] : Fault::None;
        if ((fault == Fault::ResetConnection || fault == Fault::ResetMidReply) && resetsLeft-- <= 0)
            fault = Fault::NoAnswer;
        plc->SetFault(RequestKind::PassThrough, fault, fault == Fault::None ? -1 : 1);
        const int frames = Uniform(1, 4);
        plc->SetReplyFrames(frames);
        std::vector<int> cuts(size_t(Uniform(0, 3)));
        for (int& cut : cuts) cut = Uniform(1, length + 24 * frames);
        std::sort(cuts.begin(), cuts.end());
        plc->SetWriteCuts(cuts, milliseconds(Uniform(0, 2)));
        plc->SetReplyDelay(milliseconds(Uniform(0, 9) == 0 ? Uniform(1, 30) : 0));
        requestsBefore = plc->Requests().size();
        ++sent;
        EXPECT_TRUE(host->Write(expected));
    }
    // An answered request comes back whole; of a spoilt one, at most the whole frames before the fault.
    void Check(unsigned seed) {
        std::string got;
        if (fault == Fault::None) {
            got = host->Read(expected.size(), kReplyTimeoutMs);
            intact += got == expected;
        } else {
            PumpUntil([&] { return plc->Requests().size() > requestsBefore; }, milliseconds(kReplyTimeoutMs));
            got = host->Read(expected.size(), kSettleMs);
        }
        ASSERT_TRUE(fault == Fault::None ? got == expected : expected.compare(0, got.size(), got) == 0)
            << "request " << sent << ", " << got.size() << " of " << expected.size() << " bytes, fault "
            << plcsim::FaultName(fault) << ", seed " << seed;
    }
};

using SoakTest = BridgeTest;

TEST_F(SoakTest, KeepsWorkingThroughPlcFaults) {
    const int requests = EnvNumber("VARNOCK_SOAK_REQUESTS", kRequests);
    const unsigned seed = static_cast<unsigned>(EnvNumber("VARNOCK_SOAK_SEED", 20240611));
    // A 10 ms pause ends a request of up to 5000 bytes in one block; replies read in pieces below a frame.
    HostPort serialHost;
    ASSERT_NO_FATAL_FAILURE(
        ConnectTwo("127.0.0.92", "COM91", serialHost,
                   "BaudRate=19200\nMaxTimeBetweenLDRData=1\nBlockTransferSizeInBytes=5000\n"
                   "PLCDataMonitorTime=20\nPLCDataBytesToReadInMonitorTime=777\n"));
    // An Ethernet reset costs a 2 s reconnect pause; on a serial line it is only silence.
    Lane lanes[2] = {
        {&m_host,
         m_sims[0].get(),
         std::mt19937(seed),
         {Fault::NoAnswer, Fault::BadCrc, Fault::StaleSequence, Fault::ResetMidReply, Fault::ResetConnection},
         4},
        {&serialHost,
         m_sims[1].get(),
         std::mt19937(seed + 1),
         {Fault::NoAnswer, Fault::BadCrc, Fault::StaleSequence, Fault::ResetMidReply},
         requests}};
    // Both requests go out before either answer is read.
    for (int done = 0; done < requests && !HasFatalFailure(); done += 2) {
        for (Lane& lane : lanes) lane.Send();
        for (Lane& lane : lanes) lane.Check(seed);
    }
    for (Lane& lane : lanes) {
        std::printf("%d requests, %d answered intact\n", lane.sent, lane.intact);
        EXPECT_GT(lane.intact, lane.sent / 2);
        EXPECT_LT(lane.intact, lane.sent);             // some met a fault
        EXPECT_EQ(lane.host->Read(1, kSettleMs), "");  // nothing late or left over
    }
    // Reconnecting after a reset is the link's own business: no message.
    EXPECT_TRUE(Channel(0).IsConnected() && Channel(1).IsConnected());
    EXPECT_EQ(m_manager->DisconnectAll(), 1);
    EXPECT_TRUE(
        PumpUntil([&] { return Channel(0).RunningWorkers() == 0 && Channel(1).RunningWorkers() == 0; }));
    EXPECT_TRUE(Messages().empty());
}

}  // namespace
}  // namespace varnock::test
