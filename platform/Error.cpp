#include "platform/Error.h"

#include <cerrno>

namespace varnock::platform {

Error Error::FromErrno(int err) {
    switch (err) {
        case 0:
            return None;
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return {NotFound, err};
        case EACCES:
        case EPERM:
        case EBUSY:
            return {AccessDenied, err};
        case EINVAL:
        case ENOTTY:
        case ENOTSUP:
            return {Unsupported, err};
        case EIO:
            return {DeviceLost, err};
        case EBADF:
        case ENOTSOCK:
            return {NotOpen, err};
        case EAGAIN:
            return {WouldBlock, err};
        case EEXIST:
            return {AlreadyExists, err};
        case ECONNREFUSED:
            return {Refused, err};
        case ETIMEDOUT:
            return {TimedOut, err};
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
            return {Unreachable, err};
        case EADDRINUSE:
        case EADDRNOTAVAIL:
            return {AddressInUse, err};
        case ECONNABORTED:
            return {ConnectionAborted, err};
        case ECONNRESET:
            return {ConnectionReset, err};
        case ENOTCONN:
            return {NotConnected, err};
        case EPIPE:
            return {BrokenPipe, err};
        default:
            return {Other, err};
    }
}

const char* Error::Text() const {
    switch (m_kind) {
        case None:
            return "no error";
        case NotFound:
            return "device not found";
        case AccessDenied:
            return "access denied";
        case Unsupported:
            return "not supported";
        case DeviceLost:
            return "device lost";
        case NotOpen:
            return "not open";
        case WouldBlock:
            return "would block";
        case AlreadyExists:
            return "already exists";
        case InvalidAddress:
            return "invalid address";
        case Refused:
            return "connection refused";
        case TimedOut:
            return "timed out";
        case Unreachable:
            return "network unreachable";
        case AddressInUse:
            return "address in use";
        case ConnectionAborted:
            return "connection aborted";
        case ConnectionReset:
            return "connection reset";
        case NotConnected:
            return "not connected";
        case BrokenPipe:
            return "broken pipe";
        case Other:
            break;
    }
    return "system error";
}

bool Error::IsLost() const {
    switch (m_kind) {
        case DeviceLost:
        case BrokenPipe:
        case ConnectionAborted:
        case ConnectionReset:
        case NotConnected:
            return true;
        default:
            return false;
    }
}

}  // namespace varnock::platform
