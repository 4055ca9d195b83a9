#include <algorithm>

#include "bridge/BridgeChannel.h"
#include "bridge/ChannelThreads.h"
#include "bridge/DleFrameSplitter.h"
#include "bridge/LengthFrameSplitter.h"
#include "platform/Clock.h"
#include "vport/VirtualPort.h"

namespace varnock {

namespace {

// A longer read time-out is read in slices of about this much: the phase
// can end between them, and other link operations get their turn.
constexpr int kReadSliceMs = 100;
// How often a receive thread held back by a full queue looks again; on a
// serial line, how long each of its reads then lasts, and for how much.
constexpr uint32_t kQueueFullPauseMs = 10;
constexpr int kDropReadCount = 4096;
// A host that takes nothing for this long is not reading: its port drops
// what does not fit, and the reply is no longer held back for it.
constexpr uint32_t kHostStalledMs = 1000;

// A host that reads slowly holds the reply back instead of losing it: each
// frame waits for room in the port's queue, the chunks behind it wait in the
// PLC queue, and that queue's cap holds the link.
class HostPace {
public:
    void WaitForRoom(BridgeChannel* channel, int bytes) {
        VirtualPort* port = channel->Port();
        if (!port) return;
        uint32_t since = platform::GetTickCount();
        for (;;) {
            const VirtualPort::OutputQueue queue = port->QueryOutput();
            if (queue.taken != m_taken) {
                m_taken = queue.taken;
                m_stalled = false;
                since = platform::GetTickCount();
            }
            if (queue.room >= bytes || m_stalled || channel->ReplyPhaseMustEnd() ||
                channel->m_bVirtualPortClosed.load() == 1 || !channel->m_bConnected.load())
                return;
            if (platform::GetTickCount() - since >= kHostStalledMs) {
                m_stalled = true;
                return;
            }
            if (channel->Pause(kQueueFullPauseMs)) return;
        }
    }

private:
    uint64_t m_taken = 0;
    bool m_stalled = false;
};

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
    const bool serial = channel->ActiveLinkType() == LinkType::Serial;
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
        // Not reading leaves the bytes with the link. TCP and USB hold the
        // PLC back then; a serial line cannot (its handshake lines are off):
        // its buffer would overflow unseen. There the bytes are read,
        // dropped and counted, and the loss is said.
        int64_t lost = 0;
        while (channel->PLCQueueFull() && !channel->ReplyPhaseMustEnd()) {
            if (!serial) {
                channel->Pause(kQueueFullPauseMs);
                continue;
            }
            ByteArray dropped;
            uint32_t received = 0;
            // A lost line reads nothing at once.
            if (channel->LinkHolder().Read(dropped, kDropReadCount, &received, kQueueFullPauseMs) != 1)
                channel->Pause(kQueueFullPauseMs);
            lost += dropped.GetSize();
        }
        if (lost > 0) channel->RepliesLost(lost);
    }
    // Wakes the processing thread, which finds the list empty and ends.
    channel->m_hPLCDataReadEventSem.release();
    return 0;
}

unsigned ProcessDataThread(BridgeChannel* channel) {
    LengthFrameSplitter lengthSplitter;
    DleFrameSplitter dleSplitter;
    const bool serial = channel->ActiveLinkType() == LinkType::Serial;
    HostPace pace;
    auto deliver = [channel, &pace](ByteArray& frame) {
        pace.WaitForRoom(channel, frame.GetSize());
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
    channel->WakeMonitor();
    return 0;
}

}  // namespace varnock
