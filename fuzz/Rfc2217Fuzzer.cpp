// A network client's bytes reach the RFC 2217 server unchecked: whatever
// they are, cut wherever, the line settings stay in range, every answer is
// a well-formed Telnet command, no more data comes out than went in, and
// data sent back through the IAC doubling decodes to itself.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "vport/Rfc2217Codec.h"

using namespace varnock;
using namespace varnock::rfc2217;

namespace {

// IAC verb option, or IAC SB ... IAC SE with IAC doubled inside, nothing else.
bool WellFormed(const std::vector<uint8_t>& reply) {
    size_t i = 0;
    while (i < reply.size()) {
        if (reply.size() - i < 3 || reply[i] != kIac) return false;
        const uint8_t verb = reply[i + 1];
        if (verb >= kWill) {
            i += 3;
            continue;
        }
        if (verb != kSb) return false;
        for (i += 2;; ++i) {
            if (i + 1 >= reply.size()) return false;
            if (reply[i] != kIac) continue;
            if (reply[i + 1] == kSe) break;
            if (reply[i + 1] != kIac) return false;
            ++i;
        }
        i += 2;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const uint32_t seed = input.Byte();
    const ByteArray stream = input.Rest();
    ServerCodec codec;
    std::vector<uint8_t> out, reply;
    size_t fed = 0;
    for (const ByteArray& chunk : fuzz::Rechunk(stream, seed, 1 + seed % 64)) {
        Effects effects;
        const LineSettings before = codec.Line();
        codec.Feed(chunk.data(), static_cast<size_t>(chunk.GetSize()), out, reply, effects);
        fed += static_cast<size_t>(chunk.GetSize());
        FUZZ_CHECK(effects.settingsChanged || before == codec.Line());
        FUZZ_CHECK(out.size() <= fed);
    }
    const LineSettings& line = codec.Line();
    FUZZ_CHECK(line.baudRate >= kMinBaud && line.baudRate <= kMaxBaud);
    FUZZ_CHECK(line.dataBits >= 5 && line.dataBits <= 8 && line.parity <= 4 && line.stopBits <= 2);
    FUZZ_CHECK(WellFormed(reply));

    std::vector<uint8_t> encoded, back, ignored;
    codec.EncodeData(out.data(), out.size(), encoded);
    ServerCodec peer;
    Effects effects;
    const uint8_t telnet[] = {kIac, kWill, kOptBinary};
    peer.Feed(telnet, sizeof telnet, back, ignored, effects);
    if (codec.Telnet()) {
        peer.Feed(encoded.data(), encoded.size(), back, ignored, effects);
        FUZZ_CHECK(back == out);
    } else {
        FUZZ_CHECK(encoded == out);
    }
    return 0;
}
