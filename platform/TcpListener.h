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
    std::unique_ptr<TcpConnection> Accept(int timeoutMs);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

}  // namespace varnock::platform
