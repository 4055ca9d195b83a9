#pragma once
// What the host-side compatibility library tells the driver of a virtual
// port: the line settings the host software set, as one fixed-size datagram
// on the port's private socket in the device directory (DIR/.NAME.host).
//
// Shared by the driver and by the library that is preloaded into host
// programs, so it stays free of everything but the C++ core language: no
// allocation, no exceptions, no library state.
#include <cstddef>
#include <cstdint>

namespace varnock::hostline {

// Every message has exactly this size.
constexpr size_t kMessageSize = 128;
// Longest port name a message carries (the device directory's limit).
constexpr size_t kPortNameMax = 100;
// Name of a port's socket: "." NAME ".host" in the device directory (as
// platform::DeviceSocketFile makes it).
constexpr const char* kSocketSuffix = ".host";

constexpr uint8_t kModemDtr = 0x01;
constexpr uint8_t kModemRts = 0x02;

// What a message is. The library sends a setting or a question from a socket
// of its own and waits for the driver's answer: the port's line state as the
// driver keeps it for every process.
enum class MessageKind : uint8_t {
    Set = 0,    // the host set these settings
    Query = 1,  // what are the port's settings? (fields unused)
    State = 2,  // the driver's answer to either
};

// The host's settings in the driver's units: baud rate in bits per second,
// data bits 5 to 8, parity 0 none, 1 odd, 2 even, 3 mark, 4 space, stop bits
// 0 one, 1 one and a half, 2 two.
struct LineMessage {
    char port[kPortNameMax + 1] = {};  // the link's name in the device directory
    uint32_t pts = 0;                  // the pseudo-terminal's number (/dev/pts/N)
    uint32_t baudRate = 0;
    uint8_t dataBits = 8;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    uint8_t modem = kModemDtr | kModemRts;
    MessageKind kind = MessageKind::Set;
    // In an answer: whether a host's data bits and parity hold (no program
    // without the library has set the port since).
    bool known = false;
};

// Writes `message` into `out` (kMessageSize bytes). False when a field is
// out of range: such a message is never sent.
bool EncodeLineMessage(const LineMessage& message, uint8_t* out);

// Reads one received datagram. False for anything but a well-formed message
// of exactly kMessageSize bytes with every field in range; `message` is then
// left as it was.
bool ParseLineMessage(const uint8_t* data, size_t size, LineMessage* message);

// A port name the device directory can hold: not empty, at most
// kPortNameMax bytes, no '/', no control characters, not hidden.
bool IsPortName(const char* name, size_t length);

}  // namespace varnock::hostline
