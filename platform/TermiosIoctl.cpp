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

// Field by field: the two records differ in layout, not in meaning.
template <class To, class From>
void CopyTermios(To& to, const From& from) {
    to.c_iflag = from.c_iflag;
    to.c_oflag = from.c_oflag;
    to.c_cflag = from.c_cflag;
    to.c_lflag = from.c_lflag;
    to.c_line = from.c_line;
    std::memcpy(to.c_cc, from.c_cc, std::min(sizeof to.c_cc, sizeof from.c_cc));
    to.c_ispeed = from.c_ispeed;
    to.c_ospeed = from.c_ospeed;
}

}  // namespace

int GetLineTermios(int fd, LineTermios& t) {
    KernelTermios k{};
    if (::ioctl(fd, kGet, &k) != 0) return errno;
    t = LineTermios{};
    CopyTermios(t, k);
    return 0;
}

int SetLineTermios(int fd, const LineTermios& t) {
    KernelTermios k{};
    CopyTermios(k, t);
    return ::ioctl(fd, kSet, &k) == 0 ? 0 : errno;
}

}  // namespace varnock::platform
