// The serial reply splitter fed arbitrary chunk sequences, and fed the wire
// bytes of real frames cut at arbitrary points: then every frame must come
// out whole, in order, and decode to its payload.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bridge/DleFrameSplitter.h"
#include "fuzz/FuzzSupport.h"
#include "links/FrameCodec.h"

using namespace varnock;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const uint8_t mode = input.Byte();
    DleFrameSplitter splitter;
    std::vector<ByteArray> frames;
    auto collect = [&frames](ByteArray& frame) { frames.push_back(frame); };

    if ((mode & 1) == 0) {
        // Raw bytes from the line, in chunks of the fuzzer's choosing.
        SequenceNumber sequence;
        auto codec = BuildFrameCodec(sequence);
        codec->SetLinkFraming(DleFramingLayer::FRAMING_SERIAL);
        while (!input.Empty()) {
            ByteArray chunk = input.Piece();
            splitter.Feed(chunk, collect);
            FUZZ_CHECK(chunk.IsEmpty());
        }
        for (auto& frame : frames) codec->Decode(frame);
        return 0;
    }

    // Frames as a PLC sends them, one reply per request.
    const uint32_t seed = input.Byte();
    SequenceNumber numbers;
    std::vector<ByteArray> payloads;
    ByteArray wire;
    while (!input.Empty() && payloads.size() < 64) {
        payloads.push_back(input.Piece());
        wire.Append(fuzz::MakeReply(payloads.back(), numbers.Next(), DleFramingLayer::FRAMING_SERIAL));
    }
    for (auto& chunk : fuzz::Rechunk(wire, seed, (mode >> 1) + 1)) splitter.Feed(chunk, collect);

    FUZZ_CHECK(frames.size() == payloads.size());
    FUZZ_CHECK(splitter.Buffered().IsEmpty());
    // The bridge checks each reply against its own request; replay the
    // numbers in order.
    SequenceNumber replay;
    auto check = BuildFrameCodec(replay);
    for (size_t i = 0; i < frames.size(); ++i) {
        ByteArray request;
        check->Encode(request);
        FUZZ_CHECK(check->Decode(frames[i]) == 1);
        FUZZ_CHECK(frames[i] == payloads[i]);
    }
    return 0;
}
