#include "bridge/LengthFrameSplitter.h"

namespace varnock {

void LengthFrameSplitter::Feed(ByteArray& chunk, const Deliver& deliver) {
    m_frame.Append(chunk);
    chunk.RemoveAll();
    // Every complete frame goes out now: a second frame in the same chunk
    // must not wait for a chunk that may never come.
    while (m_frame.GetSize() >= plc::kLengthFieldEnd) {
        int length = plc::BlockLength(m_frame.data());
        if (length < kMinFrameLength) {
            // Corrupt input: no frame can start here, and keeping it would
            // deliver empty frames for ever.
            m_frame.RemoveAll();
            return;
        }
        if (m_frame.GetSize() < length) return;
        ByteArray frame(m_frame.data(), length);
        m_frame.RemoveHead(length);
        deliver(frame);
    }
}

}  // namespace varnock
