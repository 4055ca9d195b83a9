// What the bridge does with every byte: the frame codec both ways and the
// two splitters that cut a link's stream into frames. Payloads are random
// with every third byte a DLE, the worst case for serial framing.
#include <benchmark/benchmark.h>

#include <random>

#include "bridge/DleFrameSplitter.h"
#include "bridge/LengthFrameSplitter.h"
#include "links/FrameCodec.h"
#include "tools/plcsim/PlcSimulator.h"

namespace varnock {
namespace {

ByteArray DleRichPayload(int size, unsigned seed = 7) {
    std::mt19937 rng(seed);
    ByteArray out;
    out.bytes().reserve(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i) out.Add(i % 3 == 0 ? 0x10 : static_cast<uint8_t>(rng()));
    return out;
}

plc::Framing Framing(bool serial) {
    return serial ? plc::Framing::Serial : plc::Framing::Ethernet;
}

void Encode(benchmark::State& state) {
    const bool serial = state.range(0) != 0;
    const ByteArray payload = DleRichPayload(static_cast<int>(state.range(1)));
    SequenceNumber sequence;
    auto codec = BuildFrameCodec(sequence);
    codec->SetLinkFraming(Framing(serial));
    for (auto _ : state) {
        ByteArray frame = payload;
        codec->Encode(frame);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * payload.GetSize());
}

void Decode(benchmark::State& state) {
    const bool serial = state.range(0) != 0;
    const ByteArray payload = DleRichPayload(static_cast<int>(state.range(1)));
    SequenceNumber sequence;
    auto codec = BuildFrameCodec(sequence);
    codec->SetLinkFraming(Framing(serial));
    ByteArray request{0x00};
    codec->Encode(request);  // a reply must carry the number of the last request
    auto* outer = static_cast<SequenceHeaderLayer*>(codec.get());
    ByteArray reply = plcsim::BuildReplyFrame(outer->LastIssued(), 1, 3, payload, serial);
    if (serial) {
        // The codec takes a frame as the splitter hands it over.
        ByteArray wire = reply;
        DleFrameSplitter splitter;
        splitter.Feed(wire, [&](ByteArray& frame) { reply = frame; });
    }
    for (auto _ : state) {
        ByteArray frame = reply;
        if (codec->Decode(frame) != 1) state.SkipWithError("reply did not decode");
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * payload.GetSize());
}

// A reply of 64 frames of `range(1)` data bytes each, fed in chunks of
// range(0) bytes as the receive thread reads them.
ByteArray ReplyStream(int frameData, bool serial) {
    ByteArray stream;
    ByteArray payload{0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
    payload.Append(DleRichPayload(frameData));
    for (int i = 0; i < 64; ++i) stream.Append(plcsim::BuildReplyFrame(1, 1, 3, payload, serial));
    return stream;
}

template <typename Splitter>
void Split(benchmark::State& state, bool serial) {
    const int chunkSize = static_cast<int>(state.range(0));
    const ByteArray stream = ReplyStream(static_cast<int>(state.range(1)), serial);
    int64_t frames = 0;
    for (auto _ : state) {
        Splitter splitter;
        for (int from = 0; from < stream.GetSize(); from += chunkSize) {
            ByteArray chunk(stream.data() + from, std::min(chunkSize, stream.GetSize() - from));
            splitter.Feed(chunk, [&](ByteArray& frame) {
                ++frames;
                frame.RemoveAll();
            });
        }
    }
    if (frames != 64 * static_cast<int64_t>(state.iterations())) state.SkipWithError("frames lost");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * stream.GetSize());
}

void DleSplitter(benchmark::State& state) {
    Split<DleFrameSplitter>(state, true);
}
void LengthSplitter(benchmark::State& state) {
    Split<LengthFrameSplitter>(state, false);
}

// range(0): 1 serial, 0 Ethernet; range(1): payload bytes.
BENCHMARK(Encode)->ArgNames({"serial", "bytes"})->ArgsProduct({{0, 1}, {16, 1024, 5000}});
BENCHMARK(Decode)->ArgNames({"serial", "bytes"})->ArgsProduct({{0, 1}, {16, 1024, 5000}});
// range(0): chunk bytes; range(1): data bytes per frame.
BENCHMARK(DleSplitter)->ArgNames({"chunk", "frame"})->ArgsProduct({{20, 4096}, {16, 1024}});
BENCHMARK(LengthSplitter)->ArgNames({"chunk", "frame"})->ArgsProduct({{20, 4096}, {16, 1024}});

}  // namespace
}  // namespace varnock

BENCHMARK_MAIN();
