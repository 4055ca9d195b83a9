#pragma once
// Pseudo-terminals for the virtual ports: the pty pair, waiting on its master,
// the links in the device directory that name it, and the lock that marks a
// link as held by a live process.
#include <termios.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/Error.h"

namespace varnock::platform {

// What the host side has set on the slave, as tcgetattr on the master shows
// it. A Linux pty always reports 8 data bits and parity disabled, whatever the
// host asked for; PARODD and CMSPAR are kept.
struct PtyLineSettings {
    int baudRate = 0;  // bits per second; 0 for a rate we have no number for
    int dataBits = 8;
    bool parityEnable = false;
    bool parityOdd = false;
    bool parityStick = false;  // CMSPAR: mark (with PARODD) or space
    bool twoStopBits = false;
    bool operator==(const PtyLineSettings&) const = default;
};

// Lets another thread end a wait in Pty::Wait or WakeEvent::Wait early.
class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;
    bool ok() const { return m_fd >= 0; }
    void Signal();
    void Clear();
    // Waits up to timeoutMs; true when signalled (the signal stays set).
    bool Wait(int timeoutMs);
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

struct PtyWaitResult {
    bool readable = false;  // the host wrote bytes not yet read
    bool hangup = false;    // no process holds the slave open
};

class Pty {
public:
    // A new pair: master non-blocking, slave mode 0600 (only this user may
    // open it) with the line settings the kernel gives a new terminal. The
    // slave is opened and closed once so that the master reports hang-up
    // until somebody opens it: a slave never opened reports nothing. On
    // failure `pty` stays empty.
    static Error Create(std::unique_ptr<Pty>& pty);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    // For a wait on many descriptors at once (see Poller).
    int MasterFd() const { return m_master; }

    // Waits up to timeoutMs (0: just looks) for bytes from the host, for
    // hang-up or for the wake event. Hang-up is reported at once while it
    // lasts, so a caller waiting for the host to open must sleep between
    // calls.
    PtyWaitResult Wait(int timeoutMs, WakeEvent* wake);
    bool SlaveOpen();

    // Bytes the host wrote that wait to be read.
    int BytesAvailable();
    // Takes up to count bytes without waiting. Returns the number taken, -1
    // when the pty failed.
    int Read(void* buffer, int count);
    // Hands bytes to the host, waiting up to timeoutMs while the host's
    // input queue is full. Returns the number written, -1 when the pty
    // failed before the first byte.
    int Write(const void* bytes, int count, int timeoutMs);

    Error ReadLineSettings(PtyLineSettings& settings);
    // Everything of the slave's settings that a pty keeps: equal while
    // nobody has set anything since (the data bits and parity asked for
    // leave no trace).
    struct KeptSettings {
        tcflag_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
        cc_t cc[NCCS] = {};
        speed_t speed = 0;
        bool operator==(const KeptSettings&) const = default;
    };
    bool ReadKeptSettings(KeptSettings* kept);
    // True while the slave has exactly the settings of a new terminal (as
    // the kernel gave them to this pair): nobody has set anything since
    // the last reset.
    bool HasNewTerminalSettings();
    // While nobody has the slave open, readies it for the next session as a
    // serial device that was closed: the settings stay as the last session
    // left them, nothing of what was written to the host and not read by it
    // stays, and an exclusive open (TIOCEXCL) ends. What the host wrote
    // stays queued for us. So that a program that sets the same settings
    // again is not refused for the data bits and parity a pty drops, the
    // break flag IGNBRK is turned over: a pty never has a break. False when
    // the slave was open. Called by one thread at a time. *refused is set
    // when the slave refuses every opener: a program set TIOCEXCL and died,
    // and only a privileged process gets past that.
    bool PrepareNextSession(bool* refused);
    // Gives this pty the slave settings of `other`.
    bool TakeSettingsFrom(Pty& other);

private:
    Pty() = default;
    int m_master = -1;
    std::string m_slavePath;
    termios m_defaults{};
    // What PrepareNextSession left.
    bool m_haveLeft = false;
    KeptSettings m_left;
};

// Waits up to timeoutMs (-1: without limit) until one of `fds` is readable;
// bit i of the result is set when fds[i] is. Negative entries are skipped.
unsigned WaitReadable(const int* fds, int count, int timeoutMs);

// What occupies a name in the device directory.
enum class DeviceEntryKind {
    None,     // nothing there
    PtyLink,  // a symbolic link into /dev/pts (ours, or a user's socat)
    Other,    // a file, a directory, or a link to anything else
};

struct DeviceEntry {
    DeviceEntryKind kind = DeviceEntryKind::None;
    std::string target;  // link target, for links
};

DeviceEntry InspectDeviceEntry(const std::filesystem::path& path);
// Makes `link` a symbolic link to `target`. AlreadyExists when the name is
// taken. In a directory its group may enter, the target becomes that
// group's to read and write (mode 0660) where we may give it to that group.
Error CreateDeviceLink(const std::filesystem::path& link, const std::string& target);
// Removes `link` only while it still points to `target`.
bool RemoveDeviceLinkIfTarget(const std::filesystem::path& link, const std::string& target);

// A link DIR/NAME is ours only while our lock file DIR/.NAME.lock lies
// beside it; a link without one (a user's socat, say) is never ours.
std::filesystem::path DeviceLockFile(const std::filesystem::path& link);
// DIR/.NAME.host: the socket on which varnock-host's library reaches the
// binding of DIR/NAME (the library builds the same name).
std::filesystem::path DeviceSocketFile(const std::filesystem::path& link);

// An exclusive flock on a lock file. The kernel drops it when the process
// dies, so a link whose lock nobody holds was left behind by a dead process.
class DeviceNameLock {
public:
    // `lock` stays empty when another holder has it (AccessDenied), when the
    // file is missing and `mayCreate` is false (NotFound), when it is not a
    // regular file of this user (AccessDenied), or when it cannot be used.
    static Error TryAcquire(const std::filesystem::path& file, bool mayCreate,
                            std::unique_ptr<DeviceNameLock>& lock);
    ~DeviceNameLock();
    DeviceNameLock(const DeviceNameLock&) = delete;
    DeviceNameLock& operator=(const DeviceNameLock&) = delete;
    // Removes the lock file; the lock itself is released on destruction.
    void RemoveFile();

private:
    DeviceNameLock() = default;
    int m_fd = -1;
    std::filesystem::path m_file;
};

// A link into /dev/pts of ours whose lock nobody holds: left by a run that
// ended without removing it. Its pty number may belong to another terminal
// by now.
bool IsStaleDeviceLink(const std::filesystem::path& link);

// Removes every stale link of ours in `directory`, and the lock files of
// ours that lie there without a link. Live bindings and anything without our
// lock file are left alone. Returns the number of links removed.
int RemoveStaleDeviceLinks(const std::filesystem::path& directory);

}  // namespace varnock::platform
