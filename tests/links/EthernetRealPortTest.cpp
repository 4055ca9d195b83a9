#include <gtest/gtest.h>

#include <cstdlib>

#include "links/EthernetRealPort.h"
#include "platform/Clock.h"
#include "tests/links/TestPlc.h"
#include "tests/support/TestSupport.h"

namespace varnock {
namespace {

using test::Bytes;
using test::EthernetConfig;
using test::TestPlc;
using Got = std::pair<int, uint32_t>;  // a transfer's result and the bytes moved

class EthernetRealPortTest : public ::testing::Test {
protected:
    void Connect(TestPlc& plc, const std::string& address) {
        ASSERT_EQ(port.Open(EthernetConfig(address)), 1);
        firstPort = plc.Accept();
        ASSERT_NE(firstPort, 0);
        EXPECT_EQ(port.LocalPort(), firstPort);
    }
    Got Read(int count, uint32_t timeoutMs) {
        int result = port.Read(buffer, count, moved, timeoutMs);
        return {result, moved};
    }
    Got Write(const ByteArray& bytes) {
        int result = port.Write(bytes, bytes.GetSize(), moved, 100);
        return {result, moved};
    }
    EthernetRealPort port;
    uint16_t firstPort = 0;
    ByteArray buffer;
    uint32_t moved = 99;
};

// On the clock seam: a read waits out its time-out, less the slack, in poll
// steps, and takes only what has arrived.
TEST_F(EthernetRealPortTest, ReadTakesWhatArrivedWithinItsTime) {
    EXPECT_EQ(port.Close(), 1);                             // never opened
    EXPECT_EQ(port.Open(EthernetConfig("127.0.0.35")), 0);  // nothing listens
    TestPlc plc("127.0.0.31");
    Connect(plc, "127.0.0.31");
    platform::ManualClock clock;
    platform::ScopedClock scoped(clock);
    plc.Send({1, 2, 3, 4, 5, 6, 7, 8});
    buffer = ByteArray{0xEE};
    EXPECT_EQ(Read(20, 300), Got(1, 8));
    EXPECT_EQ(buffer.bytes(), (Bytes{0xEE, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(clock.TotalSlept(), 290u);
    EXPECT_EQ(Read(20, 0), Got(1, 0));

    // 25 waiting: 20 at once, the other 5 dropped by the next write.
    Bytes reply(25);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i);
    plc.Send(reply);
    buffer.RemoveAll();
    EXPECT_EQ(Read(20, 2000), Got(1, 20));
    EXPECT_EQ(buffer.bytes(), Bytes(reply.begin(), reply.begin() + 20));
    EXPECT_EQ(clock.TotalSlept(), 290u);
    EXPECT_EQ(Write(ByteArray{0x51, 0x52}), Got(1, 2));
    EXPECT_EQ(plc.Receive(2), (Bytes{0x51, 0x52}));
    EXPECT_EQ(Read(20, 0), Got(1, 0));

    // A peer that closed: what came first is kept, then the link is lost.
    plc.Send({9, 9});
    plc.Drop();
    EXPECT_EQ(Read(2, 500), Got(1, 2));
    EXPECT_TRUE(test::WaitFor([&] { return Read(2, 0) == Got(0, 0); }));
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Close(), 1);
}

TEST_F(EthernetRealPortTest, ResetConnectionReconnectsFromTheSameLocalPort) {
    TestPlc plc("127.0.0.33");
    Connect(plc, "127.0.0.33");
    plc.Reset();
    ASSERT_TRUE(test::WaitFor([&] { return Read(1, 0).first == 0; }));  // the reset is in
    platform::ManualClock clock;
    platform::ScopedClock scoped(clock);
    EXPECT_EQ(Write(ByteArray{'h', 'e', 'l', 'l', 'o'}), Got(1, 5));
    EXPECT_EQ(clock.TotalSlept(), EthernetRealPort::kReconnectPauseMs);
    EXPECT_EQ(plc.Accept(), firstPort);
    EXPECT_EQ(plc.Receive(5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(port.Close(), 1);
    EXPECT_TRUE(plc.Receive(1).empty());
}

// On a network where a packet takes its time, our side of a connection
// that the PLC closed normally waits one round trip for the PLC to
// acknowledge our close, and keeps its local port meanwhile. The reconnect
// from that port must wait it out, not fail. In a namespace of its own, every
// packet on loopback waits about 100 ms in a rate-limited queue.
class EthernetOverASlowNetworkTest : public EthernetRealPortTest {};

TEST_F(EthernetOverASlowNetworkTest, ANormalCloseIsFollowedByAReconnect) {
    if (!test::InNetworkNamespace()) return test::RunInNetworkNamespace();
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    if (std::system("tc qdisc add dev lo root tbf rate 128kbit burst 1540 latency 400ms mpu 1540") != 0)
        GTEST_SKIP() << "no rate-limiting queue on loopback";
    TestPlc plc("127.0.0.32");
    Connect(plc, "127.0.0.32");
    auto exchange = [&](const ByteArray& request, bool reconnects) {
        EXPECT_EQ(Write(request), Got(1, request.GetSize()));
        EXPECT_EQ(reconnects ? plc.Accept() : firstPort, firstPort);
        EXPECT_EQ(plc.Receive(request.GetSize()), request.bytes());
        plc.Send({0x06});
        EXPECT_EQ(Read(1, 50), Got(1, 1));
    };
    exchange({1, 2, 3}, false);
    plc.Drop();                                                          // a normal close
    ASSERT_TRUE(test::WaitFor([&] { return Read(1, 10).first == 0; }));  // its FIN is in
    exchange({4, 5}, true);
}

}  // namespace
}  // namespace varnock
