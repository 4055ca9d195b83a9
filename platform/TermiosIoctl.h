#pragma once
// The tty settings ioctls with the kernel's own record of the architecture
// (termios2 where the kernel has one), from the kernel headers that come
// with the C library: a record of another size would let the kernel write
// past it. Both return 0 or an errno value.
#include "platform/SerialLine.h"

namespace varnock::platform {

int GetLineTermios(int fd, LineTermios& t);
int SetLineTermios(int fd, const LineTermios& t);

}  // namespace varnock::platform
