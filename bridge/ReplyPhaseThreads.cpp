#include <algorithm>

#include "bridge/BridgeChannel.h"
#include "bridge/ChannelThreads.h"
#include "bridge/DleFrameSplitter.h"
#include "bridge/LengthFrameSplitter.h"

namespace varnock {

namespace {

// A longer read time-out is read in slices of about this much: the phase
// can end between them, and other link operations get their turn.
constexpr int kReadSliceMs = 100;
// How often a receive thread held back by a full queue looks again.
constexpr uint32_t kQueueFullPauseMs = 10;

// One timed read for up to `count` bytes. The slices' bytes add up as one
// read's would: each asks for what is still missing.
void ReadTimed(BridgeChannel* channel, ByteArray& chunk, int count, int timeoutMs) {
    const int slices = std::max(1, (timeoutMs + kReadSliceMs - 1) / kReadSliceMs);
    for (int i = 0; i < slices; ++i) {
        int slice = timeoutMs / slices + (i < timeoutMs % slices ? 1 : 0);
        uint32_t received = 0;
        channel->LinkHolder().Read(chunk, count - chunk.GetSize(), &received, static_cast<uint32_t>(slice));
        if (chunk.GetSize() >= count || channel->ReplyPhaseMustEnd()) return;
    }
}

}  // namespace

unsigned ReceiveDataThread(BridgeChannel* channel) {
    const int monitorTime = channel->PLCDataMonitorTime();
    const int timeout =
        channel->ActiveLinkType() == LinkType::Usb ? channel->PLCDataMonitorTime_USB() : monitorTime;
    const int count = channel->PLCDataBytesToReadInMonitorTime();
    int silence = 0;

    for (;;) {
        auto chunk = std::make_unique<ByteArray>();
        ReadTimed(channel, *chunk, count, timeout);
        // A PLC that is never silent would keep the phase going for ever.
        if (channel->ReplyPhaseMustEnd()) break;
        if (chunk->IsEmpty()) {
            if (channel->m_bVirtualPortClosed.load() == 1 || channel->m_bLDRDataUnProcessed.load() == 1 ||
                !channel->m_bConnected.load()) {
                break;
            }
            silence += monitorTime;
            if (silence > BridgeChannel::kMaxSilenceMs) break;
            continue;
        }
        silence = 0;
        if (channel->m_bVirtualPortClosed.load() && channel->m_bLDRDataUnProcessed.load() &&
            !channel->m_bConnected.load()) {
            continue;  // dropped
        }
        channel->PushPLCChunk(std::move(chunk));
        channel->m_hPLCDataReadEventSem.release();
        // Not reading leaves the bytes with the link, whose flow control then
        // holds the PLC back.
        while (channel->PLCQueueFull() && !channel->ReplyPhaseMustEnd()) channel->Pause(kQueueFullPauseMs);
    }
    // Wakes the processing thread, which finds the list empty and ends.
    channel->m_hPLCDataReadEventSem.release();
    return 0;
}

unsigned ProcessDataThread(BridgeChannel* channel) {
    LengthFrameSplitter lengthSplitter;
    DleFrameSplitter dleSplitter;
    const bool serial = channel->ActiveLinkType() == LinkType::Serial;
    auto deliver = [channel](ByteArray& frame) {
        channel->Window().SendMessage(WM_CHANNEL_DELIVER_PLC_FRAME, 0, reinterpret_cast<LPARAM>(&frame));
    };

    for (;;) {
        channel->m_hPLCDataReadEventSem.acquire();
        bool empty = false;
        auto chunk = channel->TakePLCHead(&empty);
        if (empty) break;
        if (serial)
            dleSplitter.Feed(*chunk, deliver);
        else
            lengthSplitter.Feed(*chunk, deliver);
    }
    // Clean up before the channel is idle again: a new reply phase may start
    // at once and must not lose its chunks to this one.
    channel->ClearPLCList();
    channel->m_bIdle = 1;
    return 0;
}

}  // namespace varnock
