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
#include <vector>

#include "platform/BaudRates.h"
#include "platform/Deadline.h"

namespace varnock::platform {
namespace fs = std::filesystem;

namespace {

int DataBitsFromFlags(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

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

bool WakeEvent::Wait(int timeoutMs) {
    if (m_fd < 0) {
        ::usleep(static_cast<useconds_t>(timeoutMs) * 1000);
        return false;
    }
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

// ---- Pty

std::unique_ptr<Pty> Pty::Create(Error* error) {
    auto fail = [error](int e) {
        if (error) *error = Error::FromErrno(e);
        return nullptr;
    };
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return fail(errno);
    std::unique_ptr<Pty> pty(new Pty);
    pty->m_master = master;

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
    termios tio{};
    int result = ::tcgetattr(slave, &tio);
    if (result == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSTOPB | PARODD | CMSPAR);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, B9600);
        ::cfsetospeed(&tio, B9600);
        result = ::tcsetattr(slave, TCSANOW, &tio);
    }
    int savedErrno = errno;
    ::close(slave);
    if (result != 0) return fail(savedErrno);
    return pty;
}

Pty::~Pty() {
    if (m_master >= 0) ::close(m_master);
}

PtyWaitResult Pty::Wait(int timeoutMs, WakeEvent* wake) {
    PtyWaitResult result;
    pollfd fds[2] = {{m_master, POLLIN, 0}, {wake ? wake->fd() : -1, POLLIN, 0}};
    int n = ::poll(fds, wake && wake->ok() ? 2 : 1, timeoutMs);
    if (n <= 0) return result;
    result.readable = fds[0].revents & POLLIN;
    result.hangup = fds[0].revents & (POLLHUP | POLLERR);
    result.woken = fds[1].revents & POLLIN;
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

void Pty::DiscardHostInput() {
    // Flushing from the master side drops only bytes not yet handed to the
    // slave's line discipline; the slave's own input flush drops them all.
    int slave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        ::tcflush(slave, TCIFLUSH);
        ::close(slave);
    } else {
        ::tcflush(m_master, TCOFLUSH);
    }
}

bool Pty::ReadLineSettings(PtyLineSettings* settings, Error* error) {
    termios tio{};
    if (::tcgetattr(m_master, &tio) != 0) {
        if (error) *error = Error::FromErrno(errno);
        return false;
    }
    settings->baudRate = static_cast<int>(BaudRateForCode(::cfgetospeed(&tio)));
    settings->dataBits = DataBitsFromFlags(tio.c_cflag);
    settings->parityEnable = tio.c_cflag & PARENB;
    settings->parityOdd = tio.c_cflag & PARODD;
    settings->parityStick = tio.c_cflag & CMSPAR;
    settings->twoStopBits = tio.c_cflag & CSTOPB;
    return true;
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
    return ::symlink(target.c_str(), link.c_str()) == 0 ? Error() : Error::FromErrno(errno);
}

bool RemoveDeviceLinkIfTarget(const fs::path& link, const std::string& target) {
    std::string current;
    if (!ReadLink(link, &current) || current != target) return false;
    return ::unlink(link.c_str()) == 0;
}

fs::path DeviceLockFile(const fs::path& link) {
    return link.parent_path() / ("." + link.filename().string() + ".lock");
}

// ---- DeviceNameLock

std::unique_ptr<DeviceNameLock> DeviceNameLock::TryAcquire(const fs::path& file, bool mayCreate,
                                                           Error* error) {
    auto fail = [error](int e) {
        if (error) *error = Error::FromErrno(e);
        return nullptr;
    };
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
        std::unique_ptr<DeviceNameLock> lock(new DeviceNameLock);
        lock->m_fd = fd;
        lock->m_file = file;
        return lock;
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
    return InspectDeviceEntry(link).kind == DeviceEntryKind::PtyLink &&
           DeviceNameLock::TryAcquire(DeviceLockFile(link), false, nullptr) != nullptr;
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
        auto lock = DeviceNameLock::TryAcquire(DeviceLockFile(link), false, nullptr);
        if (!lock) continue;  // a live binding's, or not ours
        DeviceEntry entry = InspectDeviceEntry(link);
        if (entry.kind == DeviceEntryKind::PtyLink) {
            // Changed under our hands: leave both for the next look.
            if (!RemoveDeviceLinkIfTarget(link, entry.target)) continue;
            ++removed;
        }
        lock->RemoveFile();
    }
    return removed;
}

}  // namespace varnock::platform
