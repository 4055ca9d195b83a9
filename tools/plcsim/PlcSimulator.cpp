#include "tools/plcsim/PlcSimulator.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "links/FrameCodec.h"
#include "platform/Pty.h"
#include "platform/SerialLine.h"
#include "platform/TcpListener.h"

namespace varnock::plcsim {

namespace {

using plc::DLE;
using plc::ETX;
using plc::STX;
constexpr int kHeaders = plc::kHeadersSize;
constexpr int kReadTimeoutMs = 20;

bool StartsWithPrefix(const ByteArray& a) {
    return a.GetSize() >= plc::kPrefixSize &&
           std::equal(a.data(), a.data() + plc::kPrefixSize, plc::kRequestPrefix);
}

std::string Hex(const ByteArray& bytes) {
    std::string out;
    char b[4];
    for (int i = 0; i < bytes.GetSize(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        out += b;
    }
    return out;
}

class TcpTransport : public PlcTransport {
public:
    platform::Error Listen(const std::string& address, uint16_t port) {
        return m_listener.Listen(address, port);
    }
    int Read(uint8_t* data, int max, int timeoutMs) override {
        // A link that reconnects comes in on a new connection; it replaces
        // the old one.
        if (auto fresh = m_listener.Accept(Current() ? 0 : timeoutMs)) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_conn = std::move(fresh);
            m_reconnected = true;
            ++m_connections;
        }
        auto conn = Current();
        if (!conn) return 0;
        int n = conn->Read(data, max, timeoutMs);
        if (n < 0) {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_conn == conn) m_conn.reset();
            return 0;
        }
        return n;
    }
    bool Write(const uint8_t* data, int count) override {
        auto conn = Current();
        return conn && conn->Write(data, count);
    }
    void Reset() override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_conn) m_conn->Reset();
        m_conn.reset();
    }
    bool Serial() const override { return false; }
    bool Reconnected() override {
        std::lock_guard<std::mutex> lock(m_lock);
        bool r = m_reconnected;
        m_reconnected = false;
        return r;
    }
    int Connections() const override {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_connections;
    }

private:
    std::shared_ptr<platform::TcpConnection> Current() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_conn;
    }
    platform::TcpListener m_listener;
    mutable std::mutex m_lock;
    std::shared_ptr<platform::TcpConnection> m_conn;
    bool m_reconnected = false;
    int m_connections = 0;
};

class PtyTransport : public PlcTransport {
public:
    PtyTransport(std::unique_ptr<platform::Pty> pty, int bitsPerChar)
        : m_pty(std::move(pty)), m_bitsPerChar(bitsPerChar) {}
    int Read(uint8_t* data, int max, int timeoutMs) override {
        auto now = Clock::now();
        if (m_bitsPerChar > 0) {
            // The line brings the next byte only once the last one is through.
            if (m_readFree > now + std::chrono::milliseconds(timeoutMs)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
                return 0;
            }
            std::this_thread::sleep_until(m_readFree);
            max = std::min(max, PaceChunk());
        }
        platform::PtyWaitResult r = m_pty->Wait(timeoutMs, nullptr);
        if (r.readable) {
            int n = m_pty->Read(data, max);
            if (n > 0) {
                m_readFree = std::max(m_readFree, Clock::now()) + CharTime() * n;
                return n;
            }
        }
        // Hang-up is reported at once while nobody holds the other end.
        if (r.hangup) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 10)));
        return 0;
    }
    bool Write(const uint8_t* data, int count) override {
        if (m_bitsPerChar <= 0) return m_pty->Write(data, count, 1000) == count;
        for (int from = 0; from < count;) {
            std::this_thread::sleep_until(m_writeFree);
            int n = std::min(count - from, PaceChunk());
            if (m_pty->Write(data + from, n, 1000) != n) return false;
            m_writeFree = std::max(m_writeFree, Clock::now()) + CharTime() * n;
            from += n;
        }
        return true;
    }
    bool Serial() const override { return true; }

private:
    using Clock = std::chrono::steady_clock;
    // One character at the rate the bridge set on its end of the line.
    std::chrono::nanoseconds CharTime() {
        platform::PtyLineSettings line;
        int rate = m_pty->ReadLineSettings(line) == platform::Error::None && line.baudRate > 0 ? line.baudRate
                                                                                               : 9600;
        return std::chrono::nanoseconds(1000000000LL * m_bitsPerChar / rate);
    }
    // About 5 ms of the line at a time.
    int PaceChunk() { return std::max(1, static_cast<int>(std::chrono::milliseconds(5) / CharTime())); }

    std::unique_ptr<platform::Pty> m_pty;
    const int m_bitsPerChar;
    Clock::time_point m_readFree{};
    Clock::time_point m_writeFree{};
};

