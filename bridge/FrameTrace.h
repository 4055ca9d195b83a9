#pragma once
// The traffic trace: one line per frame to or from a PLC and per chunk the
// host wrote into its port. A thread of its own writes the file from a
// bounded queue, so no link operation ever waits for it; when the queue is
// full, lines are dropped and counted. Off unless started.
#include <atomic>
#include <string>

namespace varnock {

class BridgeChannel;
class ByteArray;

enum class TraceDirection { FromHost, ToPlc, FromPlc };

namespace trace_detail {
extern std::atomic<bool> g_tracing;
void Record(const BridgeChannel& channel, TraceDirection direction, const ByteArray& bytes);
void RecordNote(const BridgeChannel& channel, const std::string& note);
}  // namespace trace_detail

// The hook where frames and host chunks pass: `bytes` as they stand there
// (a frame to the PLC encoded, one from it before decoding). Costs one
// atomic load while no trace runs.
inline void TraceFrame(const BridgeChannel& channel, TraceDirection direction, const ByteArray& bytes) {
    if (trace_detail::g_tracing.load(std::memory_order_relaxed))
        trace_detail::Record(channel, direction, bytes);
}

// A line of words among the frames: why a connect failed.
inline void TraceNote(const BridgeChannel& channel, const std::string& note) {
    if (trace_detail::g_tracing.load(std::memory_order_relaxed)) trace_detail::RecordNote(channel, note);
}

// Appends the trace to `path` from now on. A file that cannot be opened,
// or later written, is said once on stderr and the trace stops.
bool StartFrameTrace(const std::string& path);
// Writes what is queued and closes the file.
void StopFrameTrace();

}  // namespace varnock
