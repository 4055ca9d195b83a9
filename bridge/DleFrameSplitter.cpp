#include "bridge/DleFrameSplitter.h"

namespace varnock {

using plc::DLE;

void DleFrameSplitter::Reset() {
    m_frame.RemoveAll();
    m_nControlCount = 0;
    ClearTrailer();
    m_bPendingDle = false;
}

void DleFrameSplitter::ClearTrailer() {
    m_bTrailer = false;
    m_nTrailerCount = 0;
}

bool DleFrameSplitter::CountControlSequence() {
    if (!m_bTrailer) ++m_nControlCount;
    if (m_nControlCount == 2) m_bTrailer = true;
    return m_nControlCount == 3;
}

void DleFrameSplitter::DeliverBuffer(const Deliver& deliver) {
    ByteArray frame;
    frame.bytes().swap(m_frame.bytes());
    deliver(frame);
}

void DleFrameSplitter::Feed(ByteArray& chunk, const Deliver& deliver) {
    auto& c = chunk.bytes();
    size_t k = 0;
    while (k < c.size()) {
        if (m_bPendingDle) {
            m_bPendingDle = false;
            if (c[k] == DLE) {
                // Second half of a stuffed pair whose first DLE ended the last chunk.
                c.erase(c.begin() + static_cast<long>(k));
                if (k >= c.size()) break;
            } else if (CountControlSequence()) {
                // The buffered DLE starts the next frame.
                m_frame.bytes().pop_back();
                DeliverBuffer(deliver);
                m_frame.Add(DLE);
                m_nControlCount = 1;
                ClearTrailer();
            }
        }
        if (m_bTrailer) {
            ++m_nTrailerCount;
            if (m_nTrailerCount < 4) {
                ++k;
                continue;
            }
            ClearTrailer();
        }
        if (c[k] == DLE && k + 1 < c.size() && c[k + 1] == DLE) {
            c.erase(c.begin() + static_cast<long>(k));  // unstuff; the DLE left is data
            ++k;
            continue;
        }
        if (c[k] == DLE) {
            if (k + 1 == c.size()) {
                m_bPendingDle = true;
                break;
            }
            if (CountControlSequence()) {
                m_frame.Append(c.data(), static_cast<int>(k));
                DeliverBuffer(deliver);
                c.erase(c.begin(), c.begin() + static_cast<long>(k));
                m_nControlCount = 1;
                ClearTrailer();
                k = 1;
                continue;
            }
        }
        ++k;
    }
    m_frame.Append(chunk);
    chunk.RemoveAll();
    if (m_frame.GetSize() > kMaxFrameLength) m_frame.RemoveHead(m_frame.GetSize() - kMaxFrameLength);
    if (m_nControlCount == 2 && m_nTrailerCount == 3) {
        DeliverBuffer(deliver);
        m_nControlCount = 0;
        ClearTrailer();
    }
}

}  // namespace varnock
