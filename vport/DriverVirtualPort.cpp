#include "vport/DriverVirtualPort.h"

#include <cstdio>

#include "vport/DriverEventSink.h"

namespace varnock {

namespace {

std::string DescribeFailure(HRESULT code, const std::string& call) {
    char text[96];
    std::snprintf(text, sizeof(text), "driver call %s failed (0x%08X)", call.c_str(),
                  static_cast<unsigned>(code));
    return text;
}

void Check(HRESULT hr, const char* call) {
    if (Failed(hr)) throw DriverError(hr, call);
}

}  // namespace

DriverError::DriverError(HRESULT code, const std::string& call)
    : std::runtime_error(DescribeFailure(code, call)), m_code(code) {}

DriverVirtualPort::DriverVirtualPort(const DriverOptions& options) {
    DriverClassFactory* factory = nullptr;
    if (Failed(GetDriverClassObject(&factory)) || !factory) return;
    VirtualPortDriver* driver = nullptr;
    if (Failed(factory->CreateInstance(options, &driver)) || !driver) return;
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
        // Ends the driver's event thread, so the sink is done with this port
        // before it goes.
        m_pDriver->Release();
        m_pDriver = nullptr;
    }
}

// A failed driver call (no free pty, no file descriptor left, a link that
// cannot be made) leaves the port out of service like a refused name: the
// caller acts on false, and nothing may end the program from here.
bool DriverVirtualPort::Open(std::string name) {
    if (!m_pDriver) return false;
    try {
        VARIANT_BOOL prepared = VARIANT_FALSE;
        Check(m_pDriver->PrepareBinding(&prepared), "PrepareBinding");
        VARIANT_BOOL bound = VARIANT_FALSE;
        Check(m_pDriver->BindPort(name, &bound), "BindPort");
        if (bound == VARIANT_FALSE) {
            Check(m_pDriver->BindPortFallback(name, &bound), "BindPortFallback");
            if (bound == VARIANT_FALSE) return false;
        }
        int16_t finished = 0;
        Check(m_pDriver->FinishBinding(1, &finished), "FinishBinding");
        return true;
    } catch (const DriverError&) {
        return false;
    }
}

bool DriverVirtualPort::TryBind(std::string name) {
    if (!m_pDriver) return false;
    try {
        VARIANT_BOOL prepared = VARIANT_FALSE;
        Check(m_pDriver->PrepareBinding(&prepared), "PrepareBinding");
        VARIANT_BOOL bound = VARIANT_FALSE;
        Check(m_pDriver->BindPort(name, &bound), "BindPort");
        return bound != VARIANT_FALSE;
    } catch (const DriverError&) {
        return false;
    }
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
        Check(m_pDriver->WriteBytes(bytes.data() + i, 1, &taken), "WriteBytes");
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

// One of the driver's setting queries; 0 without a driver object.
int32_t DriverVirtualPort::Query(HRESULT (VirtualPortDriver::*query)(int32_t*), const char* call) {
    int32_t value = 0;
    if (m_pDriver) Check((m_pDriver->*query)(&value), call);
    return value;
}

int32_t DriverVirtualPort::GetParity() {
    return Query(&VirtualPortDriver::QueryParity, "QueryParity");
}

int32_t DriverVirtualPort::GetBaudRate() {
    return Query(&VirtualPortDriver::QueryBaudRate, "QueryBaudRate");
}

int32_t DriverVirtualPort::GetByteSize() {
    return Query(&VirtualPortDriver::QueryByteSize, "QueryByteSize");
}

int32_t DriverVirtualPort::GetStopBits() {
    return Query(&VirtualPortDriver::QueryStopBits, "QueryStopBits");
}

}  // namespace varnock
