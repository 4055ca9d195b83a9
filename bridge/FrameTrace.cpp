#include "bridge/FrameTrace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/BridgeChannel.h"

namespace varnock {

namespace trace_detail {
std::atomic<bool> g_tracing{false};
}

namespace {

// Lines waiting for the writer; more are dropped.
constexpr size_t kQueueLimit = 4096;
// Bytes shown in hex; the length says how many there were.
constexpr int kShownBytes = 64;
// Bytes kept of a frame: the shown ones, and enough of a DLE-stuffed one
// for its headers and the start of its payload.
constexpr int kKeptBytes = 2 * kShownBytes;
constexpr int kBlockHeaderSize = plc::kBlockHeaderSize;

struct Entry {
    std::chrono::system_clock::time_point time;
    std::string port;
    TraceDirection direction;
    bool framed;  // DLE framing: serial links
    int length;
    std::vector<uint8_t> head;  // the first kKeptBytes
    std::string note;           // a line of its own in place of a frame
};

std::string Stamp(std::chrono::system_clock::time_point time) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d", static_cast<int>(ms % 1000));
    return stamp;
}

// The frame's sequence header and payload start: from the block header on,
// without the framing's DLE STX and, on a frame to the PLC, its stuffing.
std::vector<uint8_t> Body(const Entry& entry) {
    if (!entry.framed) return entry.head;
    std::vector<uint8_t> body(entry.head.begin() + std::min<std::ptrdiff_t>(2, std::ssize(entry.head)),
                              entry.head.end());
    if (entry.direction == TraceDirection::ToPlc) plc::Unstuffer().Collapse(body);
    return body;
}

std::string Format(const Entry& entry) {
    if (!entry.note.empty()) return Stamp(entry.time) + " " + entry.port + " " + entry.note + "\n";
    const char* direction = "host";
    const char* kind = "pass-through";
    std::string sequence = "-";
    if (entry.direction == TraceDirection::LostFromPlc) {
        direction = "from-plc";
        kind = "lost";
    } else if (entry.direction != TraceDirection::FromHost) {
        const std::vector<uint8_t> body = Body(entry);
        const bool headed = body.size() > kBlockHeaderSize + 3;
        if (headed) sequence = std::to_string(body[kBlockHeaderSize]);
        if (entry.direction == TraceDirection::FromPlc) {
            direction = "from-plc";
            kind = "reply";
        } else {
            direction = "to-plc";
            auto at = [&](size_t i) { return i < body.size() ? body[i] : -1; };
            const int byte1 = at(kBlockHeaderSize + 1), byte2 = at(kBlockHeaderSize + 2);
            const int payload = kBlockHeaderSize + 4;
            auto header = [&](plc::HeaderBytes h) { return byte1 == h.byte1 && byte2 == h.byte2; };
            if (header(plc::kControlHeader) && at(payload) == plc::ProbeCommand()[0])
                kind = "probe";
            else if (header(plc::kDataHeader) && at(payload) == plc::kRequestPrefix[0] &&
                     at(payload + 1) == plc::kRequestPrefix[1] && at(payload + 2) == plc::kRequestPrefix[2])
                kind = "pass-through";
            else
                kind = "command";
        }
    }
    char head[160];
    std::snprintf(head, sizeof head, "%s %s %s %s seq %s len %d:", Stamp(entry.time).c_str(),
                  entry.port.c_str(), direction, kind, sequence.c_str(), entry.length);
    std::string line = head;
    const int shown = std::min({entry.length, kShownBytes, static_cast<int>(entry.head.size())});
    char hex[4];
    for (int i = 0; i < shown; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", entry.head[static_cast<size_t>(i)]);
        line += hex;
    }
    if (entry.length > shown) line += " ...";
    return line + "\n";
}

// Waits for a FIFO's reader are bounded: a FIFO nobody reads, or whose
// reader stopped, holds neither start-up nor the bridge nor the exit.
class TraceWriter {
public:
    static TraceWriter& Instance() {
        static TraceWriter writer;
        return writer;
    }
    ~TraceWriter() { Stop(); }

