#pragma once
// Data bits and parity in a terminal's c_cflag, in the Win32 DCB's codes
// (parity 0 none, 1 odd, 2 even, 3 mark, 4 space). Header-only, on nothing
// but <termios.h>: the library preloaded into host programs compiles it in.
#include <termios.h>

#include <cstdint>

namespace varnock::platform::lineflags {

constexpr uint32_t kParityBits = PARENB | PARODD | CMSPAR;
// What a Linux pty drops from a request: it always shows 8 data bits and
// parity disabled; PARODD and CMSPAR stay.
constexpr uint32_t kPtyDropped = CSIZE | PARENB;

constexpr int DataBits(uint32_t cflag) {
    return (cflag & CSIZE) == CS5 ? 5 : (cflag & CSIZE) == CS6 ? 6 : (cflag & CSIZE) == CS7 ? 7 : 8;
}

constexpr uint32_t SizeFlag(int dataBits) {
    return dataBits == 5 ? CS5 : dataBits == 6 ? CS6 : dataBits == 7 ? CS7 : CS8;
}

constexpr int Parity(uint32_t cflag) {
    if (!(cflag & PARENB)) return 0;
    if (cflag & CMSPAR) return (cflag & PARODD) ? 3 : 4;
    return (cflag & PARODD) ? 1 : 2;
}

// None for a code out of range.
constexpr uint32_t ParityFlags(int parity) {
    constexpr uint32_t kFlags[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD, PARENB | CMSPAR};
    return parity >= 0 && parity <= 4 ? kFlags[parity] : 0;
}

}  // namespace varnock::platform::lineflags
