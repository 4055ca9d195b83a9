// The compatibility library that varnock-host preloads into a host program.
// On a descriptor that is a Varnock virtual port (a pty that a link in our
// device directory names) it makes the terminal calls behave as on a real
// serial port; on every other descriptor it changes nothing.
//
//  - Data bits and parity: a pty keeps neither (it stores 8 bits, no
//    parity). A request is handed to the pty with what the pty would store
//    anyway, so that it never fails for them, and reading back returns what
//    a host set, as the driver keeps it for every process (without the
//    driver's answer: what this process set, while the pty holds it).
//  - DTR/RTS are kept here and read back; the modem status reports CTS, DSR
//    and DCD on; the interrupt counters and the line status answer, as Wine's
//    WaitCommEvent needs them.
//  - Each setting goes to our driver as one datagram on the port's socket,
//    and the call waits briefly for it to be taken.
//
// It runs inside programs that are not ours: no thread, no allocation, no
// exception, no static constructor of C++ objects, only system calls that
// are async-signal safe, and errno as the real call leaves it.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/BaudRates.h"
#include "platform/LineFlags.h"
#include "vport/HostLineProtocol.h"

#define VARNOCK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using varnock::hostline::LineMessage;

using TcGetAttr = int (*)(int, struct termios*);
using TcSetAttr = int (*)(int, int, const struct termios*);
using Ioctl = int (*)(int, unsigned long, ...);

TcGetAttr g_tcgetattr = nullptr;
TcSetAttr g_tcsetattr = nullptr;
Ioctl g_ioctl = nullptr;

// The device directory, when it can be trusted: ours, not writable by others.
char g_dir[256] = {};
bool g_haveDir = false;

namespace lineflags = varnock::platform::lineflags;
// The bytes of c_cflag that a pty drops.
constexpr tcflag_t kDropped = lineflags::kPtyDropped;
// What the kernel's termios, termios2 and glibc's termios share: the four
// flag words, the line discipline and the first 19 control characters.
constexpr size_t kPrefix = 4 * sizeof(tcflag_t) + 1 + 19;
constexpr size_t kCflagAt = 2 * sizeof(tcflag_t);

// The kernel's termios2 (its header clashes with glibc's termios.h).
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
constexpr unsigned long kTcGets2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kTcSets2 = _IOW('T', 0x2B, KernelTermios2);
constexpr unsigned long kTcSetsW2 = _IOW('T', 0x2C, KernelTermios2);
constexpr unsigned long kTcSetsF2 = _IOW('T', 0x2D, KernelTermios2);

// One pty this process has looked at. Guarded by g_lock.
struct Port {
    bool used = false;
    dev_t dev = 0;
    ino_t ino = 0;
    // A pty's node is made anew for every pair, and its number is reused:
    // the change time tells this pair from an earlier one of that number.
    struct timespec made = {};
    bool ours = false;
    uint32_t pts = 0;
    char name[varnock::hostline::kPortNameMax + 1] = {};
    // The host's data bits and parity, valid while the pty still holds
    // `after`, what it made of the request.
    bool haveShadow = false;
    tcflag_t shadow = 0;
    unsigned char after[kPrefix] = {};
    int modem = TIOCM_DTR | TIOCM_RTS;
};

constexpr int kPorts = 16;
// How long a call waits for the driver's answer; a driver that does not
// answer leaves the call to this process's own knowledge.
constexpr int kAnswerWaitMs = 250;
Port g_ports[kPorts];
int g_nextSlot = 0;
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
// The thread that holds g_lock, 0 when none does.
std::atomic<pid_t> g_lockHolder{0};

// Waits for the table as long as other threads hold it (they hold it only
// to copy an entry). False only in a signal handler that interrupted its own
// thread's hold: the caller then does without the table.
bool Lock() {
    const auto self = static_cast<pid_t>(syscall(SYS_gettid));
    if (g_lockHolder.load(std::memory_order_relaxed) == self) return false;
    for (int i = 0; g_lock.test_and_set(std::memory_order_acquire); ++i) {
        if (i >= 100) sched_yield();
    }
    g_lockHolder.store(self, std::memory_order_relaxed);
    return true;
}

