#include "vport/DriverVirtualPort.h"

#include "vport/DriverEventSink.h"

namespace varnock {

DriverVirtualPort::DriverVirtualPort(const DriverOptions& options) {
    DriverClassFactory* factory = nullptr;
    if (Failed(GetDriverClassObject(&factory)) || !factory) return;
    VirtualPortDriver* driver = nullptr;
    if (Failed(factory->CreateInstance(options, &driver)) || !driver) return;
    Attach(driver);
}

DriverVirtualPort::DriverVirtualPort(VirtualPortDriver* driver) {
    if (driver) Attach(driver);
}

void DriverVirtualPort::Attach(VirtualPortDriver* driver) {
    m_pDriver = driver;

    // The driver's connection keeps the sink alive; the reference held here
    // only bridges the Advise, so a refused connection frees the sink.
    m_pEventSink = new DriverEventSink();
    m_pEventSink->AddRef();
    bool connected = Succeeded(m_pDriver->Advise(kIidDriverEvents, m_pEventSink, &m_dwCookie));
    if (connected) m_pEventSink->SetPort(this);
    m_pEventSink->Release();
    if (!connected) m_pEventSink = nullptr;
}

DriverVirtualPort::~DriverVirtualPort() {
    if (m_pDriver) {
        // Ends the driver's events, so the sink is done with this port
        // before it goes.
        m_pDriver->Release();
        m_pDriver = nullptr;
    }
}

// A failed driver call (no free pty, no file descriptor left, a link that
// cannot be made) leaves the port out of service like a refused name: the
// caller acts on false.
bool DriverVirtualPort::Bind(const std::string& name, bool fallback) {
    if (!m_pDriver) return false;
    VARIANT_BOOL prepared = VARIANT_FALSE;
    if (Failed(m_pDriver->PrepareBinding(&prepared))) return false;
    VARIANT_BOOL bound = VARIANT_FALSE;
    if (Failed(m_pDriver->BindPort(name, &bound))) return false;
    if (!fallback) return bound != VARIANT_FALSE;
    if (bound == VARIANT_FALSE &&
        (Failed(m_pDriver->BindPortFallback(name, &bound)) || bound == VARIANT_FALSE))
        return false;
    int16_t finished = 0;
    return Succeeded(m_pDriver->FinishBinding(1, &finished));
}

bool DriverVirtualPort::Open(std::string name) {
    return Bind(name, true);
}

bool DriverVirtualPort::TryBind(std::string name) {
    return Bind(name, false);
}

bool DriverVirtualPort::Disconnect() {
    if (!m_pDriver) return true;
    if (m_pEventSink) {
        m_pDriver->Unadvise(kIidDriverEvents, m_dwCookie);
        // The connection held the sink; it may be gone now.
        m_pEventSink = nullptr;
    }
    m_pDriver->Release();
    m_pDriver = nullptr;
    return true;
}

void DriverVirtualPort::SetOwner(VirtualPortOwner& owner) {
    m_pOwner = &owner;
    if (m_pEventSink) m_pEventSink->SetOwner(&owner);
}

int DriverVirtualPort::Write(const ByteArray& bytes) {
    if (!m_pDriver) return 0;
    const int n = bytes.GetSize();
    for (int i = 0; i < n; ++i) {
        int32_t taken = 0;
        if (Failed(m_pDriver->WriteBytes(bytes.data() + i, 1, &taken))) return -1;
    }
    return n;
}

VirtualPort::OutputQueue DriverVirtualPort::QueryOutput() {
    OutputQueue queue;
    int32_t room = 0;
    uint64_t taken = 0;
    if (m_pDriver && Succeeded(m_pDriver->QueryOutputQueue(&room, &taken))) queue = {room, taken};
    return queue;
}

std::string DriverVirtualPort::NetworkClient() {
    std::string address;
    if (!m_pDriver || Failed(m_pDriver->QueryNetworkClient(&address))) return {};
    return address;
}

// One of the driver's setting queries; 0 without a driver object.
std::optional<int32_t> DriverVirtualPort::Query(HRESULT (VirtualPortDriver::*query)(int32_t*)) {
    int32_t value = 0;
    if (m_pDriver && Failed((m_pDriver->*query)(&value))) return std::nullopt;
    return value;
}

std::optional<int32_t> DriverVirtualPort::GetParity() {
    return Query(&VirtualPortDriver::QueryParity);
}

std::optional<int32_t> DriverVirtualPort::GetBaudRate() {
    return Query(&VirtualPortDriver::QueryBaudRate);
}

std::optional<int32_t> DriverVirtualPort::GetByteSize() {
    return Query(&VirtualPortDriver::QueryByteSize);
}

std::optional<int32_t> DriverVirtualPort::GetStopBits() {
    return Query(&VirtualPortDriver::QueryStopBits);
}

}  // namespace varnock
