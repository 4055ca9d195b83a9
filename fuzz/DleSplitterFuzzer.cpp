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
        codec->SetLinkFraming(plc::Framing::Serial);
        while (!input.Empty()) {
            ByteArray chunk = input.Piece();
            splitter.Feed(chunk, collect);
            FUZZ_CHECK(chunk.IsEmpty());
        }
        for (auto& frame : frames) codec->Decode(frame);
        return 0;
    }

    fuzz::CheckRealReplies(input, mode, plc::Framing::Serial, splitter);
    return 0;
}