void Unlock() {
    g_lockHolder.store(0, std::memory_order_relaxed);
    g_lock.clear(std::memory_order_release);
}

class SavedErrno {
public:
    SavedErrno() : m_errno(errno) {}
    ~SavedErrno() { errno = m_errno; }

private:
    int m_errno;
};

// Text building without stdio, which is not safe in a signal handler.
class Text {
public:
    Text(char* buffer, size_t room) : m_buffer(buffer), m_room(room) { Put(""); }
    Text& Put(const char* text) {
        while (*text && m_length + 1 < m_room) m_buffer[m_length++] = *text++;
        m_full = m_full || *text;
        m_buffer[m_length] = '\0';
        return *this;
    }
    Text& Put(unsigned number) {
        char digits[16];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + number % 10);
        while ((number /= 10) != 0);
        char text[17];
        for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
        text[n] = '\0';
        return Put(text);
    }
    // False when the text did not fit.
    bool ok() const { return !m_full; }
    size_t length() const { return m_length; }

private:
    char* m_buffer;
    size_t m_room;
    size_t m_length = 0;
    bool m_full = false;
};

bool SamePty(const Port& p, const struct stat& st) {
    return p.used && p.dev == st.st_dev && p.ino == st.st_ino && p.made.tv_sec == st.st_ctim.tv_sec &&
           p.made.tv_nsec == st.st_ctim.tv_nsec;
}

bool IsPtySlave(const struct stat& st) {
    unsigned major = ::major(st.st_rdev);
    return S_ISCHR(st.st_mode) && major >= 136 && major <= 143;
}

uint32_t PtsNumber(const struct stat& st) {
    return (::major(st.st_rdev) - 136) * 256 + ::minor(st.st_rdev);
}

void InitDirectory() {
    const char* env = getenv("VARNOCK_DEVICE_DIR");
    const char* run = getenv("XDG_RUNTIME_DIR");
    Text dir(g_dir, sizeof(g_dir));
    if (env && *env)
        dir.Put(env);
    else if (run && *run)
        dir.Put(run).Put("/varnock");
    else
        dir.Put("/tmp/varnock-").Put(static_cast<unsigned>(getuid()));
    g_haveDir = dir.ok();
}

