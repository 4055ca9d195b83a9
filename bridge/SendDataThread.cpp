#include <algorithm>

#include "bridge/BridgeChannel.h"
#include "bridge/ChannelThreads.h"

namespace varnock {

namespace {

int SendBlock(BridgeChannel* channel, ByteArray& block) {
    return static_cast<int>(
        channel->Window().SendMessage(WM_CHANNEL_SEND_LDR_DATA, 0, reinterpret_cast<LPARAM>(&block)));
}

}  // namespace

unsigned SendDataThread(BridgeChannel* channel) {
    const int maxPause = channel->MaxTimeBetweenLDRData();
    const int blockSize = channel->BlockTransferSizeInBytes();

    ByteArray block;
    std::unique_ptr<ByteArray> chunk;
    int run = 1;
    bool sentBlock = false;
    auto stopped = [channel] {
        return !channel->m_bConnected.load() || channel->m_bVirtualPortClosed.load() == 1;
    };

    while (channel->m_bConfiguring.load() != 0 && !channel->Pause(10)) continue;

    while (run == 1) {
        // What the host wrote before it closed its port, or before the user
        // disconnected, is its last request: its first block still goes out,
        // before any goodbye. Only the rest of a long one is dropped.
        if (stopped() && (sentBlock || (block.IsEmpty() && !chunk && channel->LDRListEmpty()))) {
            run = 0;
            break;
        }
        if (!chunk) {
            if (channel->LDRListEmpty()) {
                bool more = false;
                // A disconnect or a closed port ends the request at once.
                for (int i = 1; i <= maxPause && !more && !stopped(); ++i) {
                    channel->Pause(10);
                    more = !channel->LDRListEmpty();
                }
                if (!more) break;  // the host paused: the request is complete
            }
            chunk = channel->TakeLDRHead();
            if (!chunk) continue;
        }
        if (block.GetSize() + chunk->GetSize() > blockSize) {
            int take = blockSize - block.GetSize();
            block.Append(chunk->data(), take);
            chunk->RemoveHead(take);
            run = SendBlock(channel, block);
            block.RemoveAll();
            sentBlock = true;
        } else {
            block.Append(*chunk);
            chunk.reset();
        }
    }
    if (run == 1 && !block.IsEmpty()) run = SendBlock(channel, block);

    channel->m_bLDRDataUnProcessed = 0;
    if (run == 1) {
        // Bytes queued after the last look at the list must not wait for
        // further host data to be noticed.
        if (!channel->LDRListEmpty()) channel->m_bLDRDataUnProcessed = 1;
        channel->StartWorker(ReceiveDataThread);
        channel->StartWorker(ProcessDataThread);
    } else {
        channel->ClearLDRList();
        channel->m_bIdle = 1;
        channel->WakeMonitor();
    }
    return 0;
}

}  // namespace varnock
