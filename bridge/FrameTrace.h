#pragma once
// The traffic trace: one line per frame to or from a PLC and per chunk the
// host wrote into its port. A thread of its own writes the file from a
// bounded queue, so no link operation ever waits for it; when the queue is
// full, lines are dropped and counted. Off unless started.
#include <atomic>
#include <string>

#include "common/ByteArray.h"

namespace varnock {

class BridgeChannel;

// LostFromPlc: bytes of the PLC's replies dropped, its length their count.
enum class TraceDirection { FromHost, ToPlc, FromPlc, LostFromPlc };

namespace trace_detail {
extern std::atomic<bool> g_tracing;
// `length` stands for `bytes`' size where there are no bytes to show.
void Record(const BridgeChannel& channel, TraceDirection direction, const ByteArray& bytes, int length = 0);
void RecordNote(const BridgeChannel& channel, const std::string& note);
}  // namespace trace_detail

// The hook where frames and host chunks pass: `bytes` as they stand there
// (a frame to the PLC encoded, one from it before decoding). Costs one
// atomic load while no trace runs.
inline void TraceFrame(const BridgeChannel& channel, TraceDirection direction, const ByteArray& bytes) {
    if (trace_detail::g_tracing.load(std::memory_order_relaxed))
        trace_detail::Record(channel, direction, bytes);
}

// Bytes of the PLC's replies that were dropped.
inline void TraceLoss(const BridgeChannel& channel, int bytes) {
    if (trace_detail::g_tracing.load(std::memory_order_relaxed))
        trace_detail::Record(channel, TraceDirection::LostFromPlc, {}, bytes);
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
