#pragma once
// The connection point of a driver's event interface: the sinks connected to
// it, each held by a reference until Unadvise or the driver's end, and the
// raising of an event on each of them.
#include <cstdint>
#include <map>
#include <mutex>

#include "vport/DriverInterface.h"

namespace varnock {

class DriverEventSinks {
public:
    DriverEventSinks() = default;
    ~DriverEventSinks();
    DriverEventSinks(const DriverEventSinks&) = delete;
    DriverEventSinks& operator=(const DriverEventSinks&) = delete;

    HRESULT Advise(const Guid& eventInterface, DriverEventDispatch* sink, uint32_t* cookie);
    HRESULT Unadvise(const Guid& eventInterface, uint32_t cookie);
    bool Empty();
    // Calls each sink outside the lock; a sink that throws does not stop
    // the others.
    void Raise(DISPID dispid, const DispParams& params);

private:
    std::mutex m_lock;
    std::map<uint32_t, DriverEventDispatch*> m_sinks;
    uint32_t m_nextCookie = 1;
};

}  // namespace varnock
