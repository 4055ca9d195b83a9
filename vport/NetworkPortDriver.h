#pragma once
// Our second virtual serial port driver: the port is served over TCP as an
// RFC 2217 server instead of as a pty. A client's connection is the host's
// open, its end the close, its data the host's data, its line settings the
// host's settings; one client at a time.
//
// One thread per port in service polls the listener, the client and a wake
// event (two descriptors while idle, three with a client) and raises the
// driver events. Buffers are bounded both ways: the client is not read while
// kInCap of its bytes wait for the bridge (TCP then holds it back), and the
// bytes for it wait up to kOutCap, then a write waits a moment for room and
// drops what does not fit until the client takes some, as for a pty.
//
// Session states, kept under m_lock: listening (no client) -> serving (a
// client, m_session) -> listening again at its close, its failure, or when
// keepalive gives a vanished client up.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Pty.h"
#include "platform/TcpListener.h"
#include "vport/DriverEventSinks.h"
#include "vport/DriverInterface.h"
#include "vport/Rfc2217Codec.h"

namespace varnock {

class NetworkPortDriver : public VirtualPortDriver {
public:
    explicit NetworkPortDriver(const DriverOptions& options);
    NetworkPortDriver(const NetworkPortDriver&) = delete;
    NetworkPortDriver& operator=(const NetworkPortDriver&) = delete;

    uint32_t AddRef() override;
    uint32_t Release() override;

    HRESULT PrepareBinding(VARIANT_BOOL* result) override;
    // Listens on the configured address and port; false when it cannot
    // (address in use, not this machine's).
    HRESULT BindPort(const std::string& name, VARIANT_BOOL* bound) override;
    // Tries to listen once more.
    HRESULT BindPortFallback(const std::string& name, VARIANT_BOOL* bound) override;
    // Puts the port in service: clients are taken from now on.
    HRESULT FinishBinding(int16_t value, int16_t* result) override;
    HRESULT WriteBytes(const uint8_t* bytes, int32_t count, int32_t* result) override;
    HRESULT ReadBytes(uint8_t* buffer, int32_t* count, int32_t* read) override;
    HRESULT QueryParity(int32_t* parity) override;
    HRESULT QueryStopBits(int32_t* stopBits) override;
    HRESULT QueryByteSize(int32_t* byteSize) override;
    HRESULT QueryBaudRate(int32_t* baudRate) override;
    HRESULT QueryOutputQueue(int32_t* room, uint64_t* taken) override;
    HRESULT QueryNetworkClient(std::string* address) override;

    HRESULT Advise(const Guid& eventInterface, DriverEventDispatch* sink, uint32_t* cookie) override;
    HRESULT Unadvise(const Guid& eventInterface, uint32_t cookie) override;

    static constexpr size_t kInCap = 64 * 1024;
    static constexpr size_t kOutCap = 256 * 1024;
    // Answers waiting for a client that does not read: beyond this its
    // commands are not read either.
    static constexpr size_t kWireCap = 64 * 1024;
    static constexpr int kWriteWaitMs = 50;
    // Data not taken by the bridge is announced again after this pause.
    static constexpr int kRetryMs = 50;
    // A vanished client is given up after 20 + 5 x 6 = 50 s.
    static constexpr int kKeepIdleS = 20, kKeepIntervalS = 5, kKeepCount = 6;

private:
    ~NetworkPortDriver() override;

    void Run();
    void Stop();
    void Accept();
    void ReadClient();
    // False when the connection failed.
    bool Flush();
    // True when bytes stay unread.
    bool AnnounceData();
    void EndSession();
    HRESULT QueryLine(int32_t* out, int32_t (*pick)(const rfc2217::LineSettings&));

    const DriverOptions m_options;
    std::atomic<uint32_t> m_cRef{1};
    DriverEventSinks m_sinks;
    std::string m_name;

    platform::TcpListener m_listener;
    std::unique_ptr<platform::WakeEvent> m_wake;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{true};
    std::atomic<bool> m_bound{false};
    std::atomic<uint64_t> m_read{0};  // bytes the bridge took

    std::mutex m_lock;
    std::condition_variable m_room;  // the bytes for the client shrank
    std::unique_ptr<platform::TcpConnection> m_client;
    std::string m_clientAddress;
    bool m_session = false;
    bool m_eof = false;         // the client is gone; its last bytes wait for the bridge
    bool m_hangupSeen = false;  // reported gone while its bytes wait for room
    rfc2217::ServerCodec m_codec;
    std::vector<uint8_t> m_in;    // the client's data for the bridge
    std::vector<uint8_t> m_out;   // the bridge's data for the client
    size_t m_outHead = 0;         // bytes before it are on their way
    std::vector<uint8_t> m_wire;  // encoded, for the socket
    bool m_stalled = false;       // the client took nothing within a write's wait
    uint64_t m_taken = 0;         // data bytes on their way to the client
};

}  // namespace varnock
