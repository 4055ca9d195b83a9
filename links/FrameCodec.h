#pragma once
// The PLC frame format as a stack of layers: sequence header, block header
// and, on serial links, DLE framing with a CRC. Pure byte work.
#include <atomic>
#include <cstdint>
#include <memory>

#include "common/ByteArray.h"
#include "links/PlcProtocol.h"

namespace varnock {

// The frame sequence number, 1..255 and round again; never 0 on the wire.
// One instance is shared by every channel of the process.
class SequenceNumber {
public:
    SequenceNumber() = default;
    uint8_t Current() const { return m_value.load(); }
    // Returns the current number and advances it (255 -> 1).
    uint8_t Next();
    // Whether a reply's number matches the last number handed out.
    bool MatchesReply(uint8_t replyNumber) const;

    static SequenceNumber& Shared();

private:
    std::atomic<uint8_t> m_value{1};
};

// The system's own CRC: starts at 0xFFFF, shifts right, xors 0x1021, and
// takes the ETX byte 0x03 in after the data. No final inversion.
uint16_t FrameCrc(const uint8_t* data, int size);

class FrameLayer {
public:
    explicit FrameLayer(std::unique_ptr<FrameLayer> inner = nullptr) : m_pInner(std::move(inner)) {}
    FrameLayer(const FrameLayer&) = delete;
    FrameLayer& operator=(const FrameLayer&) = delete;
    virtual ~FrameLayer() = default;

    // Checks a received frame and leaves only the payload; 1 when every
    // check passed. A failed decode may leave the buffer partly stripped.
    virtual int Decode(ByteArray& buffer) = 0;
    // Turns the payload into a frame in place; 1.
    virtual int Encode(ByteArray& buffer) = 0;

    // Unless a layer handles them, these are passed down the chain.
    // The value when `use` is 1, else the default (3).
    virtual void SetHeaderByte2(uint32_t use, uint8_t value);
    // The value when `use` is 1, else the default (1).
    virtual void SetHeaderByte1(uint32_t use, uint8_t value);
    // Serial links frame with DLE and a CRC, USB and Ethernet do not.
    virtual void SetLinkFraming(plc::Framing mode);

    FrameLayer* Inner() const { return m_pInner.get(); }

protected:
    int EncodeInner(ByteArray& buffer) { return m_pInner ? m_pInner->Encode(buffer) : 1; }
    int DecodeInner(ByteArray& buffer) { return m_pInner ? m_pInner->Decode(buffer) : 1; }

    std::unique_ptr<FrameLayer> m_pInner;
};

class SequenceHeaderLayer : public FrameLayer {
public:
    static constexpr int kHeaderSize = plc::kSequenceHeaderSize;

    explicit SequenceHeaderLayer(std::unique_ptr<FrameLayer> inner,
                                 SequenceNumber& sequence = SequenceNumber::Shared())
        : FrameLayer(std::move(inner)), m_sequence(sequence) {}

    int Decode(ByteArray& buffer) override;
    int Encode(ByteArray& buffer) override;
    void SetHeaderByte2(uint32_t use, uint8_t value) override;
    void SetHeaderByte1(uint32_t use, uint8_t value) override;

    uint8_t HeaderByte1() const { return m_byHeaderByte1; }
    uint8_t HeaderByte2() const { return m_byHeaderByte2; }
    // The number this stack put on its last frame; 0 before its first.
    uint8_t LastIssued() const { return m_byLastIssued; }

private:
    bool ReplyNumberMatches(uint8_t replyNumber) const;

    uint8_t m_byHeaderByte1 = plc::kDataHeader.byte1;
    uint8_t m_byHeaderByte2 = plc::kDataHeader.byte2;
    SequenceNumber& m_sequence;
    // Replies are checked against this stack's own last frame, so that
    // another channel's frames in between do not make valid replies stale.
    uint8_t m_byLastIssued = 0;
};

class BlockHeaderLayer : public FrameLayer {
public:
    static constexpr int kHeaderSize = plc::kBlockHeaderSize;

    using FrameLayer::FrameLayer;

    int Decode(ByteArray& buffer) override;
    int Encode(ByteArray& buffer) override;
};

class DleFramingLayer : public FrameLayer {
public:
    DleFramingLayer() = default;

    int Decode(ByteArray& buffer) override;
    int Encode(ByteArray& buffer) override;
    void SetLinkFraming(plc::Framing mode) override { m_framing = mode; }

    bool FramingOn() const { return m_framing == plc::Framing::Serial; }

private:
    plc::Framing m_framing = plc::Framing::Serial;
};

// The stack a channel owns: sequence header -> block header -> DLE framing.
std::unique_ptr<FrameLayer> BuildFrameCodec(SequenceNumber& sequence = SequenceNumber::Shared());

}  // namespace varnock
