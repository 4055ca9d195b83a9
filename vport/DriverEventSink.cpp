#include "vport/DriverEventSink.h"

#include <algorithm>
#include <vector>

#include "vport/DriverVirtualPort.h"

namespace varnock {

HRESULT DriverEventSink::QueryInterface(const Guid& iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == kIidUnknown || iid == kIidDispatch || iid == kIidDriverEvents) {
        *object = static_cast<DriverEventDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

uint32_t DriverEventSink::AddRef() {
    return ++m_cRef;
}

uint32_t DriverEventSink::Release() {
    uint32_t left = --m_cRef;
    if (left == 0) delete this;
    return left;
}

HRESULT DriverEventSink::Invoke(DISPID dispid, const DispParams& params) {
    switch (dispid) {
        case kDispidDataArrived:
            OnDataArrived(params);
            break;
        case kDispidOpenStateChanged:
            OnOpenStateChanged(params);
            break;
        case kDispidSettingsChanged:
        case kDispidSettingsChangedToo:
            OnSettingsChanged();
            break;
        default:
            break;
    }
    return S_OK;
}

void DriverEventSink::OnDataArrived(const DispParams& params) {
    DriverVirtualPort* port = m_pPort.load();
    VirtualPortDriver* driver = port ? port->DriverObject() : nullptr;
    if (params.rgvarg.empty() || !driver) return;
    // Not taken, the bytes stay with the driver, which announces them again
    // a moment later.
    VirtualPortOwner* owner = m_pOwner.load();
    if (owner && owner->IsConnected() && owner->LDRQueueFull()) return;
    // A count the driver got wrong must not size the buffer: clamp it, and
    // read again on the next event for whatever is left.
    const int32_t announced = std::clamp(params.rgvarg[0].value, 0, kMaxRead);
    std::vector<char> buffer(static_cast<size_t>(announced) + 1);
    int32_t count = announced;
    int32_t read = 0;
    if (Failed(driver->ReadBytes(reinterpret_cast<uint8_t*>(buffer.data()), &count, &read))) return;
    read = std::clamp(read, 0, announced);
    // Bytes read while the channel is not connected are dropped: the
    // driver's buffer is drained in every case.
    if (read != 0 && owner && owner->IsConnected()) owner->QueueLDRData(read, buffer.data());
}

void DriverEventSink::OnOpenStateChanged(const DispParams& params) {
    VirtualPortOwner* owner = m_pOwner.load();
    if (params.rgvarg.empty() || !owner) return;
    owner->SetVirtualPortClosed(static_cast<int16_t>(params.rgvarg[0].value) == 0 ? 1 : 0);
}

void DriverEventSink::OnSettingsChanged() {
    VirtualPortOwner* owner = m_pOwner.load();
    if (owner && owner->IsConnected()) owner->SyncCommParams();
}

}  // namespace varnock