bool DirectoryTrusted() {
    struct stat st {};
    return g_haveDir && lstat(g_dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// The name of the link in the device directory that points to /dev/pts/N.
bool FindLink(uint32_t pts, char* name, size_t room) {
    if (!DirectoryTrusted()) return false;
    char target[32];
    Text text(target, sizeof(target));
    const auto targetLength = static_cast<ssize_t>(text.Put("/dev/pts/").Put(pts).length());
    int dir = open(g_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    bool found = false;
    alignas(8) char buffer[4096];
    for (long n; !found && (n = syscall(SYS_getdents64, dir, buffer, sizeof(buffer))) > 0;) {
        for (long at = 0; !found && at < n;) {
            auto* entry = reinterpret_cast<struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) continue;
            size_t length = strlen(entry->d_name);
            if (!varnock::hostline::IsPortName(entry->d_name, length) || length >= room) continue;
            char link[64];
            ssize_t got = readlinkat(dir, entry->d_name, link, sizeof(link));
            if (got != targetLength || memcmp(link, target, static_cast<size_t>(got)) != 0) continue;
            memcpy(name, entry->d_name, length + 1);
            found = true;
        }
    }
    close(dir);
    return found;
}

// A copy of the entry for the pty behind `fd`, looked up or added; false
// when `fd` is not one of ours (or the table could not be had).
bool FindPort(int fd, struct stat* st, Port* copy) {
    SavedErrno saved;
    if (!g_haveDir || fstat(fd, st) != 0 || !IsPtySlave(*st)) return false;
    const bool locked = Lock();
    if (locked) {
        for (Port& p : g_ports) {
            if (SamePty(p, *st)) {
                *copy = p;
                Unlock();
                return copy->ours;
            }
        }
        Unlock();
    }
    // Not seen before: one look at the device directory, outside the lock.
    Port fresh;
    fresh.used = true;
    fresh.dev = st->st_dev;
    fresh.ino = st->st_ino;
    fresh.made = st->st_ctim;
    fresh.pts = PtsNumber(*st);
    fresh.ours = FindLink(fresh.pts, fresh.name, sizeof(fresh.name));
    if (locked && Lock()) {
        // An earlier pair of the same number is gone for good.
        Port* slot = &g_ports[g_nextSlot];
        for (Port& p : g_ports) {
            if (p.used && p.dev == fresh.dev && p.ino == fresh.ino) slot = &p;
        }
        if (slot == &g_ports[g_nextSlot]) g_nextSlot = (g_nextSlot + 1) % kPorts;
        *slot = fresh;
        Unlock();
    }
    *copy = fresh;
    return fresh.ours;
}

// Applies `change` to the entry of `st`'s pty, if it is still there.
template <typename Change>
void UpdatePort(const struct stat& st, Change change) {
    if (!Lock()) return;
    for (Port& p : g_ports) {
        if (SamePty(p, st)) change(p);
    }
    Unlock();
}

void Snapshot(const void* termiosPrefix, unsigned char* out) {
    memcpy(out, termiosPrefix, kPrefix);
    tcflag_t cflag;
    memcpy(&cflag, out + kCflagAt, sizeof(cflag));
    cflag &= ~kDropped;
    memcpy(out + kCflagAt, &cflag, sizeof(cflag));
}

// Sends `m` to the port's driver from a socket of this call's own and waits
// briefly for its answer, the port's line state as every process sees it.
// False when the driver did not answer.
bool Ask(const Port& port, LineMessage m, LineMessage* answer) {
    using varnock::hostline::MessageKind;
    memcpy(m.port, port.name, sizeof(m.port));
    m.pts = port.pts;
    uint8_t wire[varnock::hostline::kMessageSize + 1];
    if (!varnock::hostline::EncodeLineMessage(m, wire)) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    Text path(address.sun_path, sizeof(address.sun_path));
    if (!path.Put(g_dir).Put("/.").Put(port.name).Put(varnock::hostline::kSocketSuffix).ok()) return false;
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    // An address of its own, chosen by the kernel, for the answer.
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    bool answered = false;
    if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) == 0 &&
        sendto(s, wire, varnock::hostline::kMessageSize, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
               sizeof(address)) == static_cast<ssize_t>(varnock::hostline::kMessageSize)) {
        for (int tries = 0; !answered && tries < 4; ++tries) {
            pollfd ready{s, POLLIN, 0};
            if (poll(&ready, 1, kAnswerWaitMs) <= 0) break;
            sockaddr_un from{};
            socklen_t fromLength = sizeof(from);
            ssize_t n = recvfrom(s, wire, sizeof(wire), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            // Only the driver's own socket answers.
            answered = n > 0 && fromLength > sizeof(sa_family_t) &&
                       strncmp(from.sun_path, address.sun_path, sizeof(from.sun_path)) == 0 &&
                       varnock::hostline::ParseLineMessage(wire, static_cast<size_t>(n), answer) &&
                       answer->kind == MessageKind::State && answer->pts == port.pts &&
                       strcmp(answer->port, port.name) == 0;
        }
    }
    close(s);
    return answered;
}

// After a read of the settings (kernel or glibc layout, `t`): the host's
// data bits and parity as the driver keeps them for every process; without
// the driver's answer, this process's own while the pty holds what came of
// them.
void PatchRead(const struct stat& st, const Port& port, void* t) {
    tcflag_t cflag;
    memcpy(&cflag, static_cast<unsigned char*>(t) + kCflagAt, sizeof(cflag));
    LineMessage state;
    LineMessage query;
    query.kind = varnock::hostline::MessageKind::Query;
    if (Ask(port, query, &state)) {
        if (!state.known) return;
        cflag = (cflag & ~kDropped) | lineflags::SizeFlag(state.dataBits) | (state.parity != 0 ? PARENB : 0);
        memcpy(static_cast<unsigned char*>(t) + kCflagAt, &cflag, sizeof(cflag));
        return;
    }
    if (!port.haveShadow) return;
    unsigned char now[kPrefix];
    Snapshot(t, now);
    if (memcmp(now, port.after, kPrefix) == 0) {
        cflag = (cflag & ~kDropped) | port.shadow;
        memcpy(static_cast<unsigned char*>(t) + kCflagAt, &cflag, sizeof(cflag));
        return;
    }
    // Changed since by somebody else.
    UpdatePort(st, [](Port& p) {
        p.haveShadow = false;
        p.modem = TIOCM_DTR | TIOCM_RTS;
    });
}

// Tells the driver what the host set: the pty's settings with the host's
// data bits and parity, and waits for it to be taken.
void Report(int fd, const Port& port, tcflag_t shadow, int modem) {
    struct termios now {};
    if (g_tcgetattr(fd, &now) != 0) return;
    LineMessage m;
    m.baudRate = varnock::platform::BaudRateForCode(cfgetospeed(&now));
    m.dataBits = static_cast<uint8_t>(lineflags::DataBits(shadow));
    // The pty keeps PARODD and CMSPAR; only PARENB is the host's own.
    m.parity = static_cast<uint8_t>(lineflags::Parity((now.c_cflag & ~PARENB) | (shadow & PARENB)));
    m.stopBits = (now.c_cflag & CSTOPB) ? 2 : 0;
    m.modem = static_cast<uint8_t>(((modem & TIOCM_DTR) ? varnock::hostline::kModemDtr : 0) |
                                   ((modem & TIOCM_RTS) ? varnock::hostline::kModemRts : 0));
    LineMessage taken;
    Ask(port, m, &taken);
}

// After a successful set on one of ours: what the host asked for data bits
// and parity, and what the pty made of the request.
void Remember(int fd, const struct stat& st, const Port& port, tcflag_t requested) {
    SavedErrno saved;
    struct termios now {};
    if (g_tcgetattr(fd, &now) != 0) return;
    const tcflag_t shadow = requested & kDropped;
    int modem = port.modem;
    UpdatePort(st, [&](Port& p) {
        p.haveShadow = true;
        p.shadow = shadow;
        Snapshot(&now, p.after);
        modem = p.modem;
    });
    Report(fd, port, shadow, modem);
}

// Copies between the caller's memory and ours through the kernel, which
// answers a bad address with EFAULT where a plain copy would crash the
// program: a pipe takes the bytes and gives them back.
bool KernelCopy(void* to, const void* from, size_t size) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    const bool ok = write(p[1], from, size) == static_cast<ssize_t>(size) &&
                    read(p[0], to, size) == static_cast<ssize_t>(size);
    const int error = errno;
    close(p[0]);
    close(p[1]);
    errno = error;
    return ok;
}

