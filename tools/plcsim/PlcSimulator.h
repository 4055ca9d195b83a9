#pragma once
// A PLC simulator: plays the PLC side of the frame format over TCP (port
// 2538) or a serial line with DLE framing. It answers the bridge's own
// commands, echoes pass-through requests, records every frame it receives,
// and can be told to misbehave.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/ByteArray.h"
#include "platform/Error.h"

namespace varnock::platform {
class Pty;
}

namespace varnock::plcsim {

inline constexpr uint16_t kPlcPort = 2538;

enum class RequestKind { PassThrough, Connect, Disconnect, SerialParameters, BaudRate, Probe, Unknown };
const char* KindName(RequestKind kind);

enum class Fault {
    None,
    NoAnswer,
    WrongBytes,       // a reply with the wrong answer bytes
    BadCrc,           // serial: CRC spoilt; TCP: block header spoilt
    StaleSequence,    // the sequence number before the request's
    BadPrefix,        // pass-through reply without 00 00 02 00 00 00
    ResetConnection,  // TCP: reset instead of answering; serial: no answer
    ResetMidReply,    // half the reply, then TCP: a reset; serial: silence
};
const char* FaultName(Fault fault);

// One frame as received.
struct Request {
    RequestKind kind = RequestKind::Unknown;
    bool intact = false;  // framing, CRC and block header checked out
    uint8_t sequence = 0;
    uint8_t headerByte1 = 0;
    uint8_t headerByte2 = 0;
    ByteArray payload;  // after the sequence header
    ByteArray wire;     // the frame as it came, stuffing and all
};

// Where the simulator reads and writes.
class PlcTransport {
public:
    virtual ~PlcTransport() = default;
    // Waits up to timeoutMs: bytes read, 0 when none came.
    virtual int Read(uint8_t* data, int max, int timeoutMs) = 0;
    virtual bool Write(const uint8_t* data, int count) = 0;
    // Drops the connection (TCP); the next one is accepted as usual.
    virtual void Reset() {}
    virtual bool Serial() const = 0;
    // A new connection came since the last call: stream state starts afresh.
    virtual bool Reconnected() { return false; }
    virtual int Connections() const { return 0; }
};

// Listens on `address`:`port`; nullptr with *error on failure.
std::unique_ptr<PlcTransport> ListenTcp(const std::string& address, uint16_t port = kPlcPort,
                                        platform::Error* error = nullptr);
// A serial device path (a pty end or a real line) in raw mode.
std::unique_ptr<PlcTransport> OpenSerialDevice(const std::string& path, platform::Error* error = nullptr);
// The master of a pseudo-terminal whose slave the bridge opens. With
// `bitsPerChar` above 0 it moves bytes no faster than a line at the rate the
// bridge set on its end would, each character taking that many bits.
std::unique_ptr<PlcTransport> OverPty(std::unique_ptr<platform::Pty> pty, int bitsPerChar = 0);

// Reply frame as the PLC sends it: fourteen-byte block header (reply
// column), four-byte sequence header, payload, and on serial DLE framing.
ByteArray BuildReplyFrame(uint8_t sequence, uint8_t headerByte1, uint8_t headerByte2,
                          const ByteArray& payload, bool serial);

class PlcSimulator {
public:
    explicit PlcSimulator(std::unique_ptr<PlcTransport> transport);
    ~PlcSimulator();
    PlcSimulator(const PlcSimulator&) = delete;
    PlcSimulator& operator=(const PlcSimulator&) = delete;

    void Start();
    void Stop();

    // One line per frame received, after `name` when one is given; nullptr
    // for none. The stream must outlive the simulator.
    void SetLog(std::ostream* log, std::string name = {});
    // Misbehaves on requests of `kind`, the next `times` times (-1: always).
    void SetFault(RequestKind kind, Fault fault, int times = -1);
    // The echo of a pass-through request, split over this many frames.
    void SetReplyFrames(int frames);
    // Waits this long before answering.
    void SetReplyDelay(std::chrono::milliseconds delay);
    // Writes each answer in pieces cut at these offsets, with a pause
    // between; none: in one write.
    void SetWriteCuts(std::vector<int> offsets, std::chrono::milliseconds pause);
    // Non-zero: pass-through data is not echoed frame by frame but gathered
    // until no frame has come for this long, then echoed whole in frames of
    // at most kGatheredFrameData bytes under the last frame's sequence
    // number, as a PLC answers a request that came in several blocks.
    void SetGatherPause(std::chrono::milliseconds pause);
    // Non-zero: gathered data is also echoed as soon as this much is held
    // (gathering then needs no pause).
    void SetGatherBytes(int bytes);
    static constexpr int kGatheredFrameData = 1024;
    // Writes each answer this many times over, as a PLC flooding the link.
    void SetReplyRepeat(int times);
    // Non-empty: writes these bytes whenever it has looked for input (about
    // every 20 ms when none comes), as a PLC that is never silent.
    void SetChatter(const ByteArray& bytes);
    // Takes at most `maxBytes` per look at its input, then waits `pause`;
    // 0 bytes: stops reading, so the link's flow control holds the bridge.
    void SetReadPace(int maxBytes, std::chrono::milliseconds pause);
    // Writes raw bytes now.
    bool Send(const ByteArray& bytes);

    std::vector<Request> Requests() const;
    std::vector<Request> RequestsOf(RequestKind kind) const;
    // True when at least `count` frames have been received within `timeout`.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    void ClearRequests();
    int Connections() const { return m_transport->Connections(); }

    // Classifies a decoded frame by its header bytes and payload.
    static RequestKind Classify(uint8_t headerByte1, uint8_t headerByte2, const ByteArray& payload);

private:
    void Run();
    void Feed(const uint8_t* data, int count);
    void FeedSerial(uint8_t byte);
    void FeedLength();
    void Handle(const ByteArray& wire, const ByteArray& body, bool framingIntact);
    void Answer(const Request& request);
    Fault TakeFault(RequestKind kind);
    void WriteAnswer(const ByteArray& bytes);
    void FlushGathered();

    std::unique_ptr<PlcTransport> m_transport;
    const bool m_serial;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_lock;  // guards everything below
    std::ostream* m_log = nullptr;
    std::string m_logName;
    std::map<RequestKind, std::pair<Fault, int>> m_faults;
    int m_replyFrames = 1;
    std::chrono::milliseconds m_delay{0};
    std::vector<int> m_cuts;
    std::chrono::milliseconds m_cutPause{0};
    std::vector<Request> m_requests;
    std::chrono::milliseconds m_gatherPause{0};
    int m_gatherBytes = 0;
    int m_replyRepeat = 1;
    ByteArray m_chatter;
    int m_readMax = 4096;
    std::chrono::milliseconds m_readPause{0};

    // Stream state, on the simulator's thread only.
    ByteArray m_buffer;  // Ethernet: bytes of the frame being gathered
    ByteArray m_wire;    // serial: the frame as it came
    ByteArray m_body;    // serial: unstuffed body
    enum class SerialState { Hunt, HuntDle, Body, BodyDle, Crc1, Crc2 } m_state = SerialState::Hunt;
    ByteArray m_gathered;  // pass-through data not yet echoed
    Request m_gatheredLast;
    std::chrono::steady_clock::time_point m_gatheredAt;
};

}  // namespace varnock::plcsim
