#include "platform/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/BaudRates.h"
#include "platform/Deadline.h"
#include "platform/LineFlags.h"

namespace varnock::platform {
namespace fs = std::filesystem;

namespace {

bool IsPtsPath(const std::string& target) {
    const std::string prefix = "/dev/pts/";
    if (target.size() <= prefix.size() || target.compare(0, prefix.size(), prefix) != 0) return false;
    for (size_t i = prefix.size(); i < target.size(); ++i) {
        if (target[i] < '0' || target[i] > '9') return false;
    }
    return true;
}

bool ReadLink(const fs::path& path, std::string* target) {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof(buffer));
    if (n < 0 || n >= static_cast<ssize_t>(sizeof(buffer))) return false;
    target->assign(buffer, static_cast<size_t>(n));
    return true;
}

}  // namespace

// ---- WakeEvent

WakeEvent::WakeEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent() {
    if (m_fd >= 0) ::close(m_fd);
}

void WakeEvent::Signal() {
    uint64_t one = 1;
    if (m_fd >= 0) (void)!::write(m_fd, &one, sizeof(one));
}

void WakeEvent::Clear() {
    uint64_t count = 0;
    if (m_fd >= 0) (void)!::read(m_fd, &count, sizeof(count));
}

bool WakeEvent::Wait(int timeoutMs) {
    if (m_fd < 0) {
        ::usleep(static_cast<useconds_t>(timeoutMs) * 1000);
        return false;
    }
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

// ---- Pty

Error Pty::Create(std::unique_ptr<Pty>& made) {
    made.reset();
    auto fail = [](int e) { return Error::FromErrno(e); };
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return fail(errno);
    std::unique_ptr<Pty> pty(new Pty);
    pty->m_master = master;
    // Before anything of ours touches them: what the kernel gives a new
    // terminal, the state every session of the port starts from.
    if (::tcgetattr(master, &pty->m_defaults) != 0) return fail(errno);

    char name[PATH_MAX];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof(name)) != 0)
        return fail(errno);
    pty->m_slavePath = name;
    int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) return fail(errno);
    // grantpt leaves the slave writable by the tty group.
    if (::chmod(name, 0600) != 0) return fail(errno);

    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return fail(errno);
    ::close(slave);
    made = std::move(pty);
    return Error::None;
}

Pty::~Pty() {
    if (m_master >= 0) ::close(m_master);
}

