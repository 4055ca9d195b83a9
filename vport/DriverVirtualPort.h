#pragma once
// The virtual port over a driver object: every operation is one or a few
// calls on the driver's port interface. The driver's result codes end here:
// a failed call makes Open and TryBind report false, Write -1 and the
// queries none.
#include <cstdint>
#include <optional>
#include <string>

#include "vport/DriverInterface.h"
#include "vport/VirtualPort.h"

namespace varnock {

class DriverEventSink;

class DriverVirtualPort : public VirtualPort {
public:
    explicit DriverVirtualPort(const DriverOptions& options = {});
    // Over a driver object made elsewhere; the port takes its reference.
    explicit DriverVirtualPort(VirtualPortDriver* driver);
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
    std::string NetworkClient() override;
    std::optional<int32_t> GetParity() override;
    std::optional<int32_t> GetBaudRate() override;
    std::optional<int32_t> GetByteSize() override;
    std::optional<int32_t> GetStopBits() override;

    // The driver object the event sink reads through; none without one.
    VirtualPortDriver* DriverObject() const { return m_pDriver; }
    bool HasEventSink() const { return m_pEventSink != nullptr; }

private:
    void Attach(VirtualPortDriver* driver);
    std::optional<int32_t> Query(HRESULT (VirtualPortDriver::*query)(int32_t*));
    // Binds `name`; with `fallback`, also by the driver's second way, and
    // finishes the binding.
    bool Bind(const std::string& name, bool fallback);

    VirtualPortOwner* m_pOwner = nullptr;
    VirtualPortDriver* m_pDriver = nullptr;
    DriverEventSink* m_pEventSink = nullptr;
    uint32_t m_dwCookie = 0;
};

}  // namespace varnock