class SerialDeviceTransport : public PlcTransport {
public:
    bool Open(const std::string& path, platform::Error* error) {
        platform::Error opened = m_line.Open(path);
        if (opened != platform::Error::None) {
            if (error) *error = opened;
            return false;
        }
        platform::SerialState state;
        state.parity = platform::PARITY_EVEN;
        m_line.SetState(state);
        platform::SerialTimeouts t;
        t.readIntervalTimeout = platform::MAXDWORD;  // take what is there
        t.writeTotalTimeoutConstant = 1000;
        m_line.SetTimeouts(t);
        return true;
    }
    int Read(uint8_t* data, int max, int timeoutMs) override {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int waiting = 0;
            if (m_line.InputWaiting(waiting) != platform::Error::None) waiting = 0;
            if (waiting > 0) {
                uint32_t moved = 0;
                m_line.Read(data, std::min(waiting, max), moved);
                return static_cast<int>(moved);
            }
            if (std::chrono::steady_clock::now() >= deadline) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    bool Write(const uint8_t* data, int count) override {
        uint32_t moved = 0;
        return m_line.Write(data, count, moved) == platform::Error::None &&
               moved == static_cast<uint32_t>(count);
    }
    bool Serial() const override { return true; }

private:
    platform::SerialLine m_line;
};

}  // namespace

const char* KindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::PassThrough:
            return "pass-through";
        case RequestKind::Connect:
            return "connect";
        case RequestKind::Disconnect:
            return "disconnect";
        case RequestKind::SerialParameters:
            return "serial-parameters";
        case RequestKind::BaudRate:
            return "baud-rate";
        case RequestKind::Probe:
            return "probe";
        default:
            return "unknown";
    }
}

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::NoAnswer:
            return "no-answer";
        case Fault::WrongBytes:
            return "wrong-bytes";
        case Fault::BadCrc:
            return "bad-crc";
        case Fault::StaleSequence:
            return "stale-sequence";
        case Fault::BadPrefix:
            return "bad-prefix";
        case Fault::ResetConnection:
            return "reset";
        case Fault::ResetMidReply:
            return "reset-mid-reply";
        default:
            return "none";
    }
}

std::unique_ptr<PlcTransport> ListenTcp(const std::string& address, uint16_t port, platform::Error* error) {
    auto t = std::make_unique<TcpTransport>();
    const platform::Error failed = t->Listen(address, port);
    if (failed == platform::Error::None) return t;
    if (error) *error = failed;
    return nullptr;
}

std::unique_ptr<PlcTransport> OpenSerialDevice(const std::string& path, platform::Error* error) {
    auto t = std::make_unique<SerialDeviceTransport>();
    if (!t->Open(path, error)) return nullptr;
    return t;
}

std::unique_ptr<PlcTransport> OverPty(std::unique_ptr<platform::Pty> pty, int bitsPerChar) {
    if (!pty) return nullptr;
    return std::make_unique<PtyTransport>(std::move(pty), bitsPerChar);
}

ByteArray BuildReplyFrame(uint8_t sequence, uint8_t headerByte1, uint8_t headerByte2,
                          const ByteArray& payload, bool serial) {
    int length = payload.GetSize() + kHeaders;
    ByteArray frame{0x01, 0x00, uint8_t(length >> 8), uint8_t(length & 0xFF), 0x01, 0x00, 0, 0, 0, 0, 0, 0,
                    0,    0};
    frame.Add(sequence);
    frame.Add(headerByte1);
    frame.Add(headerByte2);
    frame.Add(0x01);
    frame.Append(payload);
    if (serial) {
        DleFramingLayer().Encode(frame);
    }
    return frame;
}

