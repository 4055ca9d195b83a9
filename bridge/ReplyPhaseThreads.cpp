#include <algorithm>

#include "bridge/BridgeChannel.h"
#include "bridge/ChannelThreads.h"
#include "bridge/DleFrameSplitter.h"
#include "bridge/LengthFrameSplitter.h"

namespace varnock {

namespace {

// The Ethernet and USB-COM links read into a buffer of this size.
constexpr int kMaxReadCount = 4096;

}  // namespace

unsigned ReceiveDataThread(BridgeChannel* channel) {
    const int monitorTime = channel->PLCDataMonitorTime();
    const int timeout =
        channel->ActiveLinkType() == LinkType::Usb ? channel->PLCDataMonitorTime_USB() : monitorTime;
    const int count = std::min(channel->PLCDataBytesToReadInMonitorTime(), kMaxReadCount);
    int silence = 0;

    for (;;) {
        auto chunk = std::make_unique<ByteArray>();
        uint32_t received = 0;
        channel->LinkHolder().Read(*chunk, count, &received, static_cast<uint32_t>(std::max(0, timeout)));
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
