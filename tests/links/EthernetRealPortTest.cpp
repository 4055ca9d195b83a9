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
    explicit TestPlc(const std::string& address, int backlog = 4) : m_address(address) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(EthernetRealPort::kPlcPort);
        ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        EXPECT_EQ(::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address;
        EXPECT_EQ(::listen(m_listen, backlog), 0);
    }
    ~TestPlc() {
        Drop();
        ::close(m_listen);
    }

    // Waits for the next connection; returns the peer's port (0 on time-out).
    uint16_t Accept(std::chrono::milliseconds timeout = 2000ms) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return 0;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        Drop();
        m_conn = ::accept4(m_listen, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        return m_conn < 0 ? 0 : ntohs(peer.sin_port);
    }
    void Send(const Bytes& b) {
        ASSERT_EQ(::send(m_conn, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    Bytes Receive(size_t count, std::chrono::milliseconds timeout = 1000ms) {
        Bytes got;
        auto deadline = SteadyClock::now() + timeout;
        while (got.size() < count && SteadyClock::now() < deadline) {
            pollfd p{m_conn, POLLIN, 0};
            if (::poll(&p, 1, 10) != 1) continue;
            uint8_t buf[256];
            ssize_t n = ::recv(m_conn, buf, std::min(sizeof buf, count - got.size()), 0);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
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
    const std::string& Address() const { return m_address; }

private:
    std::string m_address;
    int m_listen = -1;
    int m_conn = -1;
};

ChannelConfig EthernetConfig(const std::string& address) {
    ChannelConfig c;
    c.m_nLinkType = 1;
    c.m_strLinkPort = "Ethernet";
    c.m_strIPAddress = address;
    return c;
}

class EthernetRealPortTest : public ::testing::Test {
protected:
    void Connect(TestPlc& plc) {
        ASSERT_EQ(port.Open(EthernetConfig(plc.Address())), 1);
        firstPort = plc.Accept();
        ASSERT_NE(firstPort, 0);
        EXPECT_EQ(port.LocalPort(), firstPort);
        EXPECT_EQ(port.OpenResult(), 0);  // the Ethernet link leaves it
    }
    EthernetRealPort port;
    uint16_t firstPort = 0;
};

TEST_F(EthernetRealPortTest, ReadTakesWhatArrivedWithinTheTimeout) {
    TestPlc plc("127.0.0.31");
    Connect(plc);
    std::thread late([&] {
        std::this_thread::sleep_for(30ms);
        plc.Send({1, 2, 3, 4, 5, 6, 7, 8});
    });
    ByteArray buffer{0xEE};
    uint32_t received = 0;
    auto start = SteadyClock::now();
    EXPECT_EQ(port.Read(buffer, 20, received, 100), 1);
    auto elapsed = SteadyClock::now() - start;
    late.join();
    EXPECT_EQ(received, 8u);
    EXPECT_EQ(buffer.bytes(), (Bytes{0xEE, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_GE(elapsed, 80ms);
    EXPECT_LT(elapsed, 400ms);

    // T = 0: no wait, nothing there.
    start = SteadyClock::now();
    EXPECT_EQ(port.Read(buffer, 20, received, 0), 1);
    EXPECT_EQ(received, 0u);
    EXPECT_LT(SteadyClock::now() - start, 200ms);
}

TEST_F(EthernetRealPortTest, ReadTakesCountAndLeavesTheRestForTheNextWrite) {
    TestPlc plc("127.0.0.32");
    Connect(plc);
    Bytes reply(25);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i);
    plc.Send(reply);

    ByteArray buffer;
    uint32_t received = 0;
    auto start = SteadyClock::now();
    EXPECT_EQ(port.Read(buffer, 20, received, 2000), 1);
    EXPECT_LT(SteadyClock::now() - start, 500ms);
    EXPECT_EQ(received, 20u);
    EXPECT_EQ(buffer.bytes(), Bytes(reply.begin(), reply.begin() + 20));

    // The other 5 wait; a write drops them.
    ByteArray request{0x51, 0x52};
    uint32_t sent = 0;
    EXPECT_EQ(port.Write(request, 2, sent, 0), 1);
    EXPECT_EQ(sent, 2u);
    EXPECT_EQ(plc.Receive(2), (Bytes{0x51, 0x52}));
    buffer.RemoveAll();
    EXPECT_EQ(port.Read(buffer, 20, received, 0), 1);
    EXPECT_EQ(received, 0u);
}

TEST_F(EthernetRealPortTest, ResetConnectionReconnectsFromTheSameLocalPort) {
    TestPlc plc("127.0.0.33");
    Connect(plc);
    plc.Reset();
    std::this_thread::sleep_for(20ms);

    platform::ManualClock clock;
    platform::ScopedClock scoped(clock);
    ByteArray request{'h', 'e', 'l', 'l', 'o'};
    uint32_t sent = 0;
    EXPECT_EQ(port.Write(request, 5, sent, 100), 1);
    EXPECT_EQ(sent, 5u);
    EXPECT_EQ(clock.TotalSlept(), EthernetRealPort::kReconnectPauseMs);
    EXPECT_EQ(plc.Accept(), firstPort);
    EXPECT_EQ(plc.Receive(5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(port.LocalPort(), firstPort);
}

TEST_F(EthernetRealPortTest, PeerThatClosedEndsTheReadAsLost) {
    TestPlc plc("127.0.0.34");
    Connect(plc);
    plc.Send({9, 9});
    plc.Drop();
    ByteArray buffer;
    uint32_t received = 0;
    EXPECT_EQ(port.Read(buffer, 2, received, 500), 1);  // what came first is kept
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(port.Read(buffer, 2, received, 20), 0);
    EXPECT_EQ(received, 0u);
}

TEST_F(EthernetRealPortTest, NothingListeningFailsTheOpenQuickly) {
    auto start = SteadyClock::now();
    EXPECT_EQ(port.Open(EthernetConfig("127.0.0.35")), 0);
    EXPECT_LT(SteadyClock::now() - start, 500ms);
    EXPECT_EQ(port.Open(EthernetConfig("not an address")), 0);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Close(), 1);
}

TEST_F(EthernetRealPortTest, UnansweredConnectGivesUpAfterTheConnectTimeout) {
    // A full accept queue: the PLC's network stack ignores further attempts.
    TestPlc plc("127.0.0.36", 0);
    EthernetRealPort first;
    ASSERT_EQ(first.Open(EthernetConfig("127.0.0.36")), 1);
    auto start = SteadyClock::now();
    EXPECT_EQ(port.Open(EthernetConfig("127.0.0.36")), 0);
    auto elapsed = SteadyClock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(EthernetRealPort::kConnectTimeoutMs - 100));
    EXPECT_LT(elapsed, std::chrono::milliseconds(EthernetRealPort::kConnectTimeoutMs + 1000));
}

TEST_F(EthernetRealPortTest, CloseTwice) {
    EXPECT_EQ(port.Close(), 1);  // never opened
    TestPlc plc("127.0.0.37");
    Connect(plc);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.LocalPort(), 0);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_TRUE(plc.Receive(1, 200ms).empty());  // the PLC saw an orderly close
    ByteArray request{1};
    uint32_t sent = 5;
    EXPECT_EQ(port.Write(request, 1, sent, 0), 0);
    EXPECT_EQ(sent, 0u);
}

}  // namespace
}  // namespace varnock