RequestKind PlcSimulator::Classify(uint8_t headerByte1, uint8_t headerByte2, const ByteArray& payload) {
    auto header = [&](plc::HeaderBytes h) { return headerByte1 == h.byte1 && headerByte2 == h.byte2; };
    const uint8_t first = payload.IsEmpty() ? 0xFF : payload[0];
    if (header(plc::kDataHeader)) {
        if (StartsWithPrefix(payload)) return RequestKind::PassThrough;
        if (payload == plc::ConnectCommand(false)) return RequestKind::Connect;
        if (payload == plc::ConnectCommand(true)) return RequestKind::Disconnect;
    }
    if (header(plc::kControlHeader)) {
        if (payload == plc::ProbeCommand()) return RequestKind::Probe;
        if (first == plc::kSerialParametersCode) return RequestKind::SerialParameters;
    }
    if (header(plc::kLineSpeedHeader) && first == plc::ENQ) return RequestKind::BaudRate;
    return RequestKind::Unknown;
}

PlcSimulator::PlcSimulator(std::unique_ptr<PlcTransport> transport)
    : m_transport(std::move(transport)), m_serial(m_transport->Serial()) {}

PlcSimulator::~PlcSimulator() {
    Stop();
}

void PlcSimulator::Start() {
    if (m_thread.joinable()) return;
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
}

void PlcSimulator::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

void PlcSimulator::SetLog(std::ostream* log, std::string name) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_log = log;
    m_logName = name.empty() ? name : name + " ";
}

void PlcSimulator::SetFault(RequestKind kind, Fault fault, int times) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_faults[kind] = {fault, times};
}

void PlcSimulator::SetReplyFrames(int frames) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_replyFrames = std::max(1, frames);
}

void PlcSimulator::SetReplyDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_delay = delay;
}

void PlcSimulator::SetGatherPause(std::chrono::milliseconds pause) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_gatherPause = pause;
}

void PlcSimulator::SetGatherBytes(int bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_gatherBytes = std::max(0, bytes);
}

void PlcSimulator::SetReplyRepeat(int times) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_replyRepeat = std::max(1, times);
}

void PlcSimulator::SetChatter(const ByteArray& bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_chatter = bytes;
}

void PlcSimulator::SetReadPace(int maxBytes, std::chrono::milliseconds pause) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_readMax = std::clamp(maxBytes, 0, 4096);
    m_readPause = pause;
}

void PlcSimulator::SetWriteCuts(std::vector<int> offsets, std::chrono::milliseconds pause) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_cuts = std::move(offsets);
    m_cutPause = pause;
}

bool PlcSimulator::Send(const ByteArray& bytes) {
    return m_transport->Write(bytes.data(), bytes.GetSize());
}

std::vector<Request> PlcSimulator::Requests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

std::vector<Request> PlcSimulator::RequestsOf(RequestKind kind) const {
    std::vector<Request> out;
    for (auto& r : Requests()) {
        if (r.kind == kind) out.push_back(r);
    }
    return out;
}

bool PlcSimulator::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_requests.size() >= count) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void PlcSimulator::ClearRequests() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_requests.clear();
}

void PlcSimulator::Run() {
    uint8_t data[4096];
    while (!m_stop) {
        int timeout = kReadTimeoutMs;
        std::chrono::milliseconds gatherPause, readPause;
        int readMax, gatherBytes;
        ByteArray chatter;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            gatherPause = m_gatherPause;
            gatherBytes = m_gatherBytes;
            readPause = m_readPause;
            readMax = m_readMax;
            chatter = m_chatter;
        }
        if (!m_gathered.IsEmpty() && gatherPause.count() > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                m_gatheredAt + gatherPause - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, kReadTimeoutMs));
        }
        int n = 0;
        if (readMax > 0)
            n = m_transport->Read(data, readMax, timeout);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
        if (!chatter.IsEmpty()) m_transport->Write(chatter.data(), chatter.GetSize());
        std::this_thread::sleep_for(readPause);
        if (m_transport->Reconnected()) {
            m_buffer.RemoveAll();
            m_gathered.RemoveAll();
            m_state = SerialState::Hunt;
        }
        if (n > 0) Feed(data, n);
        const bool paused =
            gatherPause.count() > 0 && std::chrono::steady_clock::now() >= m_gatheredAt + gatherPause;
        const bool full = gatherBytes > 0 && m_gathered.GetSize() >= gatherBytes;
        if (!m_gathered.IsEmpty() && (paused || full)) FlushGathered();
    }
}

void PlcSimulator::Feed(const uint8_t* data, int count) {
    if (m_serial) {
        for (int i = 0; i < count; ++i) FeedSerial(data[i]);
    } else {
        m_buffer.Append(data, count);
        FeedLength();
    }
}