int ModemCall(const struct stat& st, unsigned long request, void* arg) {
    int bits = 0;
    if (request != TIOCMGET && !KernelCopy(&bits, arg, sizeof(bits))) return -1;
    int result = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    int modem = TIOCM_DTR | TIOCM_RTS;
    const bool known = Lock();
    if (known) {
        for (Port& p : g_ports) {
            if (!SamePty(p, st)) continue;
            const int lines = bits & (TIOCM_DTR | TIOCM_RTS);
            if (request == TIOCMSET) p.modem = lines;
            if (request == TIOCMBIS) p.modem |= lines;
            if (request == TIOCMBIC) p.modem &= ~lines;
            modem = p.modem;
        }
        Unlock();
    }
    result |= modem;
    if (request == TIOCMGET && !KernelCopy(arg, &result, sizeof(result))) return -1;
    return 0;
}

bool IsSetRequest(unsigned long request) {
    return request == TCSETS || request == TCSETSW || request == TCSETSF || request == kTcSets2 ||
           request == kTcSetsW2 || request == kTcSetsF2;
}

bool IsHandled(unsigned long request) {
    return IsSetRequest(request) || request == TCGETS || request == kTcGets2 || request == TIOCMGET ||
           request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCGICOUNT ||
           request == TIOCSERGETLSR;
}

