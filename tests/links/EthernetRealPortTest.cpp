#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "links/EthernetRealPort.h"
#include "platform/Clock.h"

namespace varnock {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// A PLC listening on its own loopback address, port 2538.
class TestPlc {
public:
    explicit TestPlc(const std::string& address) : m_listen(::socket(AF_INET, SOCK_STREAM, 0)) {
        int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{AF_INET, htons(EthernetRealPort::kPlcPort), {}, {}};
        ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        EXPECT_EQ(::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address;
        EXPECT_EQ(::listen(m_listen, 4), 0);
    }
    ~TestPlc() {
        Drop();
        ::close(m_listen);
    }
    // Waits for the next connection; returns the peer's port (0 on time-out).
    uint16_t Accept() {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1) return 0;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        Drop();
        m_conn = ::accept(m_listen, reinterpret_cast<sockaddr*>(&peer), &len);
        timeval wait{0, 300000};
        ::setsockopt(m_conn, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        return m_conn < 0 ? 0 : ntohs(peer.sin_port);
    }
    void Send(const Bytes& b) {
        ASSERT_EQ(::send(m_conn, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // What came until `count` bytes did, or 300 ms passed without any.
    Bytes Receive(size_t count) {
        Bytes got(count);
        size_t n = 0;
        while (n < count) {
            ssize_t r = ::recv(m_conn, got.data() + n, count - n, 0);
            if (r <= 0) break;
            n += static_cast<size_t>(r);
        }
        got.resize(n);
        return got;
    }
    // Closes the connection with a reset instead of an orderly close.
    void Reset() {
        linger l{1, 0};
        ::setsockopt(m_conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Drop();
    }
    void Drop() {
        if (m_conn >= 0) ::close(m_conn);
        m_conn = -1;
    }

private:
    int m_listen;
    int m_conn = -1;
};

ChannelConfig EthernetConfig(const std::string& address) {
    ChannelConfig c;
    c.m_nLinkType = LinkType::Ethernet;
    c.m_strIPAddress = address;
    return c;
}

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

}  // namespace
}  // namespace varnock