    bool Start(const std::string& path) {
        Stop();
        // A FIFO without a reader cannot be opened for writing without
        // waiting for one: the writer looks for one from time to time.
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0 && errno != ENXIO) {
            std::fprintf(stderr, "varnock: cannot write the trace file %s: %s; no trace is written\n",
                         path.c_str(), std::strerror(errno));
            return false;
        }
        m_fd = fd;
        m_path = path;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stop = false;
        }
        m_thread = std::thread([this] { Run(); });
        trace_detail::g_tracing = true;
        return true;
    }

    void Stop() {
        trace_detail::g_tracing = false;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.clear();
        m_dropped = 0;
    }

    void Push(Entry entry) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_stop) return;
            if (m_queue.size() >= kQueueLimit) {
                ++m_dropped;
                return;
            }
            m_queue.push_back(std::move(entry));
        }
        m_wake.notify_one();
    }

private:
    // How often a FIFO is looked at for a reader, or for room.
    static constexpr auto kLookPeriod = std::chrono::milliseconds(20);
    // How long the exit waits for a slow reader to take what is left.
    static constexpr auto kExitGrace = std::chrono::milliseconds(300);

    void Run() {
        std::string text;
        std::chrono::steady_clock::time_point giveUp{};
        for (;;) {
            bool stop = false;
            {
                std::unique_lock<std::mutex> lock(m_lock);
                auto ready = [this] { return m_stop || !m_queue.empty() || m_dropped > 0; };
                // Text still waiting for room, or for a FIFO's reader, is
                // looked at again after a while; with none the writer sleeps
                // until a line comes (a FIFO is opened for its first line).
                if (text.empty())
                    m_wake.wait(lock, ready);
                else
                    m_wake.wait_for(lock, kLookPeriod, ready);
                std::deque<Entry> batch;
                batch.swap(m_queue);
                for (const Entry& entry : batch) text += Format(entry);
                // The queue was full after these: the lost lines come next.
                if (m_dropped > 0)
                    text += "... " + std::to_string(m_dropped) + " lines dropped: the trace fell behind\n";
                m_dropped = 0;
                stop = m_stop;
            }
            if (stop && giveUp == std::chrono::steady_clock::time_point{})
                giveUp = std::chrono::steady_clock::now() + kExitGrace;
            if (m_fd < 0) m_fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
            if (m_fd < 0 && errno != ENXIO) return Fail();
            while (m_fd >= 0 && !text.empty()) {
                const ssize_t n = ::write(m_fd, text.data(), text.size());
                if (n > 0) {
                    text.erase(0, static_cast<size_t>(n));
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && errno != EAGAIN) return Fail();
                break;  // full: a slow reader
            }
            if (stop && (text.empty() || std::chrono::steady_clock::now() >= giveUp)) return;
        }
    }

    void Fail() {
        trace_detail::g_tracing = false;
        std::fprintf(stderr, "varnock: cannot write the trace file %s: %s; the trace stops\n", m_path.c_str(),
                     std::strerror(errno));
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
        m_queue.clear();
    }

    std::mutex m_lock;  // guards m_queue, m_dropped, m_stop
    std::condition_variable m_wake;
    std::deque<Entry> m_queue;
    long m_dropped = 0;
    bool m_stop = true;
    int m_fd = -1;  // the writer's while it runs; -1 while a FIFO has no reader
    std::string m_path;
    std::thread m_thread;
};

}  // namespace

void trace_detail::Record(const BridgeChannel& channel, TraceDirection direction, const ByteArray& bytes,
                          int length) {
    if (bytes.IsEmpty() && length == 0) return;
    const ChannelConfig* config = channel.Config();
    const int kept = std::min(bytes.GetSize(), kKeptBytes);
    TraceWriter::Instance().Push(Entry{std::chrono::system_clock::now(),
                                       config ? config->m_strVirtualPort : std::string(),
                                       direction,
                                       channel.ActiveLinkType() == LinkType::Serial,
                                       bytes.IsEmpty() ? length : bytes.GetSize(),
                                       std::vector<uint8_t>(bytes.data(), bytes.data() + kept),
                                       {}});
}

void trace_detail::RecordNote(const BridgeChannel& channel, const std::string& note) {
    const ChannelConfig* config = channel.Config();
    TraceWriter::Instance().Push(Entry{std::chrono::system_clock::now(),
                                       config ? config->m_strVirtualPort : std::string(),
                                       TraceDirection::ToPlc,
                                       false,
                                       0,
                                       {},
                                       note});
}

bool StartFrameTrace(const std::string& path) {
    return TraceWriter::Instance().Start(path);
}

void StopFrameTrace() {
    TraceWriter::Instance().Stop();
}

}  // namespace varnock
