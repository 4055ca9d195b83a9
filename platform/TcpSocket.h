#pragma once
// A TCP stream socket over BSD sockets: bounded connect, binding to a given
// local port, the waiting-byte count, non-blocking receive and a send that
// never raises SIGPIPE.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Error.h"

namespace varnock::platform {

class TcpSocket {
public:
    TcpSocket() = default;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;
    ~TcpSocket();

    // A new stream socket with SO_REUSEADDR; with a local port other than 0
    // it is bound to that port (any address). Closes a socket still held.
    bool Create(uint16_t localPort = 0);
    // Connects to a dotted IPv4 address, giving up after `timeoutMs`, or
    // once `cancelled` (looked at every few milliseconds) says so. From a
    // bound port, waits within that time for the port's previous connection
    // to finish closing.
    bool Connect(const std::string& address, uint16_t port, uint32_t timeoutMs,
                 const std::function<bool()>& cancelled = {});
    bool IsValid() const { return m_fd >= 0; }
    int Handle() const { return m_fd; }

    // The local port, 0 when unknown.
    uint16_t LocalPort() const;
    // FIONREAD; false when the query fails.
    bool BytesAvailable(uint32_t& count) const;
    // Never blocks: bytes received, 0 when the peer closed the connection,
    // -1 on error (none waiting counts as error WouldBlock).
    int Receive(uint8_t* data, int max);
    // True when the peer has shut the connection down or it failed, without
    // taking any data.
    bool PeerClosed();
    // Sends all `count` bytes, waiting at most `timeoutMs` for room; the
    // number sent, or -1 when the first byte could not go out.
    int Send(const uint8_t* data, int count, uint32_t timeoutMs);
    void ShutdownSend();
    void ShutdownReceive();
    void Close();
    // Closes with a reset: what is still queued is dropped, never delivered.
    void Abort();

    Error LastError() const { return m_lastError; }

private:
    int Fail(int err);

    int m_fd = -1;
    bool m_bound = false;  // to a local port of our choice
    Error m_lastError;
};

}  // namespace varnock::platform