// The simulator reads the wire with parsers of its own, not the bridge's
// splitters and codec, so that the tests check those against an independent
// reading of the same format.
void PlcSimulator::FeedLength() {
    for (int length = 0; m_buffer.GetSize() >= plc::kLengthFieldEnd; m_buffer.RemoveHead(length)) {
        length = plc::BlockLength(m_buffer.data());
        // A length that cannot hold the headers: nothing here is a frame.
        if (length < kHeaders) return m_buffer.RemoveAll();
        if (m_buffer.GetSize() < length) return;
        ByteArray frame(m_buffer.data(), length);
        Handle(frame, frame, true);
    }
}

void PlcSimulator::FeedSerial(uint8_t byte) {
    switch (m_state) {
        case SerialState::Hunt:
            if (byte == DLE) {
                m_wire = {DLE};
                m_state = SerialState::HuntDle;
            }
            break;
        case SerialState::HuntDle:
            if (byte == STX) {
                m_wire.Add(STX);
                m_body.RemoveAll();
                m_state = SerialState::Body;
            } else if (byte != DLE) {
                m_state = SerialState::Hunt;
            }
            break;
        case SerialState::Body:
            m_wire.Add(byte);
            if (byte == DLE)
                m_state = SerialState::BodyDle;
            else
                m_body.Add(byte);
            break;
        case SerialState::BodyDle:
            m_wire.Add(byte);
            if (byte == DLE) {
                m_body.Add(DLE);
                m_state = SerialState::Body;
            } else if (byte == ETX) {
                m_state = SerialState::Crc1;
            } else if (byte == STX) {
                // A new frame starts before this one ended: the old one is lost.
                m_wire = {DLE, STX};
                m_body.RemoveAll();
                m_state = SerialState::Body;
            } else {
                m_state = SerialState::Hunt;
            }
            break;
        case SerialState::Crc1:
            m_wire.Add(byte);
            m_state = SerialState::Crc2;
            break;
        case SerialState::Crc2: {
            m_wire.Add(byte);
            int n = m_wire.GetSize();
            uint16_t received = static_cast<uint16_t>(m_wire[n - 2] * 256 + m_wire[n - 1]);
            bool crcOk = FrameCrc(m_body.data(), m_body.GetSize()) == received;
            m_state = SerialState::Hunt;
            Handle(m_wire, m_body, crcOk);
            break;
        }
    }
}

void PlcSimulator::Handle(const ByteArray& wire, const ByteArray& body, bool framingIntact) {
    Request request;
    request.wire = wire;
    bool headerOk = body.GetSize() >= kHeaders && body[0] == 0x01 && body[1] == 0x00 && body[4] == 0x00 &&
                    body[5] == 0x01 && body[17] == 0x01;
    for (int i = 6; headerOk && i < 14; ++i) headerOk = body[i] == 0x00;
    if (body.GetSize() >= kHeaders) {
        request.sequence = body[14];
        request.headerByte1 = body[15];
        request.headerByte2 = body[16];
        request.payload = ByteArray(body.data() + kHeaders, body.GetSize() - kHeaders);
    }
    request.intact = framingIntact && headerOk;
    request.kind = request.intact ? Classify(request.headerByte1, request.headerByte2, request.payload)
                                  : RequestKind::Unknown;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_log) {
            // One write a line: simulators of one process share the stream.
            std::ostringstream line;
            line << m_logName << KindName(request.kind) << " seq=" << int(request.sequence)
                 << " hdr=" << int(request.headerByte1) << "," << int(request.headerByte2)
                 << " payload=" << Hex(request.payload) << (request.intact ? "" : " (bad frame)") << '\n';
            *m_log << line.str() << std::flush;
        }
        m_requests.push_back(request);
    }
    if (request.intact) Answer(request);
}

Fault PlcSimulator::TakeFault(RequestKind kind) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_faults.find(kind);
    if (it == m_faults.end() || it->second.first == Fault::None || it->second.second == 0) return Fault::None;
    if (it->second.second > 0) --it->second.second;
    return it->second.first;
}

