#pragma once
// The line rates a tty takes, with their termios codes (B9600 ...).
#include <cstdint>

namespace varnock::platform {

// The termios code of `rate`; false when a tty has none for it.
bool BaudCodeForRate(uint32_t rate, uint32_t& code);
// The rate of a termios code; 0 for a code we have no number for.
uint32_t BaudRateForCode(uint32_t code);

}  // namespace varnock::platform
