#pragma once
// The PLC's protocol in one place: the framing bytes, the two headers, the
// pass-through prefixes, the command payloads and their replies, and the
// baud codes. The codec, the splitters, the exchange and the simulator all
// take their knowledge of the wire from here.
#include <cstdint>
#include <vector>

#include "common/ByteArray.h"
#include "common/ChannelConfig.h"

namespace varnock::plc {

// Serial framing: DLE STX, the body with every DLE doubled, DLE ETX and two
// CRC bytes, which are never doubled.
inline constexpr uint8_t DLE = 0x10;
inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr int kSerialFramingSize = 6;

// Collapses the doubled DLEs of a serial frame read in pieces: each call
// goes on where the last one stopped. Everything after DLE ETX (the CRC) is
// taken as it stands.
class Unstuffer {
public:
    void Collapse(std::vector<uint8_t>& frame);

private:
    size_t m_pos = 0;
    bool m_afterDle = false;
    bool m_trailer = false;
};

inline constexpr int kSequenceHeaderSize = 4;
inline constexpr int kBlockHeaderSize = 14;
inline constexpr int kHeadersSize = kBlockHeaderSize + kSequenceHeaderSize;
// The block header's total length (headers and payload) is in bytes 2 and 3,
// high byte first; a buffer must hold this many bytes to read it.
inline constexpr int kLengthFieldEnd = 4;
inline int BlockLength(const uint8_t* block) {
    return block[2] * 256 + block[3];
}

// How a link frames its data; the numbers are the codec's link framing codes.
enum class Framing : uint32_t { Serial = 1, Usb = 2, Ethernet = 3 };

// Host data travels behind a request prefix, the PLC's behind a reply prefix.
inline constexpr int kPrefixSize = 6;
inline constexpr uint8_t kRequestPrefix[kPrefixSize] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
inline constexpr uint8_t kReplyPrefix[kPrefixSize] = {0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
// The most host bytes one frame carries: the length field counts them, the
// prefix and the two headers.
inline constexpr int kMaxPassThroughData = 65535 - kPrefixSize - kHeadersSize;

// Bytes 1 and 2 of the sequence header for each kind of payload.
struct HeaderBytes {
    uint8_t byte1;
    uint8_t byte2;
};
inline constexpr HeaderBytes kDataHeader{0x01, 0x03};       // pass-through, connect, disconnect
inline constexpr HeaderBytes kControlHeader{0x00, 0x00};    // serial parameters, probe
inline constexpr HeaderBytes kLineSpeedHeader{0x01, 0x01};  // the PLC's line speed

// The commands, each with the length of its reply payload and the check of
// that reply.
inline constexpr int kConnectReplySize = 7;
ByteArray ConnectCommand(bool disconnect);
bool ConnectReplyOk(const ByteArray& reply, bool disconnect);

inline constexpr uint8_t kSerialParametersCode = 0x21;
inline constexpr int kControlReplySize = 2;
// A setting without a code adds no byte.
ByteArray SerialParametersCommand(const ChannelConfig& params);
bool SerialParametersReplyOk(const ByteArray& reply);

inline constexpr uint8_t ENQ = 0x05;
inline constexpr uint8_t ACK = 0x06;
inline constexpr int kLineSpeedReplySize = 6;
// ENQ, "00FFAC", the rate code and the check byte in hex, CR.
ByteArray LineSpeedCommand(int baudRate);
bool LineSpeedReplyOk(const ByteArray& reply);

ByteArray ProbeCommand();
bool ProbeReplyOk(const ByteArray& reply);

// The rate's code in the serial-parameter command, -1 for none; its code in
// the line-speed command (1 for any rate without one of its own).
int SerialParametersBaudCode(int baudRate);
int LineSpeedCode(int baudRate);

}  // namespace varnock::plc
