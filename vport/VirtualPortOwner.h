#pragma once
// What a virtual port's events act on: the owning bridge channel. The
// channel implements this; the event sink calls it from the driver's event
// thread, so every operation must be safe from any thread.
namespace varnock {

class VirtualPortOwner {
public:
    // The channel's m_bConnected.
    virtual bool IsConnected() const = 0;
    // Queues bytes the host software wrote (copied; length below 1 queues
    // an empty block) and sets m_bLDRDataUnProcessed.
    virtual void QueueLDRData(int length, const char* bytes) = 0;
    // Stores m_bVirtualPortClosed: 1 when the host software closed its port.
    virtual void SetVirtualPortClosed(int closed) = 0;
    // The host changed its line settings: send WM_CHANNEL_SYNC_COMM_PARAMS
    // (wParam 0, lParam 0) to the channel's messaging window and return once
    // the main thread has handled it.
    virtual void SyncCommParams() = 0;

protected:
    ~VirtualPortOwner() = default;
};

}  // namespace varnock
