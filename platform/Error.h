#pragma once
// What went wrong in a call to the system, the same for serial lines,
// sockets and pseudo-terminals: a kind from the one errno table, with the
// errno itself kept for whoever reports it further.
namespace varnock::platform {

class Error {
public:
    enum Kind {
        None,
        NotFound,      // no such device or file
        AccessDenied,  // permission, or another holder has it
        Unsupported,   // a setting or request the device cannot take
        DeviceLost,    // the device went away (unplugged, hung up)
        NotOpen,
        WouldBlock,  // nothing waiting, or no room
        AlreadyExists,
        InvalidAddress,
        Refused,
        TimedOut,
        Unreachable,
        AddressInUse,
        ConnectionAborted,
        ConnectionReset,
        NotConnected,
        BrokenPipe,
        Other,
    };

    constexpr Error(Kind kind = None, int systemCode = 0) : m_kind(kind), m_systemCode(systemCode) {}
    // The kind of `err` by the one table; 0 is None.
    static Error FromErrno(int err);

    Kind kind() const { return m_kind; }
    // The errno behind it; 0 when it came from no system call.
    int SystemCode() const { return m_systemCode; }
    const char* Text() const;
    // The device or the peer went away: the link is gone, not merely quiet.
    bool IsLost() const;

    friend constexpr bool operator==(Error a, Error b) { return a.m_kind == b.m_kind; }

private:
    Kind m_kind;
    int m_systemCode;
};

}  // namespace varnock::platform
