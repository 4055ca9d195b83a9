#pragma once
// The listening side of TCP, for the programs that play a PLC: a listener
// on a given IPv4 address and port, and the accepted connections.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Error.h"

namespace varnock::platform {

class TcpConnection {
public:
    explicit TcpConnection(int fd) : m_fd(fd) {}
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Waits up to timeoutMs for bytes: the number read, 0 when none came,
    // -1 when the peer closed the connection or it failed.
    int Read(uint8_t* data, int max, int timeoutMs);
    // Sends every byte; false when the connection failed. Never SIGPIPE.
    bool Write(const uint8_t* data, int count);
    // Drops the connection with a reset instead of an orderly close.
    void Reset();
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // For a server that polls: non-blocking from now on, and a peer that
    // vanishes without a word is given up after about idle + interval x
    // count seconds (keepalive, and the same bound on unacknowledged data).
    bool PrepareServed(int idleS, int intervalS, int count);
    // Never block: bytes moved, 0 when none can be now, -1 when the peer
    // closed the connection or it failed.
    int ReadNow(uint8_t* data, int max);
    int WriteNow(const uint8_t* data, int count);

private:
    int m_fd = -1;
};

class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Binds (SO_REUSEADDR) and listens.
    Error Listen(const std::string& address, uint16_t port);
    // Waits up to timeoutMs for a connection; nullptr when none came.
    // `peer` gets the client's "address:port".
    std::unique_ptr<TcpConnection> Accept(int timeoutMs, std::string* peer = nullptr);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

}  // namespace varnock::platform
