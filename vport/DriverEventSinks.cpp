#include "vport/DriverEventSinks.h"

#include <vector>

namespace varnock {

DriverEventSinks::~DriverEventSinks() {
    for (auto& [cookie, sink] : m_sinks) sink->Release();
}

HRESULT DriverEventSinks::Advise(const Guid& eventInterface, DriverEventDispatch* sink, uint32_t* cookie) {
    if (!sink || !cookie) return E_POINTER;
    if (!(eventInterface == kIidDriverEvents)) return CONNECT_E_NOCONNECTION;
    sink->AddRef();
    std::lock_guard<std::mutex> lock(m_lock);
    *cookie = m_nextCookie++;
    m_sinks[*cookie] = sink;
    return S_OK;
}

HRESULT DriverEventSinks::Unadvise(const Guid& eventInterface, uint32_t cookie) {
    if (!(eventInterface == kIidDriverEvents)) return CONNECT_E_NOCONNECTION;
    DriverEventDispatch* sink = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_sinks.find(cookie);
        if (it == m_sinks.end()) return CONNECT_E_NOCONNECTION;
        sink = it->second;
        m_sinks.erase(it);
    }
    sink->Release();
    return S_OK;
}

bool DriverEventSinks::Empty() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sinks.empty();
}

void DriverEventSinks::Raise(DISPID dispid, const DispParams& params) {
    std::vector<DriverEventDispatch*> sinks;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& [cookie, sink] : m_sinks) {
            sink->AddRef();
            sinks.push_back(sink);
        }
    }
    for (DriverEventDispatch* sink : sinks) {
        try {
            sink->Invoke(dispid, params);
        } catch (...) {
            // A failing subscriber must not end the port's events.
        }
        sink->Release();
    }
}

}  // namespace varnock
