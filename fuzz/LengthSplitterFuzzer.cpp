// The Ethernet and USB reply splitter fed arbitrary chunk sequences, and
// fed the bytes of real frames cut at arbitrary points: then every frame
// must come out whole, in order, and decode to its payload.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bridge/LengthFrameSplitter.h"
#include "fuzz/FuzzSupport.h"
#include "links/FrameCodec.h"

using namespace varnock;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const uint8_t mode = input.Byte();
    LengthFrameSplitter splitter;
    std::vector<ByteArray> frames;
    auto collect = [&frames](ByteArray& frame) { frames.push_back(frame); };

    if ((mode & 1) == 0) {
        // Raw bytes from the link: each frame delivered carries its own
        // length, and nothing comes out that did not go in.
        int fed = 0;
        while (!input.Empty()) {
            ByteArray chunk = input.Piece();
            fed += chunk.GetSize();
            splitter.Feed(chunk, collect);
            FUZZ_CHECK(chunk.IsEmpty());
        }
        int delivered = splitter.Buffered().GetSize();
        for (const auto& frame : frames) {
            FUZZ_CHECK(frame.GetSize() >= LengthFrameSplitter::kMinFrameLength);
            FUZZ_CHECK(frame[2] * 256 + frame[3] == frame.GetSize());
            delivered += frame.GetSize();
        }
        FUZZ_CHECK(delivered <= fed);
        return 0;
    }

    fuzz::CheckRealReplies(input, mode, plc::Framing::Ethernet, splitter);
    return 0;
}
