#pragma once
// The virtual port over a driver object: every operation is one or a few
// calls on the driver's port interface. A failed call makes Open and TryBind
// report false; Write and the queries raise it as DriverError.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "vport/DriverInterface.h"
#include "vport/VirtualPort.h"

namespace varnock {

class DriverEventSink;

// A driver call that returned a failure code.
class DriverError : public std::runtime_error {
public:
    DriverError(HRESULT code, const std::string& call);
    HRESULT Code() const { return m_code; }

private:
    HRESULT m_code;
};

class DriverVirtualPort : public VirtualPort {
public:
    explicit DriverVirtualPort(const DriverOptions& options = {});
    ~DriverVirtualPort() override;
    DriverVirtualPort(const DriverVirtualPort&) = delete;
    DriverVirtualPort& operator=(const DriverVirtualPort&) = delete;

    bool TryBind(std::string name) override;
    bool Disconnect() override;
    bool Open(std::string name) override;
    void SetOwner(VirtualPortOwner& owner) override;
    int Write(const ByteArray& bytes) override;
    // No queue when the driver has none or the call fails.
    OutputQueue QueryOutput() override;
    int32_t GetParity() override;
    int32_t GetBaudRate() override;
    int32_t GetByteSize() override;
    int32_t GetStopBits() override;

    // The driver object the event sink reads through; none without one.
    VirtualPortDriver* DriverObject() const { return m_pDriver; }
    bool HasEventSink() const { return m_pEventSink != nullptr; }

private:
    int32_t Query(HRESULT (VirtualPortDriver::*query)(int32_t*), const char* call);

    VirtualPortOwner* m_pOwner = nullptr;
    VirtualPortDriver* m_pDriver = nullptr;
    DriverEventSink* m_pEventSink = nullptr;
    uint32_t m_dwCookie = 0;
};

}  // namespace varnock
