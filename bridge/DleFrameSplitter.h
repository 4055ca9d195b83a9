#pragma once
// Cuts the byte stream of a serial link into DLE-framed frames:
// DLE STX, stuffed body, DLE ETX, two CRC bytes. Delivered frames have their
// stuffing removed except in the trailer (ETX and CRC pass as they are).
#include <cstdint>
#include <functional>

#include "common/ByteArray.h"
#include "links/PlcProtocol.h"

namespace varnock {

class DleFrameSplitter {
public:
    using Deliver = std::function<void(ByteArray& frame)>;
    // The longest frame as it is buffered: DLE STX, a body of as many bytes
    // as the length field can count, DLE ETX and the CRC. Older bytes than
    // that cannot belong to a frame still to come and are dropped.
    static constexpr int kMaxFrameLength = 65535 + plc::kSerialFramingSize;

    // Walks the chunk (left empty); delivers a frame when the next frame's
    // DLE STX is reached, or when it is complete at the end of the chunk.
    void Feed(ByteArray& chunk, const Deliver& deliver);
    void Reset();
    const ByteArray& Buffered() const { return m_frame; }

private:
    // Counts one control sequence; true when it opens the next frame.
    bool CountControlSequence();
    void ClearTrailer();
    void DeliverBuffer(const Deliver& deliver);

    ByteArray m_frame;
    int m_nControlCount = 0;
    bool m_bTrailer = false;
    int m_nTrailerCount = 0;
    bool m_bPendingDle = false;
};

}  // namespace varnock
