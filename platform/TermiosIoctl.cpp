// The kernel's termios types clash with <termios.h>: this file includes only
// theirs.
#include "platform/TermiosIoctl.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varnock::platform {
namespace {

#ifdef TCGETS2
using KernelTermios = struct termios2;
constexpr unsigned long kGet = TCGETS2;
constexpr unsigned long kSet = TCSETS2;
#else  // the record carries the rates already (powerpc)
using KernelTermios = struct termios;
constexpr unsigned long kGet = TCGETS;
constexpr unsigned long kSet = TCSETS;
#endif

constexpr size_t kCc = std::min(sizeof(KernelTermios{}.c_cc), sizeof(LineTermios{}.c_cc));

}  // namespace

int GetLineTermios(int fd, LineTermios& t) {
    KernelTermios k{};
    if (::ioctl(fd, kGet, &k) != 0) return errno;
    t = LineTermios{};
    t.c_iflag = k.c_iflag;
    t.c_oflag = k.c_oflag;
    t.c_cflag = k.c_cflag;
    t.c_lflag = k.c_lflag;
    t.c_line = k.c_line;
    std::memcpy(t.c_cc, k.c_cc, kCc);
    t.c_ispeed = k.c_ispeed;
    t.c_ospeed = k.c_ospeed;
    return 0;
}

int SetLineTermios(int fd, const LineTermios& t) {
    KernelTermios k{};
    k.c_iflag = t.c_iflag;
    k.c_oflag = t.c_oflag;
    k.c_cflag = t.c_cflag;
    k.c_lflag = t.c_lflag;
    k.c_line = t.c_line;
    std::memcpy(k.c_cc, t.c_cc, kCc);
    k.c_ispeed = t.c_ispeed;
    k.c_ospeed = t.c_ospeed;
    return ::ioctl(fd, kSet, &k) == 0 ? 0 : errno;
}

}  // namespace varnock::platform
