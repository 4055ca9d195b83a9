// Messages on a virtual port's socket come from any program of the user:
// the parser takes a message only when it is exactly what the encoder
// makes of the settings it reports, and everything it reports is in range.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "vport/HostLineProtocol.h"

using namespace varnock;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hostline::LineMessage message;
    if (!hostline::ParseLineMessage(data, size, &message)) return 0;
    FUZZ_CHECK(size == hostline::kMessageSize);
    FUZZ_CHECK(message.dataBits >= 5 && message.dataBits <= 8 && message.parity <= 4 &&
               message.stopBits <= 2);
    const size_t length = strnlen(message.port, sizeof(message.port));
    FUZZ_CHECK(length < sizeof(message.port) && hostline::IsPortName(message.port, length));
    uint8_t again[hostline::kMessageSize];
    FUZZ_CHECK(hostline::EncodeLineMessage(message, again));
    FUZZ_CHECK(std::memcmp(again, data, size) == 0);
    return 0;
}
