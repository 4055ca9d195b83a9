#pragma once
// Turns the driver's events into actions on the owning channel: host data
// into its queue, the open state into its closed flag, a settings change
// into a line-settings refresh.
#include <atomic>
#include <cstdint>

#include "vport/DriverInterface.h"
#include "vport/VirtualPortOwner.h"

namespace varnock {

class DriverVirtualPort;

class DriverEventSink : public DriverEventDispatch {
public:
    DriverEventSink() = default;
    DriverEventSink(const DriverEventSink&) = delete;
    DriverEventSink& operator=(const DriverEventSink&) = delete;

    HRESULT QueryInterface(const Guid& iid, void** object) override;
    uint32_t AddRef() override;
    // Deletes the sink when the count drops to zero.
    uint32_t Release() override;
    // Dispatches by DISPID alone; every DISPID, known or not, gets S_OK.
    HRESULT Invoke(DISPID dispid, const DispParams& params) override;

    void SetOwner(VirtualPortOwner* owner) { m_pOwner.store(owner); }
    void SetPort(DriverVirtualPort* port) { m_pPort.store(port); }

    // The most bytes taken in one read; more waiting bring another event.
    static constexpr int32_t kMaxRead = 65536;

private:
    ~DriverEventSink() override = default;
    void OnDataArrived(const DispParams& params);
    void OnOpenStateChanged(const DispParams& params);
    void OnSettingsChanged();

    std::atomic<uint32_t> m_cRef{0};
    std::atomic<VirtualPortOwner*> m_pOwner{nullptr};
    std::atomic<DriverVirtualPort*> m_pPort{nullptr};
};

}  // namespace varnock