__attribute__((constructor)) void Init() {
    g_tcgetattr = reinterpret_cast<TcGetAttr>(dlsym(RTLD_NEXT, "tcgetattr"));
    g_tcsetattr = reinterpret_cast<TcSetAttr>(dlsym(RTLD_NEXT, "tcsetattr"));
    g_ioctl = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    // Without every real call, change nothing anywhere.
    if (g_tcgetattr && g_tcsetattr && g_ioctl) InitDirectory();
    // A fork while another thread held the table must not leave it held.
    pthread_atfork(nullptr, nullptr, [] {
        g_lockHolder.store(0);
        g_lock.clear();
    });
}

}  // namespace

VARNOCK_EXPORT int tcgetattr(int fd, struct termios* t) noexcept {
    if (!g_tcgetattr) {
        errno = ENOSYS;
        return -1;
    }
    struct stat st;
    Port port;
    if (!t || !FindPort(fd, &st, &port)) return g_tcgetattr(fd, t);
    int result = g_tcgetattr(fd, t);
    if (result == 0) {
        SavedErrno saved;
        PatchRead(st, port, t);
    }
    return result;
}

VARNOCK_EXPORT int tcsetattr(int fd, int action, const struct termios* t) noexcept {
    if (!g_tcsetattr) {
        errno = ENOSYS;
        return -1;
    }
    struct stat st;
    Port port;
    if (!t || !FindPort(fd, &st, &port)) return g_tcsetattr(fd, action, t);
    // Asked with what the pty keeps, so that it is not refused for the
    // bits it drops (glibc checks them after setting).
    struct termios request = *t;
    request.c_cflag = (request.c_cflag & ~kDropped) | CS8 | CREAD;
    int result = g_tcsetattr(fd, action, &request);
    if (result == 0) Remember(fd, st, port, t->c_cflag);
    return result;
}

VARNOCK_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (!g_ioctl) return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    struct stat st;
    Port port;
    if (!IsHandled(request) || !FindPort(fd, &st, &port)) return g_ioctl(fd, request, arg);

    switch (request) {
        case TIOCMGET:
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
            return ModemCall(st, request, arg);
        case TIOCGICOUNT: {
            // No line errors, breaks or modem changes ever happen on it.
            const struct serial_icounter_struct none {};
            return KernelCopy(arg, &none, sizeof(none)) ? 0 : -1;
        }
        case TIOCSERGETLSR: {
            int queued = 0;
            if (g_ioctl(fd, TIOCOUTQ, &queued) != 0) return -1;
            const int status = queued == 0 ? TIOCSER_TEMT : 0;
            return KernelCopy(arg, &status, sizeof(status)) ? 0 : -1;
        }
        default:
            break;
    }
    int result = g_ioctl(fd, request, arg);
    if (result != 0 || !arg) return result;
    if (IsSetRequest(request)) {
        tcflag_t cflag;
        memcpy(&cflag, static_cast<unsigned char*>(arg) + kCflagAt, sizeof(cflag));
        Remember(fd, st, port, cflag);
    } else {
        SavedErrno saved;
        PatchRead(st, port, arg);
    }
    return result;
}
