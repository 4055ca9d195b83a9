#pragma once
// A PLC's TCP end for link tests: listens on its own loopback address, port
// 2538, and does only what the test tells it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/ChannelConfig.h"
#include "links/EthernetRealPort.h"

namespace varnock::test {

using Bytes = std::vector<uint8_t>;

class TestPlc {
public:
    // A `receiveBuffer` other than 0 sizes the connections' receive buffer:
    // a PLC that does not read is full sooner.
    explicit TestPlc(const std::string& address, int receiveBuffer = 0)
        : m_listen(::socket(AF_INET, SOCK_STREAM, 0)) {
        int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
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

inline ChannelConfig EthernetConfig(const std::string& address) {
    ChannelConfig c;
    c.m_nLinkType = LinkType::Ethernet;
    c.m_strIPAddress = address;
    return c;
}

}  // namespace varnock::test