void PlcSimulator::Answer(const Request& request) {
    Fault fault = TakeFault(request.kind);
    if (fault == Fault::NoAnswer || request.kind == RequestKind::Unknown) return;
    if (fault == Fault::ResetConnection) {
        m_transport->Reset();
        return;
    }
    if (request.kind == RequestKind::PassThrough && fault == Fault::None) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_gatherPause.count() > 0 || m_gatherBytes > 0) {
            m_gathered.Append(request.payload.data() + plc::kPrefixSize,
                              request.payload.GetSize() - plc::kPrefixSize);
            m_gatheredLast = request;
            m_gatheredAt = std::chrono::steady_clock::now();
            return;
        }
    }
    bool wrong = fault == Fault::WrongBytes;
    std::vector<ByteArray> payloads;
    switch (request.kind) {
        case RequestKind::Connect:
        case RequestKind::Disconnect:
            payloads.push_back({0, 0, 0, 0, 0, 0,
                                uint8_t(wrong                                  ? 0x05
                                        : request.kind == RequestKind::Connect ? 0x01
                                                                               : 0x02)});
            break;
        case RequestKind::SerialParameters:
            payloads.push_back({plc::kSerialParametersCode, uint8_t(wrong ? 0x01 : 0x00)});
            break;
        case RequestKind::BaudRate:
            payloads.push_back({uint8_t(wrong ? 0x15 : plc::ACK), 0x30, 0x30, 0x46, 0x46, 0x0D});
            break;
        case RequestKind::Probe:
            payloads.push_back({0x00, uint8_t(wrong ? 0x01 : 0x00)});
            break;
        case RequestKind::PassThrough: {
            int frames;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                frames = m_replyFrames;
            }
            const ByteArray& p = request.payload;
            int data = p.GetSize() - plc::kPrefixSize;
            frames = std::max(1, std::min(frames, std::max(data, 1)));
            uint8_t third = (wrong || fault == Fault::BadPrefix) ? 0x03 : 0x02;
            int from = plc::kPrefixSize;
            for (int i = 0; i < frames; ++i) {
                int n = data / frames + (i < data % frames ? 1 : 0);
                ByteArray reply{0x00, 0x00, third, 0x00, 0x00, 0x00};
                reply.Append(p.data() + from, n);
                from += n;
                payloads.push_back(reply);
            }
            break;
        }
        default:
            return;
    }
    uint8_t sequence = request.sequence;
    if (fault == Fault::StaleSequence) sequence = sequence <= 1 ? 255 : uint8_t(sequence - 1);
    ByteArray out;
    for (const auto& payload : payloads) {
        ByteArray frame =
            BuildReplyFrame(sequence, request.headerByte1, request.headerByte2, payload, m_serial);
        if (fault == Fault::BadCrc) {
            if (m_serial)
                frame[frame.GetSize() - 1] ^= 0x5A;
            else
                frame[4] = 0x00;
        }
        out.Append(frame);
    }
    if (fault == Fault::ResetMidReply) {
        m_transport->Write(out.data(), out.GetSize() / 2);
        m_transport->Reset();
        return;
    }
    WriteAnswer(out);
}

void PlcSimulator::FlushGathered() {
    ByteArray out;
    for (int from = 0; from < m_gathered.GetSize(); from += kGatheredFrameData) {
        int n = std::min(kGatheredFrameData, m_gathered.GetSize() - from);
        ByteArray payload{0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
        payload.Append(m_gathered.data() + from, n);
        out.Append(BuildReplyFrame(m_gatheredLast.sequence, m_gatheredLast.headerByte1,
                                   m_gatheredLast.headerByte2, payload, m_serial));
    }
    m_gathered.RemoveAll();
    WriteAnswer(out);
}

void PlcSimulator::WriteAnswer(const ByteArray& bytes) {
    std::chrono::milliseconds delay, pause;
    std::vector<int> cuts;
    int repeat;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        delay = m_delay;
        pause = m_cutPause;
        cuts = m_cuts;
        repeat = m_replyRepeat;
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    int from = 0;
    for (int cut : cuts) {
        if (m_stop) return;  // a stop cuts an answer short, as a pulled cable does
        if (cut <= from || cut >= bytes.GetSize()) continue;
        m_transport->Write(bytes.data() + from, cut - from);
        from = cut;
        std::this_thread::sleep_for(pause);
    }
    if (m_stop) return;
    m_transport->Write(bytes.data() + from, bytes.GetSize() - from);
    for (int i = 1; i < repeat && !m_stop && m_transport->Write(bytes.data(), bytes.GetSize()); ++i) continue;
}

}  // namespace varnock::plcsim
