#include "links/FrameCodec.h"

namespace varnock {

uint8_t SequenceNumber::Next() {
    uint8_t current = m_value.load();
    m_value.store(current >= 255 ? 1 : static_cast<uint8_t>(current + 1));
    return current;
}

bool SequenceNumber::MatchesReply(uint8_t replyNumber) const {
    uint8_t c = m_value.load();
    if (c == 1) return replyNumber == 255 || replyNumber == 1;
    return replyNumber == static_cast<uint8_t>(c - 1);
}

SequenceNumber& SequenceNumber::Shared() {
    static SequenceNumber shared;
    return shared;
}

namespace {

void CrcStep(uint16_t& crc, uint8_t byte) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
        bool low = crc & 1;
        crc >>= 1;
        if (low) crc ^= 0x1021;
    }
}

}  // namespace

uint16_t FrameCrc(const uint8_t* data, int size) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < size; ++i) CrcStep(crc, data[i]);
    CrcStep(crc, plc::ETX);
    return crc;
}

// Base: hand everything to the layer below.
void FrameLayer::SetHeaderByte2(uint32_t use, uint8_t value) {
    if (m_pInner) m_pInner->SetHeaderByte2(use, value);
}
void FrameLayer::SetHeaderByte1(uint32_t use, uint8_t value) {
    if (m_pInner) m_pInner->SetHeaderByte1(use, value);
}
void FrameLayer::SetLinkFraming(plc::Framing mode) {
    if (m_pInner) m_pInner->SetLinkFraming(mode);
}

int SequenceHeaderLayer::Encode(ByteArray& buffer) {
    uint8_t number = m_sequence.Next();
    m_byLastIssued = number;
    const uint8_t header[kHeaderSize] = {number, m_byHeaderByte1, m_byHeaderByte2, 0x01};
    auto& bytes = buffer.bytes();
    bytes.insert(bytes.begin(), header, header + kHeaderSize);
    return EncodeInner(buffer);
}

bool SequenceHeaderLayer::ReplyNumberMatches(uint8_t replyNumber) const {
    if (m_byLastIssued == 0) return m_sequence.MatchesReply(replyNumber);
    // Same rule as the shared counter's, taken from this stack's last frame:
    // after 255 a reply may carry 255 or 1.
    if (m_byLastIssued == 255) return replyNumber == 255 || replyNumber == 1;
    return replyNumber == m_byLastIssued;
}

int SequenceHeaderLayer::Decode(ByteArray& buffer) {
    int result = DecodeInner(buffer);
    if (result != 1) return result;
    if (buffer.GetSize() < kHeaderSize) return 0;
    if (!ReplyNumberMatches(buffer[0])) return 0;
    if (buffer[1] != m_byHeaderByte1 || buffer[2] != m_byHeaderByte2 || buffer[3] != 0x01) return 0;
    buffer.RemoveHead(kHeaderSize);
    return 1;
}

void SequenceHeaderLayer::SetHeaderByte2(uint32_t use, uint8_t value) {
    m_byHeaderByte2 = use == 1 ? value : plc::kDataHeader.byte2;
}

void SequenceHeaderLayer::SetHeaderByte1(uint32_t use, uint8_t value) {
    m_byHeaderByte1 = use == 1 ? value : plc::kDataHeader.byte1;
}

int BlockHeaderLayer::Encode(ByteArray& buffer) {
    // The length covers both headers and the payload.
    int length = buffer.GetSize() + kHeaderSize;
    // Bytes 6 to 13 are always 0 on a request.
    const uint8_t header[kHeaderSize] = {
        0x01, 0x00, static_cast<uint8_t>((length >> 8) & 0xFF), static_cast<uint8_t>(length & 0xFF),
        0x00, 0x01};
    auto& bytes = buffer.bytes();
    bytes.insert(bytes.begin(), header, header + kHeaderSize);
    return EncodeInner(buffer);
}

int BlockHeaderLayer::Decode(ByteArray& buffer) {
    int result = DecodeInner(buffer);
    if (result != 1) return result;
    if (buffer.GetSize() < kHeaderSize) return 0;
    // Bytes 2 and 3 (the length) are not checked.
    if (buffer[0] != 0x01 || buffer[1] != 0x00 || buffer[4] != 0x01 || buffer[5] != 0x00) return 0;
    for (int i = 6; i < kHeaderSize; ++i) {
        if (buffer[i] != 0x00) return 0;
    }
    buffer.RemoveHead(kHeaderSize);
    return 1;
}

using plc::DLE;
using plc::ETX;
using plc::STX;

int DleFramingLayer::Encode(ByteArray& buffer) {
    if (!FramingOn()) return 1;
    uint16_t crc = FrameCrc(buffer.data(), buffer.GetSize());
    std::vector<uint8_t> framed;
    framed.reserve(static_cast<size_t>(buffer.GetSize()) * 2 + plc::kSerialFramingSize);
    framed.push_back(DLE);
    framed.push_back(STX);
    for (uint8_t b : buffer.bytes()) {
        framed.push_back(b);
        if (b == DLE) framed.push_back(DLE);
    }
    framed.push_back(DLE);
    framed.push_back(ETX);
    // The CRC bytes are never doubled.
    framed.push_back(static_cast<uint8_t>(crc >> 8));
    framed.push_back(static_cast<uint8_t>(crc & 0xFF));
    buffer.bytes() = std::move(framed);
    return 1;
}

int DleFramingLayer::Decode(ByteArray& buffer) {
    if (!FramingOn()) return 1;
    if (buffer.GetSize() < 2 || buffer[0] != DLE || buffer[1] != STX) return 0;
    buffer.RemoveHead(2);
    int n = buffer.GetSize();
    if (n < 4 || buffer[n - 4] != DLE || buffer[n - 3] != ETX) return 0;
    uint16_t received = static_cast<uint16_t>(buffer[n - 2] * 256 + buffer[n - 1]);
    buffer.bytes().resize(static_cast<size_t>(n - 4));
    return FrameCrc(buffer.data(), buffer.GetSize()) == received ? 1 : 0;
}

std::unique_ptr<FrameLayer> BuildFrameCodec(SequenceNumber& sequence) {
    auto framing = std::make_unique<DleFramingLayer>();
    auto block = std::make_unique<BlockHeaderLayer>(std::move(framing));
    return std::make_unique<SequenceHeaderLayer>(std::move(block), sequence);
}

}  // namespace varnock
