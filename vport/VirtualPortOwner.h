#pragma once
// What a virtual port's events act on: the owning bridge channel. The
// channel implements this; the event sink calls it from the driver's event
// thread, so every operation must be safe from any thread.
namespace varnock {

class VirtualPortOwner {
public:
    // The channel's m_bConnected.
    virtual bool IsConnected() const = 0;
    // The host's bytes waiting for the PLC are over their cap: leave further
    // ones with the port, whose full buffer then holds the host back.
    virtual bool LDRQueueFull() const = 0;
    // Queues bytes the host software wrote (copied; length below 1 queues
    // an empty block) and sets m_bLDRDataUnProcessed.
    virtual void QueueLDRData(int length, const char* bytes) = 0;
    // Stores m_bVirtualPortClosed: 1 when the host software closed its port.
    virtual void SetVirtualPortClosed(int closed) = 0;
    // The host changed its line settings: the channel has its messaging
    // window handle WM_CHANNEL_SYNC_COMM_PARAMS (wParam 0, lParam 0) as soon
    // as no exchange with the PLC runs.
    virtual void SyncCommParams() = 0;

protected:
    ~VirtualPortOwner() = default;
};

}  // namespace varnock
