#pragma once
// Shared by the fuzz targets: reading the input in pieces, and a check that
// stops the run with a message when an invariant does not hold.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/ByteArray.h"
#include "links/FrameCodec.h"

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace varnock::fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_pos >= m_size; }
    // The next byte; 0 once the input is used up.
    uint8_t Byte() { return Empty() ? 0 : m_data[m_pos++]; }
    // A length byte, then up to that many bytes: lets the fuzzer choose
    // where one chunk or payload ends and the next begins.
    ByteArray Piece() {
        size_t n = Byte();
        if (n > m_size - m_pos) n = m_size - m_pos;
        ByteArray piece(m_data + m_pos, static_cast<int>(n));
        m_pos += n;
        return piece;
    }
    ByteArray Rest() {
        ByteArray rest(m_data + m_pos, static_cast<int>(m_size - m_pos));
        m_pos = m_size;
        return rest;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Cuts `bytes` into chunks of 1 to `maxChunk` bytes, sizes drawn from `seed`.
inline std::vector<ByteArray> Rechunk(const ByteArray& bytes, uint32_t seed, int maxChunk) {
    std::vector<ByteArray> chunks;
    int at = 0;
    while (at < bytes.GetSize()) {
        seed = seed * 1103515245u + 12345u;
        int n = 1 + static_cast<int>((seed >> 16) % static_cast<uint32_t>(maxChunk));
        if (n > bytes.GetSize() - at) n = bytes.GetSize() - at;
        chunks.emplace_back(bytes.data() + at, n);
        at += n;
    }
    return chunks;
}

// A reply frame as the PLC sends it to the request numbered `number`.
inline ByteArray MakeReply(const ByteArray& payload, uint8_t number, plc::Framing framing, uint8_t byte1 = 1,
                           uint8_t byte2 = 3) {
    const int length = payload.GetSize() + plc::kHeadersSize;
    const uint8_t headers[plc::kHeadersSize] = {0x01,
                                                0x00,
                                                static_cast<uint8_t>(length >> 8),
                                                static_cast<uint8_t>(length),
                                                0x01,
                                                0x00,
                                                0x00,
                                                0x00,
                                                0x00,
                                                0x00,
                                                0x00,
                                                0x00,
                                                0x00,
                                                0x00,
                                                number,
                                                byte1,
                                                byte2,
                                                0x01};
    ByteArray frame(headers, plc::kHeadersSize);
    frame.Append(payload);
    DleFramingLayer dle;
    dle.SetLinkFraming(framing);
    dle.Encode(frame);
    return frame;
}

// Replies as a PLC sends them, one per request, cut at points the input
// chooses: every frame must come out of `splitter` whole, in order, and
// decode to its payload with the request numbers replayed in order.
template <typename Splitter>
void CheckRealReplies(FuzzInput& input, uint8_t mode, plc::Framing framing, Splitter& splitter) {
    std::vector<ByteArray> frames;
    auto collect = [&frames](ByteArray& frame) { frames.push_back(frame); };
    const uint32_t seed = input.Byte();
    SequenceNumber numbers;
    std::vector<ByteArray> payloads;
    ByteArray wire;
    while (!input.Empty() && payloads.size() < 64) {
        payloads.push_back(input.Piece());
        wire.Append(MakeReply(payloads.back(), numbers.Next(), framing));
    }
    for (auto& chunk : Rechunk(wire, seed, (mode >> 1) + 1)) splitter.Feed(chunk, collect);

    FUZZ_CHECK(frames.size() == payloads.size());
    FUZZ_CHECK(splitter.Buffered().IsEmpty());
    SequenceNumber replay;
    auto check = BuildFrameCodec(replay);
    check->SetLinkFraming(framing);
    for (size_t i = 0; i < frames.size(); ++i) {
        ByteArray request;
        check->Encode(request);
        FUZZ_CHECK(check->Decode(frames[i]) == 1);
        FUZZ_CHECK(frames[i] == payloads[i]);
    }
}

}  // namespace varnock::fuzz
