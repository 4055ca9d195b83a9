#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "links/EthernetRealPort.h"
#include "platform/Clock.h"
#include "tests/links/TestPlc.h"
#include "tests/support/TestSupport.h"

namespace varnock {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::EthernetConfig;
using test::TestPlc;
using SteadyClock = std::chrono::steady_clock;

class EthernetRealPortTest : public ::testing::Test {
protected:
    void Connect(TestPlc& plc, const std::string& address) {
        ASSERT_EQ(port.Open(EthernetConfig(address)), 1);
        firstPort = plc.Accept();
        ASSERT_NE(firstPort, 0);
        EXPECT_EQ(port.LocalPort(), firstPort);
    }
    // Read's result, with the time it took in `elapsed`.
    int TimedRead(int count, uint32_t timeoutMs) {
        auto start = SteadyClock::now();
        int result = port.Read(buffer, count, moved, timeoutMs);
        elapsed = SteadyClock::now() - start;
        return result;
    }
    EthernetRealPort port;
    uint16_t firstPort = 0;
    ByteArray buffer;
    uint32_t moved = 99;
    SteadyClock::duration elapsed{};
};

TEST_F(EthernetRealPortTest, ReadCases) {
    TestPlc plc("127.0.0.31");
    Connect(plc, "127.0.0.31");
    // 20 asked, 8 arriving within T: T runs out, the 8 are appended.
    buffer = ByteArray{0xEE};
    std::thread late([&] {
        std::this_thread::sleep_for(30ms);
        plc.Send({1, 2, 3, 4, 5, 6, 7, 8});
    });
    EXPECT_EQ(TimedRead(20, 300), 1);
    late.join();
    EXPECT_EQ(moved, 8u);
    EXPECT_EQ(buffer.bytes(), (Bytes{0xEE, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_GE(elapsed, 280ms);
    EXPECT_LT(elapsed, 800ms);
    // T = 0: no wait, nothing there.
    EXPECT_EQ(TimedRead(20, 0), 1);
    EXPECT_EQ(moved, 0u);
    EXPECT_LT(elapsed, 200ms);

    // 25 waiting: 20 at once, the other 5 dropped by the next write.
    Bytes reply(25);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i);
    plc.Send(reply);
    buffer.RemoveAll();
    EXPECT_EQ(TimedRead(20, 2000), 1);
    EXPECT_LT(elapsed, 500ms);
    EXPECT_EQ(buffer.bytes(), Bytes(reply.begin(), reply.begin() + 20));
    EXPECT_EQ(port.Write(ByteArray{0x51, 0x52}, 2, moved, 0), 1);
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(plc.Receive(2), (Bytes{0x51, 0x52}));
    EXPECT_EQ(TimedRead(20, 0), 1);
    EXPECT_EQ(moved, 0u);

    // A peer that closed: what came first is kept, then the link is lost.
    plc.Send({9, 9});
    plc.Drop();
    EXPECT_EQ(TimedRead(2, 500), 1);
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(TimedRead(2, 20), 0);
    EXPECT_EQ(moved, 0u);
}

TEST_F(EthernetRealPortTest, ResetConnectionReconnectsFromTheSameLocalPort) {
    TestPlc plc("127.0.0.33");
    Connect(plc, "127.0.0.33");
    plc.Reset();
    std::this_thread::sleep_for(100ms);  // the reset must have arrived before the write
    platform::ManualClock clock;
    platform::ScopedClock scoped(clock);
    EXPECT_EQ(port.Write(ByteArray{'h', 'e', 'l', 'l', 'o'}, 5, moved, 100), 1);
    EXPECT_EQ(moved, 5u);
    EXPECT_EQ(clock.TotalSlept(), EthernetRealPort::kReconnectPauseMs);
    EXPECT_EQ(plc.Accept(), firstPort);
    EXPECT_EQ(plc.Receive(5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(EthernetRealPortTest, FailedOpensAndCloseTwice) {
    EXPECT_EQ(port.Close(), 1);  // never opened
    auto start = SteadyClock::now();
    EXPECT_EQ(port.Open(EthernetConfig("127.0.0.35")), 0);  // nothing listens
    EXPECT_LT(SteadyClock::now() - start, 500ms);

    TestPlc plc("127.0.0.37");
    Connect(plc, "127.0.0.37");
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.LocalPort(), 0);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_TRUE(plc.Receive(1).empty());
}

// On a network where a packet takes its time, our side of a connection
// that the PLC closed normally waits one round trip for the PLC to
// acknowledge our close, and keeps its local port meanwhile. The reconnect
// from that port must wait it out, not fail. In a namespace of its own, every
// packet on loopback waits about 100 ms in a rate-limited queue.
TEST(EthernetOverASlowNetworkTest, ANormalCloseIsFollowedByAReconnect) {
    if (!test::InNetworkNamespace()) return test::RunInNetworkNamespace();
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    if (std::system("tc qdisc add dev lo root tbf rate 128kbit burst 1540 latency 400ms mpu 1540") != 0)
        GTEST_SKIP() << "no rate-limiting queue on loopback";

    TestPlc plc("127.0.0.1");
    EthernetRealPort port;
    ASSERT_EQ(port.Open(EthernetConfig("127.0.0.1")), 1);
    const uint16_t first = plc.Accept();
    ByteArray reply;
    uint32_t n = 0;
    auto request = [&](const Bytes& bytes) {
        return port.Write(ByteArray(bytes), static_cast<int>(bytes.size()), n, 100) == 1;
    };
    auto answered = [&](const Bytes& bytes) {
        EXPECT_EQ(plc.Receive(bytes.size()), bytes);
        plc.Send({0x06});
        reply.RemoveAll();
        return test::WaitFor([&] { return port.Read(reply, 1, n, 50) == 1 && n == 1; });
    };
    ASSERT_TRUE(request({1, 2, 3}));
    ASSERT_TRUE(answered({1, 2, 3}));
    plc.Drop();                                                                   // a normal close
    ASSERT_TRUE(test::WaitFor([&] { return port.Read(reply, 1, n, 10) == 0; }));  // its FIN is in

    EXPECT_TRUE(request({4, 5}));
    EXPECT_EQ(plc.Accept(), first);
    EXPECT_TRUE(answered({4, 5}));
}

}  // namespace
}  // namespace varnock
