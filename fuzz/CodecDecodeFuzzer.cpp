// The frame codec's Decode over arbitrary replies in each framing mode, and
// Encode followed by Decode, which must give the payload back.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "links/FrameCodec.h"

using namespace varnock;

namespace {

// What a serial reader does before Decode: collapse the doubled DLEs of the
// stuffed part; the two CRC bytes at the end are never stuffed.
ByteArray Unstuff(ByteArray wire) {
    plc::Unstuffer().Collapse(wire.bytes());
    return wire;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const auto mode = static_cast<plc::Framing>(input.Byte() % 3 + 1);
    const uint8_t flags = input.Byte();
    SequenceNumber sequence;
    for (int n = input.Byte(); n > 0; --n) sequence.Next();
    auto codec = BuildFrameCodec(sequence);
    codec->SetLinkFraming(mode);
    if (flags & 1) {
        // The header bytes of the serial-parameter command.
        codec->SetHeaderByte1(1, 0x00);
        codec->SetHeaderByte2(1, 0x00);
    }

    const ByteArray payload = input.Rest();
    // A reply to a frame just sent, as the link hands it over.
    ByteArray request;
    codec->Encode(request);
    ByteArray reply = payload;
    if (codec->Decode(reply) == 1)
        FUZZ_CHECK(reply.GetSize() <= payload.GetSize() - (mode == plc::Framing::Serial
                                                               ? plc::kHeadersSize + plc::kSerialFramingSize
                                                               : plc::kHeadersSize));

    // Whatever the payload, the PLC's reply to the request just sent
    // decodes to it.
    const uint8_t byte1 = (flags & 1) ? 0x00 : 0x01;
    const uint8_t byte2 = (flags & 1) ? 0x00 : 0x03;
    ByteArray frame = fuzz::MakeReply(payload, static_cast<SequenceHeaderLayer*>(codec.get())->LastIssued(),
                                      mode, byte1, byte2);
    if (mode == plc::Framing::Serial) frame = Unstuff(frame);
    FUZZ_CHECK(codec->Decode(frame) == 1);
    FUZZ_CHECK(frame == payload);
    return 0;
}
