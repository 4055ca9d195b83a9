#include "vport/HostLineProtocol.h"

namespace varnock::hostline {

namespace {

// Layout: magic "VNHL", version, data bits, parity, stop bits, baud rate
// (32-bit little-endian), pts number (the same), modem bits, kind, known
// (0 or 1), a zero byte, then the port name, NUL-padded to the end.
constexpr uint8_t kMagic[4] = {'V', 'N', 'H', 'L'};
constexpr uint8_t kVersion = 1;
constexpr size_t kNameAt = 20;
constexpr uint32_t kMaxBaudRate = 100000000;
constexpr uint32_t kMaxPts = 1u << 20;
static_assert(kMessageSize - kNameAt > kPortNameMax);

void Put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

bool FieldsInRange(const LineMessage& m) {
    return m.dataBits >= 5 && m.dataBits <= 8 && m.parity <= 4 && m.stopBits <= 2 &&
           m.kind <= MessageKind::State && m.baudRate <= kMaxBaudRate && m.pts < kMaxPts &&
           (m.modem & ~(kModemDtr | kModemRts)) == 0;
}

size_t NameLength(const char* name, size_t room) {
    size_t n = 0;
    while (n < room && name[n] != '\0') ++n;
    return n;
}

}  // namespace

bool IsPortName(const char* name, size_t length) {
    if (length == 0 || length > kPortNameMax || name[0] == '.') return false;
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c == '/' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool EncodeLineMessage(const LineMessage& message, uint8_t* out) {
    const size_t length = NameLength(message.port, sizeof(message.port));
    if (!FieldsInRange(message) || !IsPortName(message.port, length)) return false;
    for (size_t i = 0; i < kMessageSize; ++i) out[i] = 0;
    for (size_t i = 0; i < 4; ++i) out[i] = kMagic[i];
    out[4] = kVersion;
    out[5] = message.dataBits;
    out[6] = message.parity;
    out[7] = message.stopBits;
    Put32(out + 8, message.baudRate);
    Put32(out + 12, message.pts);
    out[16] = message.modem;
    out[17] = static_cast<uint8_t>(message.kind);
    out[18] = message.known ? 1 : 0;
    for (size_t i = 0; i < length; ++i) out[kNameAt + i] = static_cast<uint8_t>(message.port[i]);
    return true;
}

bool ParseLineMessage(const uint8_t* data, size_t size, LineMessage* message) {
    if (!data || !message || size != kMessageSize) return false;
    for (size_t i = 0; i < 4; ++i) {
        if (data[i] != kMagic[i]) return false;
    }
    if (data[4] != kVersion || data[18] > 1 || data[19] != 0) return false;
    LineMessage m;
    m.dataBits = data[5];
    m.parity = data[6];
    m.stopBits = data[7];
    m.baudRate = Get32(data + 8);
    m.pts = Get32(data + 12);
    m.modem = data[16];
    m.kind = static_cast<MessageKind>(data[17]);
    m.known = data[18] == 1;
    const char* name = reinterpret_cast<const char*>(data + kNameAt);
    const size_t room = kMessageSize - kNameAt;
    const size_t length = NameLength(name, room);
    // The name ends inside the field and nothing but padding follows it.
    if (length > kPortNameMax || !IsPortName(name, length)) return false;
    for (size_t i = length; i < room; ++i) {
        if (name[i] != '\0') return false;
    }
    if (!FieldsInRange(m)) return false;
    for (size_t i = 0; i < length; ++i) m.port[i] = name[i];
    *message = m;
    return true;
}

}  // namespace varnock::hostline