PtyWaitResult Pty::Wait(int timeoutMs, WakeEvent* wake) {
    PtyWaitResult result;
    // A negative descriptor is skipped by poll.
    pollfd fds[2] = {{m_master, POLLIN, 0}, {wake && wake->ok() ? wake->fd() : -1, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0) return result;
    result.readable = fds[0].revents & POLLIN;
    result.hangup = fds[0].revents & (POLLHUP | POLLERR);
    return result;
}

bool Pty::SlaveOpen() {
    return !Wait(0, nullptr).hangup;
}

int Pty::BytesAvailable() {
    int n = 0;
    if (::ioctl(m_master, FIONREAD, &n) != 0) return 0;
    return n;
}

int Pty::Read(void* buffer, int count) {
    if (count <= 0) return 0;
    ssize_t n = ::read(m_master, buffer, static_cast<size_t>(count));
    if (n >= 0) return static_cast<int>(n);
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

int Pty::Write(const void* bytes, int count, int timeoutMs) {
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    const char* p = static_cast<const char*>(bytes);
    int written = 0;
    while (written < count) {
        ssize_t n = ::write(m_master, p + written, static_cast<size_t>(count - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return written > 0 ? written : -1;
        // The host's input queue is full: wait for room, but not for ever.
        int left = MsUntil(deadline);
        if (left == 0 || PollFd(m_master, POLLOUT, left) <= 0) break;
    }
    return written;
}

namespace {

PtyLineSettings ToLineSettings(const termios& tio) {
    PtyLineSettings settings;
    settings.baudRate = static_cast<int>(BaudRateForCode(::cfgetospeed(&tio)));
    settings.dataBits = lineflags::DataBits(tio.c_cflag);
    settings.parityEnable = tio.c_cflag & PARENB;
    settings.parityOdd = tio.c_cflag & PARODD;
    settings.parityStick = tio.c_cflag & CMSPAR;
    settings.twoStopBits = tio.c_cflag & CSTOPB;
    return settings;
}

}  // namespace

Error Pty::ReadLineSettings(PtyLineSettings& settings) {
    termios tio{};
    if (::tcgetattr(m_master, &tio) != 0) return Error::FromErrno(errno);
    settings = ToLineSettings(tio);
    return Error::None;
}

bool Pty::ReadKeptSettings(KeptSettings* kept) {
    termios tio{};
    if (::tcgetattr(m_master, &tio) != 0) return false;
    *kept = {tio.c_iflag, tio.c_oflag, tio.c_cflag, tio.c_lflag, {}, ::cfgetospeed(&tio)};
    std::memcpy(kept->cc, tio.c_cc, sizeof(kept->cc));
    return true;
}

bool Pty::HasNewTerminalSettings() {
    termios now{};
    if (::tcgetattr(m_master, &now) != 0) return false;
    const termios& d = m_defaults;
    return now.c_iflag == d.c_iflag && now.c_oflag == d.c_oflag && now.c_cflag == d.c_cflag &&
           now.c_lflag == d.c_lflag && std::memcmp(now.c_cc, d.c_cc, sizeof(now.c_cc)) == 0 &&
           ::cfgetospeed(&now) == ::cfgetospeed(&d);
}

bool Pty::TakeSettingsFrom(Pty& other) {
    termios tio{};
    return ::tcgetattr(other.m_master, &tio) == 0 && ::tcsetattr(m_master, TCSANOW, &tio) == 0;
}

bool Pty::PrepareNextSession(bool* refused) {
    *refused = false;
    // Looked at right before: an opener that comes after it finds the
    // settings prepared. Nothing here waits for output to drain or flushes
    // with a set (TCSAFLUSH): that makes a quick next opener's first
    // non-blocking write fail with EAGAIN.
    if (!Wait(0, nullptr).hangup) return false;
    // Output flushed on the master drops what the slave's line discipline
    // has not taken in yet; the input flush on the slave drops what it has.
    ::tcflush(m_master, TCOFLUSH);
    // Our own open of the slave is the only way to its exclusive flag and
    // its input. Refused while the flag is set, unless we may pass it.
    const int slave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        *refused = errno == EBUSY;
        return true;
    }
    ::ioctl(slave, TIOCNXCL);
    ::tcflush(slave, TCIFLUSH);
    // Turned over once for what a host left: looked at again after more
    // closes with nothing set since, it stays as it is.
    KeptSettings now;
    termios tio{};
    if (ReadKeptSettings(&now) && !(m_haveLeft && now == m_left) && ::tcgetattr(slave, &tio) == 0) {
        tio.c_iflag ^= IGNBRK;
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    m_haveLeft = ReadKeptSettings(&m_left);
    ::close(slave);
    return true;
}

unsigned WaitReadable(const int* fds, int count, int timeoutMs) {
    pollfd p[8];
    count = count > 8 ? 8 : count;
    for (int i = 0; i < count; ++i) p[i] = {fds[i], POLLIN, 0};
    if (::poll(p, static_cast<nfds_t>(count), timeoutMs) <= 0) return 0;
    unsigned ready = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i].revents & (POLLIN | POLLHUP | POLLERR)) ready |= 1u << i;
    }
    return ready;
}

// ---- Device directory entries

DeviceEntry InspectDeviceEntry(const fs::path& path) {
    DeviceEntry entry;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        entry.kind = errno == ENOENT ? DeviceEntryKind::None : DeviceEntryKind::Other;
        return entry;
    }
    entry.kind = DeviceEntryKind::Other;
    if (S_ISLNK(st.st_mode) && ReadLink(path, &entry.target) && IsPtsPath(entry.target))
        entry.kind = DeviceEntryKind::PtyLink;
    return entry;
}

