#pragma once
// The PLC's own USB driver, seen from the link: device nodes DIR/HXUSB-n,
// six control codes, plain reads and writes. The driver itself lies outside
// this program; this interface is all the native USB link needs of it.
#include <cstdint>
#include <string>

namespace varnock {

// Control codes: device type 0x22, any access, buffered, function in bits 2-13.
constexpr uint32_t IOCTL_HXUSB_GET_STATUS = 0x0022205C;
constexpr uint32_t IOCTL_HXUSB_SET_TIMEOUT = 0x0022208C;
constexpr uint32_t IOCTL_HXUSB_PURGE_INPUT = 0x0022209C;
constexpr uint32_t IOCTL_HXUSB_PURGE_OUTPUT = 0x002220A0;
constexpr uint32_t IOCTL_HXUSB_GET_SERIAL = 0x002220A4;
constexpr uint32_t IOCTL_HXUSB_GET_COUNT = 0x002220A8;

// What the driver says to an open.
enum class UsbOpenError {
    None,          // opened
    NotThere,      // no such device, or any failure other than a refusal
    AccessDenied,  // the device exists but is held or refused
};

class UsbDriver {
public:
    using Handle = int;
    static constexpr Handle kInvalidHandle = -1;

    virtual ~UsbDriver() = default;
    // `name` as the link forms it ("\\.\HXUSB-0"). Exclusive use.
    virtual Handle Open(const std::string& name, UsbOpenError& error) = 0;
    // Returns the number of bytes the driver put into `out`.
    virtual uint32_t Control(Handle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                             uint32_t outSize) = 0;
    // Both return the number of bytes moved (0 on failure or time-out).
    virtual uint32_t Read(Handle handle, uint8_t* buffer, uint32_t count) = 0;
    virtual uint32_t Write(Handle handle, const uint8_t* buffer, uint32_t count) = 0;
    virtual void Close(Handle handle) = 0;
};

// Argument block of every control call on a real node: ioctl(fd, code, &block).
// The driver fills `returned` with the number of bytes it wrote to `out`.
struct HxUsbControlBlock {
    uint64_t in;  // address of the input buffer
    uint32_t inSize;
    uint32_t outSize;
    uint64_t out;  // address of the output buffer
    uint32_t returned;
    uint32_t reserved;
};

// The driver behind real nodes: names resolve through the device directory,
// control codes go out as ioctl, transfers are read(2) and write(2).
class IoctlUsbDriver : public UsbDriver {
public:
    Handle Open(const std::string& name, UsbOpenError& error) override;
    uint32_t Control(Handle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize) override;
    uint32_t Read(Handle handle, uint8_t* buffer, uint32_t count) override;
    uint32_t Write(Handle handle, const uint8_t* buffer, uint32_t count) override;
    void Close(Handle handle) override;
};

// The process's driver for real nodes.
UsbDriver& SystemUsbDriver();

}  // namespace varnock
