#include "platform/Error.h"

#include <cerrno>

namespace varnock::platform {

namespace {

// The one errno table.
struct ErrnoKind {
    int err;
    Error::Kind kind;
};

constexpr ErrnoKind kErrnoTable[] = {
    {ENOENT, Error::NotFound},
    {ENODEV, Error::NotFound},
    {ENXIO, Error::NotFound},
    {ENOTDIR, Error::NotFound},
    {EACCES, Error::AccessDenied},
    {EPERM, Error::AccessDenied},
    {EBUSY, Error::AccessDenied},
    {EINVAL, Error::Unsupported},
    {ENOTTY, Error::Unsupported},
    {ENOTSUP, Error::Unsupported},
    {EIO, Error::DeviceLost},
    {EBADF, Error::NotOpen},
    {ENOTSOCK, Error::NotOpen},
    {EAGAIN, Error::WouldBlock},
    {EEXIST, Error::AlreadyExists},
    {ECONNREFUSED, Error::Refused},
    {ETIMEDOUT, Error::TimedOut},
    {ENETUNREACH, Error::Unreachable},
    {EHOSTUNREACH, Error::Unreachable},
    {ENETDOWN, Error::Unreachable},
    {EADDRINUSE, Error::AddressInUse},
    {EADDRNOTAVAIL, Error::AddressInUse},
    {ECONNABORTED, Error::ConnectionAborted},
    {ECONNRESET, Error::ConnectionReset},
    {ENOTCONN, Error::NotConnected},
    {EPIPE, Error::BrokenPipe},
};

}  // namespace

Error Error::FromErrno(int err) {
    if (err == 0) return None;
    for (const auto& e : kErrnoTable) {
        if (e.err == err) return {e.kind, err};
    }
    return {Other, err};
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
