#include "links/PlcProtocol.h"

#include <cstdio>

namespace varnock::plc {

namespace {

// The one baud-code table: both commands' codes for every rate they know.
struct BaudCodes {
    int rate;
    int serialParameters;
    int lineSpeed;
};

constexpr BaudCodes kBaudCodes[] = {
    {300, 0x00, 1},  {600, 0x01, 1},   {1200, 0x02, 1},  {2400, 0x03, 1},  {4800, 0x04, 1},
    {9600, 0x05, 1}, {19200, 0x06, 2}, {38400, 0x07, 3}, {57600, 0x08, 4}, {115200, 0x09, 5},
};

const BaudCodes* FindRate(int baudRate) {
    for (const auto& codes : kBaudCodes) {
        if (codes.rate == baudRate) return &codes;
    }
    return nullptr;
}

void AppendHex(ByteArray& out, int value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    out.Add(static_cast<uint8_t>(text[0]));
    out.Add(static_cast<uint8_t>(text[1]));
}

bool StartsWith(const ByteArray& reply, std::initializer_list<uint8_t> head) {
    if (reply.GetSize() < static_cast<int>(head.size())) return false;
    int i = 0;
    for (uint8_t b : head) {
        if (reply[i++] != b) return false;
    }
    return true;
}

}  // namespace

void Unstuffer::Collapse(std::vector<uint8_t>& b) {
    while (m_pos < b.size() && !m_trailer) {
        if (m_afterDle) {
            m_afterDle = false;
            if (b[m_pos] == DLE) {
                b.erase(b.begin() + static_cast<long>(m_pos));
                continue;
            }
            if (b[m_pos] == ETX) m_trailer = true;
        } else if (b[m_pos] == DLE) {
            m_afterDle = true;
        }
        ++m_pos;
    }
}

int SerialParametersBaudCode(int baudRate) {
    const BaudCodes* codes = FindRate(baudRate);
    return codes ? codes->serialParameters : -1;
}

int LineSpeedCode(int baudRate) {
    const BaudCodes* codes = FindRate(baudRate);
    return codes ? codes->lineSpeed : 1;
}

ByteArray ConnectCommand(bool disconnect) {
    return {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(disconnect ? 0x02 : 0x01)};
}

bool ConnectReplyOk(const ByteArray& reply, bool disconnect) {
    return StartsWith(reply,
                      {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(disconnect ? 0x02 : 0x01)});
}

ByteArray SerialParametersCommand(const ChannelConfig& params) {
    ByteArray out{kSerialParametersCode, 0x01, 0xFF};
    int baud = SerialParametersBaudCode(params.m_nBaudRate);
    if (baud >= 0) out.Add(static_cast<uint8_t>(baud));
    if (params.m_byDataBits == 7) out.Add(0x00);
    if (params.m_byDataBits == 8) out.Add(0x01);
    if (params.m_byParity <= Parity::Even) out.Add(static_cast<uint8_t>(params.m_byParity));
    if (params.m_byStopBits <= StopBits::Two) out.Add(static_cast<uint8_t>(params.m_byStopBits));
    out.Add(0x00);
    return out;
}

bool SerialParametersReplyOk(const ByteArray& reply) {
    return StartsWith(reply, {kSerialParametersCode, 0x00});
}

ByteArray LineSpeedCommand(int baudRate) {
    ByteArray out{ENQ, '0', '0', 'F', 'F', 'A', 'C'};
    AppendHex(out, LineSpeedCode(baudRate));
    uint8_t check = 0;
    for (uint8_t b : out.bytes()) check ^= b;
    AppendHex(out, check);
    out.Add(0x0D);
    return out;
}

bool LineSpeedReplyOk(const ByteArray& reply) {
    return StartsWith(reply, {ACK});
}

ByteArray ProbeCommand() {
    return {0x00};
}

bool ProbeReplyOk(const ByteArray& reply) {
    return StartsWith(reply, {0x00, 0x00});
}

}  // namespace varnock::plc
