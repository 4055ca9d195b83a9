#include "links/UsbDriver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/Deadline.h"
#include "platform/Error.h"
#include "platform/Paths.h"

namespace varnock {
namespace {

// Transfer time-out last sent per handle, so a driver that ignores it
// cannot stall a read or write for ever.
std::mutex g_timeoutLock;
std::unordered_map<int, uint32_t> g_timeouts;

int TimeoutOf(int fd) {
    std::lock_guard<std::mutex> lock(g_timeoutLock);
    auto it = g_timeouts.find(fd);
    uint32_t ms = it == g_timeouts.end() ? 1000 : it->second;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

bool WaitReady(int fd, short events) {
    int revents = platform::PollFd(fd, events, TimeoutOf(fd));
    return revents > 0 && (revents & events);
}

}  // namespace

UsbDriver::Handle IoctlUsbDriver::Open(const std::string& name, UsbOpenError& error) {
    const std::string path = platform::ResolveDeviceName(name).string();
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = platform::Error::FromErrno(errno) == platform::Error::AccessDenied
                    ? UsbOpenError::AccessDenied
                    : UsbOpenError::NotThere;
        return kInvalidHandle;
    }
    // No sharing: a node another program holds counts as refused.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? UsbOpenError::AccessDenied : UsbOpenError::NotThere;
        ::close(fd);
        return kInvalidHandle;
    }
    error = UsbOpenError::None;
    return fd;
}

uint32_t IoctlUsbDriver::Control(Handle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                                 uint32_t outSize) {
    if (handle < 0) return 0;
    if (code == IOCTL_HXUSB_SET_TIMEOUT && in && inSize >= 4) {
        uint32_t ms;
        std::memcpy(&ms, in, 4);
        std::lock_guard<std::mutex> lock(g_timeoutLock);
        g_timeouts[handle] = ms;
    }
    HxUsbControlBlock block{};
    block.in = reinterpret_cast<uintptr_t>(in);
    block.inSize = in ? inSize : 0;
    block.out = reinterpret_cast<uintptr_t>(out);
    block.outSize = out ? outSize : 0;
    if (::ioctl(handle, static_cast<unsigned long>(code), &block) < 0) {
        // An unplugged device fails every call; the status query must say
        // so, or the link never looks for it again.
        const int err = errno;
        if (code == IOCTL_HXUSB_GET_STATUS && out && outSize >= 4 &&
            (err == ENODEV || err == EIO || err == ENXIO)) {
            const int32_t lost = -1;
            std::memcpy(out, &lost, 4);
            return 4;
        }
        return 0;
    }
    return block.returned > block.outSize ? block.outSize : block.returned;
}

uint32_t IoctlUsbDriver::Read(Handle handle, uint8_t* buffer, uint32_t count) {
    if (handle < 0 || count == 0 || !WaitReady(handle, POLLIN)) return 0;
    ssize_t n;
    do {
        n = ::read(handle, buffer, count);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t IoctlUsbDriver::Write(Handle handle, const uint8_t* buffer, uint32_t count) {
    if (handle < 0 || count == 0 || !WaitReady(handle, POLLOUT)) return 0;
    ssize_t n;
    do {
        n = ::write(handle, buffer, count);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

void IoctlUsbDriver::Close(Handle handle) {
    if (handle < 0) return;
    {
        std::lock_guard<std::mutex> lock(g_timeoutLock);
        g_timeouts.erase(handle);
    }
    ::close(handle);
}

UsbDriver& SystemUsbDriver() {
    static IoctlUsbDriver driver;
    return driver;
}

}  // namespace varnock
