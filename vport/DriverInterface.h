#pragma once
// The virtual serial port driver as the rest of the system sees it: its
// port interface (the calls the virtual port makes), its event interface
// (what the event sink receives), status codes in the HRESULT convention,
// and the class object through which a driver object is made.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/LinkTypes.h"

namespace varnock {

using HRESULT = int32_t;
using VARIANT_BOOL = int16_t;
using DISPID = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200);

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

inline bool Succeeded(HRESULT hr) {
    return hr >= 0;
}
inline bool Failed(HRESULT hr) {
    return hr < 0;
}
// A system error as a failure code (facility 7, the errno in the low word).
inline HRESULT HresultFromErrno(int error) {
    return static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
}

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
    bool operator==(const Guid&) const = default;
};

constexpr Guid kIidUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr Guid kIidDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr Guid kIidConnectionPoint = {
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// Driver object class, its port interface and its event interface.
constexpr Guid kClsidDriver = {0xE0947E75, 0xCDA3, 0x445F, {0xA5, 0x77, 0x14, 0xA3, 0xD4, 0x0E, 0xFC, 0xAB}};
constexpr Guid kIidDriverPort = {
    0x49CD4B3F, 0x7BB6, 0x4952, {0xBA, 0x69, 0x15, 0x8C, 0xF9, 0xB0, 0x3E, 0xA6}};
constexpr Guid kIidDriverEvents = {
    0x63BFB825, 0x3877, 0x46BB, {0x99, 0xD3, 0x47, 0x08, 0x4E, 0xDC, 0xF2, 0x50}};

// Event identifiers of the driver event interface.
constexpr DISPID kDispidDataArrived = 1;
constexpr DISPID kDispidOpenStateChanged = 5;
constexpr DISPID kDispidSettingsChanged = 7;
constexpr DISPID kDispidSettingsChangedToo = 10;

// One event argument.
struct Variant {
    enum class Type { Empty, Int16, Int32, Bool };
    Type type = Type::Empty;
    int32_t value = 0;

    static Variant Int32(int32_t v) { return {Type::Int32, v}; }
    static Variant Bool(bool b) { return {Type::Bool, b ? VARIANT_TRUE : VARIANT_FALSE}; }
};

// Arguments of one event, last argument first.
struct DispParams {
    std::vector<Variant> rgvarg;
};

// The outgoing interface the driver raises its events on.
class DriverEventDispatch {
public:
    virtual HRESULT QueryInterface(const Guid& iid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual HRESULT Invoke(DISPID dispid, const DispParams& params) = 0;

protected:
    virtual ~DriverEventDispatch() = default;
};

// The driver object's port interface: ten calls, each returning a status
// and its result through the last argument; plus the event connection.
class VirtualPortDriver {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

    virtual HRESULT BindPort(const std::string& name, VARIANT_BOOL* bound) = 0;
    virtual HRESULT WriteBytes(const uint8_t* bytes, int32_t count, int32_t* result) = 0;
    // *count holds the buffer's room on entry; *read gets the bytes placed.
    virtual HRESULT ReadBytes(uint8_t* buffer, int32_t* count, int32_t* read) = 0;
    virtual HRESULT PrepareBinding(VARIANT_BOOL* result) = 0;
    virtual HRESULT BindPortFallback(const std::string& name, VARIANT_BOOL* bound) = 0;
    virtual HRESULT FinishBinding(int16_t value, int16_t* result) = 0;
    virtual HRESULT QueryParity(int32_t* parity) = 0;
    virtual HRESULT QueryStopBits(int32_t* stopBits) = 0;
    virtual HRESULT QueryByteSize(int32_t* byteSize) = 0;
    virtual HRESULT QueryBaudRate(int32_t* baudRate) = 0;
    // Not one of the ten: the room left in the driver's queue towards the
    // host and the bytes the host has been handed so far. A driver that
    // writes through at once has no queue (E_NOTIMPL).
    virtual HRESULT QueryOutputQueue(int32_t* room, uint64_t* taken) {
        (void)room;
        (void)taken;
        return E_NOTIMPL;
    }

    // Not one of the ten: the network client's address while one is
    // connected (see VirtualPort::NetworkClient). A pty driver has none.
    virtual HRESULT QueryNetworkClient(std::string* address) {
        (void)address;
        return E_NOTIMPL;
    }

    // The connection point of the event interface: the driver holds a
    // reference on each connected sink until Unadvise or its own end.
    virtual HRESULT Advise(const Guid& eventInterface, DriverEventDispatch* sink, uint32_t* cookie) = 0;
    virtual HRESULT Unadvise(const Guid& eventInterface, uint32_t cookie) = 0;

protected:
    virtual ~VirtualPortDriver() = default;
};

// What a driver object is told when it is made: the host-side line
// settings that a pseudo-terminal cannot show ("CommunicationSettings").
struct DriverOptions {
    DriverOptions(int byteSize_ = 7, int parity_ = static_cast<int>(Parity::Even))
        : byteSize(byteSize_), parity(parity_) {}
    int byteSize;
    int parity;
    // A port served over TCP (RFC 2217) instead of as a pty: listen port
    // (0: a pty), its IPv4 address, and the client addresses let in (empty:
    // any).
    uint16_t listenPort = 0;
    std::string listenAddress = "127.0.0.1";
    std::vector<std::string> allowedClients;
};

class DriverClassFactory {
public:
    virtual ~DriverClassFactory() = default;
    virtual HRESULT CreateInstance(const DriverOptions& options, VirtualPortDriver** driver) = 0;
};

// The class object of the driver. The pseudo-terminal driver's is refused
// with REGDB_E_CLASSNOTREG when the device directory cannot be used.
HRESULT GetDriverClassObject(DriverClassFactory** factory);

// Puts another class object in place of the pseudo-terminal driver's
// (tests); nullptr restores it. The caller keeps ownership.
void RegisterDriverClassObject(DriverClassFactory* factory);

class ScopedDriverClass {
public:
    explicit ScopedDriverClass(DriverClassFactory& factory) { RegisterDriverClassObject(&factory); }
    ~ScopedDriverClass() { RegisterDriverClassObject(nullptr); }
    ScopedDriverClass(const ScopedDriverClass&) = delete;
    ScopedDriverClass& operator=(const ScopedDriverClass&) = delete;
};

}  // namespace varnock
