#pragma once
// Cuts the byte stream of an unframed link (Ethernet, USB) into frames by the
// total length field of the block header.
#include <functional>

#include "common/ByteArray.h"
#include "links/PlcProtocol.h"

namespace varnock {

class LengthFrameSplitter {
public:
    // The receiver may take or empty the frame it is given.
    using Deliver = std::function<void(ByteArray& frame)>;

    // The two headers; a length field below this cannot belong to a frame.
    static constexpr int kMinFrameLength = plc::kHeadersSize;

    // Appends the chunk (left empty) and delivers every complete frame held.
    void Feed(ByteArray& chunk, const Deliver& deliver);
    void Reset() { m_frame.RemoveAll(); }
    const ByteArray& Buffered() const { return m_frame; }

private:
    ByteArray m_frame;
};

}  // namespace varnock