Error CreateDeviceLink(const fs::path& link, const std::string& target) {
    if (::symlink(target.c_str(), link.c_str()) != 0) return Error::FromErrno(errno);
    // A device directory its group may enter (the system service's
    // /run/varnock) serves that group's users: their programs must open the
    // port too. A private directory keeps the port private, and so does a
    // group we may not hand it to.
    struct stat dir {};
    if (::stat(link.parent_path().c_str(), &dir) == 0 && (dir.st_mode & S_IXGRP) &&
        ::chown(target.c_str(), static_cast<uid_t>(-1), dir.st_gid) == 0)
        ::chmod(target.c_str(), 0660);
    return Error();
}

bool RemoveDeviceLinkIfTarget(const fs::path& link, const std::string& target) {
    std::string current;
    if (!ReadLink(link, &current) || current != target) return false;
    return ::unlink(link.c_str()) == 0;
}

fs::path DeviceLockFile(const fs::path& link) {
    return link.parent_path() / ("." + link.filename().string() + ".lock");
}

fs::path DeviceSocketFile(const fs::path& link) {
    return link.parent_path() / ("." + link.filename().string() + ".host");
}

// ---- DeviceNameLock

Error DeviceNameLock::TryAcquire(const fs::path& file, bool mayCreate,
                                 std::unique_ptr<DeviceNameLock>& lock) {
    lock.reset();
    auto fail = [](int e) { return Error::FromErrno(e); };
    // A holder removes the file before letting go, so a lock won on a file
    // that is no longer the one at the path is worth nothing: try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        int fd = ::open(file.c_str(),
                        O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (mayCreate ? O_CREAT : 0), 0600);
        if (fd < 0) return fail(errno);
        struct stat held {
        }, named{};
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || held.st_uid != ::geteuid()) {
            ::close(fd);
            return fail(EPERM);
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            ::close(fd);
            return fail(e == EWOULDBLOCK ? EBUSY : e);
        }
        if (::stat(file.c_str(), &named) != 0 || held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
            ::close(fd);
            continue;
        }
        lock.reset(new DeviceNameLock);
        lock->m_fd = fd;
        lock->m_file = file;
        return Error::None;
    }
    return fail(EBUSY);
}

DeviceNameLock::~DeviceNameLock() {
    if (m_fd >= 0) ::close(m_fd);
}

void DeviceNameLock::RemoveFile() {
    ::unlink(m_file.c_str());
}

bool IsStaleDeviceLink(const fs::path& link) {
    std::unique_ptr<DeviceNameLock> lock;
    return InspectDeviceEntry(link).kind == DeviceEntryKind::PtyLink &&
           DeviceNameLock::TryAcquire(DeviceLockFile(link), false, lock) == Error::None;
}

int RemoveStaleDeviceLinks(const fs::path& directory) {
    const std::string suffix = ".lock";
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::string file = it->path().filename().string();
        if (file.size() > 1 + suffix.size() && file.front() == '.' && file.ends_with(suffix))
            names.push_back(file.substr(1, file.size() - 1 - suffix.size()));
    }
    int removed = 0;
    for (const std::string& name : names) {
        const fs::path link = directory / name;
        std::unique_ptr<DeviceNameLock> lock;
        if (DeviceNameLock::TryAcquire(DeviceLockFile(link), false, lock) != Error::None)
            continue;  // a live binding's, or not ours
        DeviceEntry entry = InspectDeviceEntry(link);
        if (entry.kind == DeviceEntryKind::PtyLink) {
            // Changed under our hands: leave both for the next look.
            if (!RemoveDeviceLinkIfTarget(link, entry.target)) continue;
            ++removed;
        }
        struct stat st {};
        const fs::path socket = DeviceSocketFile(link);
        if (::lstat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(socket.c_str());
        lock->RemoveFile();
    }
    return removed;
}

}  // namespace varnock::platform
