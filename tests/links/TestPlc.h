#pragma once
// A PLC's TCP end for link tests: its own loopback address, port 2538, doing only what it is told.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/ChannelConfig.h"
#include "links/EthernetRealPort.h"
#include "tests/support/TestSupport.h"

namespace varnock::test {

using Bytes = std::vector<uint8_t>;

class TestPlc {
public:
    // A nonzero `receiveBuffer` sizes the receive buffer: a PLC that does not read is full sooner.
    explicit TestPlc(const std::string& address, int receiveBuffer = 0)
        : m_listen(::socket(AF_INET, SOCK_STREAM, 0)) {
        int one = 1;
        timeval wait{2, 0};  // for accept, and inherited by the connections' receives
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(m_listen, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (receiveBuffer > 0)
            ::setsockopt(m_listen, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
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
        Drop();
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        m_conn = ::accept(m_listen, reinterpret_cast<sockaddr*>(&peer), &len);
        return m_conn < 0 ? 0 : ntohs(peer.sin_port);
    }
    // Returns once the link's end has the bytes: they are acknowledged.
    void Send(const Bytes& b) {
        ASSERT_EQ(::send(m_conn, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
        ASSERT_TRUE(WaitFor([&] {
            int unacknowledged = -1;
            return ::ioctl(m_conn, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
        }));
    }
    // What came until `count` bytes did, or two seconds passed.
    Bytes Receive(size_t count) {
        Bytes got(count);
        const ssize_t n = ::recv(m_conn, got.data(), count, MSG_WAITALL);
        got.resize(n > 0 ? static_cast<size_t>(n) : 0);
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

inline ChannelConfig EthernetConfig(const std::string& address) {
    ChannelConfig c;
    c.m_nLinkType = LinkType::Ethernet;
    c.m_strIPAddress = address;
    return c;
}

}  // namespace varnock::test
