#pragma once
// The kinds of PLC link, and the parity and stop-bit codes of a serial line
// as the serial settings record carries them.
#include <cstdint>

namespace varnock {

// The link column of a channel row. A value read from elsewhere is kept as
// it is: a type outside these never opens.
enum class LinkType : int { Serial = 0, Ethernet = 1, Usb = 2 };

// Any byte the settings file or the host gave is held, named or not.
enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits : uint8_t { One = 0, OneAndHalf = 1, Two = 2 };

}  // namespace varnock
