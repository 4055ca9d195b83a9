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
    Error Create(uint16_t localPort = 0);
    // Connects to a dotted IPv4 address, giving up after `timeoutMs`, or
    // once `cancelled` (looked at every few milliseconds) says so. From a
    // bound port, waits within that time for the port's previous connection
    // to finish closing.
    Error Connect(const std::string& address, uint16_t port, uint32_t timeoutMs,
                  const std::function<bool()>& cancelled = {});
    bool IsValid() const { return m_fd >= 0; }
    int Handle() const { return m_fd; }

    // The local port, 0 when unknown.
    uint16_t LocalPort() const;
    // FIONREAD; false when the query fails.
    bool BytesAvailable(uint32_t& count) const;
    // Never blocks: `received` bytes, 0 when the peer closed the connection
    // (none waiting counts as error WouldBlock).
    Error Receive(uint8_t* data, int max, int& received);
    // True when the peer has shut the connection down or it failed, without
    // taking any data.
    bool PeerClosed();
    // Waits up to `timeoutMs` for bytes to arrive; true as soon as some
    // wait. A connection that can bring none (closed by the peer, failed)
    // is waited on for the whole time, not looked at again.
    bool WaitForBytes(uint32_t timeoutMs);
    // Sends all `count` bytes, waiting at most `timeoutMs` for room; `sent`
    // tells how many went out when not all did.
    Error Send(const uint8_t* data, int count, uint32_t timeoutMs, int& sent);
    void ShutdownSend();
    void ShutdownReceive();
    void Close();
    // Closes with a reset: what is still queued is dropped, never delivered.
    void Abort();

private:
    int m_fd = -1;
    bool m_bound = false;  // to a local port of our choice
};

}  // namespace varnock::platform
