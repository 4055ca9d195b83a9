#include "platform/SerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/BaudRates.h"
#include "platform/Deadline.h"
#include "platform/Error.h"
#include "platform/LineFlags.h"
#include "platform/TermiosIoctl.h"

namespace varnock::platform {
namespace {

static_assert(MODEM_CTS == TIOCM_CTS && MODEM_DSR == TIOCM_DSR);

using lineflags::kParityBits;
using lineflags::kPtyDropped;

bool IsModemlessError(int err) {
    return err == ENOTTY || err == EINVAL;
}

bool IsPtyDevice(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned maj = major(st.st_rdev);
    unsigned min = minor(st.st_rdev);
    // Unix98 slaves, BSD-style pairs, and the multiplexer.
    return (maj >= 136 && maj <= 143) || maj == 2 || maj == 3 || (maj == 5 && min == 2);
}

// Waits for `events`; 1 ready, 0 timed out, -1 the device hung up or failed.
int WaitFd(int fd, short events, int timeoutMs) {
    int revents = PollFd(fd, events, timeoutMs);
    if (revents < 0 || (revents & (POLLHUP | POLLERR | POLLNVAL))) return -1;
    return revents == 0 ? 0 : 1;
}

}  // namespace

SerialLine::~SerialLine() {
    Close();
}

Error SerialLine::Open(const std::filesystem::path& path) {
    Close();
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Error::FromErrno(errno);
    m_fd = fd;
    m_path = path;

    LineTermios original;
    int err = ReadTermios(fd, original);
    if (err != 0) {
        Close();
        return Error::FromErrno(err);
    }
    // The advisory lock keeps our own processes apart even where TIOCEXCL
    // does not bind (a privileged user).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        err = errno;
        Close();
        // A lock that would block is another holder's.
        return err == EWOULDBLOCK ? Error(Error::AccessDenied, err) : Error::FromErrno(err);
    }
    m_locked = true;
    if (::ioctl(fd, TIOCEXCL) != 0) {
        err = errno;
        Close();
        return Error::FromErrno(err);
    }
    m_exclusive = true;
    m_original = original;
    m_haveOriginal = true;
    m_isPty = IsPtyDevice(fd);

    // Raw bytes; the framing on the wire is the line's own until SetState
    // changes it (a USB-to-UART port is used as the system set it up).
    LineTermios raw = original;
    raw.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    raw.c_oflag &= ~OPOST;
    raw.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~CRTSCTS;
    raw.c_cflag |= CREAD | CLOCAL;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    err = ApplyTermios(fd, raw);
    if (err != 0) {
        Close();
        return Error::FromErrno(err);
    }
    m_requestedBits = raw.c_cflag & kPtyDropped;
    m_timeouts = SerialTimeouts{};
    m_dtrControl = LineControl::Enable;
    m_rtsControl = LineControl::Enable;
    Error lines = ApplyModemControl(m_dtrControl, m_rtsControl);
    if (lines != Error::None) {
        Close();
        return lines;
    }
    return Error::None;
}

void SerialLine::Close() {
    if (m_fd < 0) return;
    // Reverse order of Open. A lost device refuses all of it; close anyway.
    if (m_haveOriginal) ApplyTermios(m_fd, m_original);
    if (m_exclusive) ::ioctl(m_fd, TIOCNXCL);
    if (m_locked) ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
    m_haveOriginal = m_exclusive = m_locked = m_isPty = false;
    m_path.clear();
}

Error SerialLine::GetState(SerialState& state) {
    if (m_fd < 0) return Error::NotOpen;
    LineTermios t;
    if (int err = ReadTermios(m_fd, t)) return Error::FromErrno(err);
    // A pseudo-terminal reports CS8 without parity whatever was asked; with
    // no wire behind it, what was asked is the line's state.
    uint32_t cflag = t.c_cflag;
    if (m_isPty) cflag = (cflag & ~kPtyDropped) | m_requestedBits;
    state.baudRate = BaudRateForCode(cflag & CBAUD);
    state.byteSize = static_cast<uint8_t>(lineflags::DataBits(cflag));
    state.parity = static_cast<uint8_t>(lineflags::Parity(cflag));
    state.stopBits = (cflag & CSTOPB) ? STOPBITS_TWO : STOPBITS_ONE;
    state.outxCtsFlow = (cflag & CRTSCTS) != 0;
    state.outxDsrFlow = false;
    state.outX = (t.c_iflag & IXON) != 0;
    state.inX = (t.c_iflag & IXOFF) != 0;
    state.dtrControl = m_dtrControl;
    state.rtsControl = m_rtsControl;
    return Error::None;
}

Error SerialLine::SetState(const SerialState& state) {
    if (m_fd < 0) return Error::NotOpen;
    uint32_t baud = 0;
    if (!BaudCodeForRate(state.baudRate, baud)) return Error::Unsupported;
    if (state.byteSize < 5 || state.byteSize > 8) return Error::Unsupported;
    if (state.parity > PARITY_SPACE) return Error::Unsupported;
    if (state.stopBits != STOPBITS_ONE && state.stopBits != STOPBITS_TWO) return Error::Unsupported;
    if (state.outxDsrFlow) return Error::Unsupported;

    LineTermios t;
    if (int err = ReadTermios(m_fd, t)) return Error::FromErrno(err);
    // Input at the output's speed (CIBAUD 0).
    t.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | kParityBits | CSTOPB | CRTSCTS);
    t.c_cflag |= baud | lineflags::SizeFlag(state.byteSize) | lineflags::ParityFlags(state.parity);
    if (state.stopBits == STOPBITS_TWO) t.c_cflag |= CSTOPB;
    if (state.outxCtsFlow) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF);
    if (state.outX) t.c_iflag |= IXON;
    if (state.inX) t.c_iflag |= IXOFF;

    if (int err = ApplyTermios(m_fd, t)) return Error::FromErrno(err);

    // Judge the result ourselves: a setting that did not take is a failure,
    // except the data size and parity a pseudo-terminal always drops.
    LineTermios now;
    if (int err = ReadTermios(m_fd, now)) return Error::FromErrno(err);
    uint32_t checked = CBAUD | CSTOPB | CRTSCTS | (m_isPty ? 0u : CSIZE | kParityBits);
    if ((now.c_cflag & checked) != (t.c_cflag & checked)) return Error::Unsupported;
    if ((now.c_iflag & (IXON | IXOFF)) != (t.c_iflag & (IXON | IXOFF))) return Error::Unsupported;
    m_requestedBits = t.c_cflag & kPtyDropped;

    Error lines = ApplyModemControl(state.dtrControl, state.rtsControl);
    if (lines != Error::None) return lines;
    m_dtrControl = state.dtrControl;
    m_rtsControl = state.rtsControl;
    return Error::None;
}

Error SerialLine::GetTimeouts(SerialTimeouts& timeouts) const {
    if (m_fd < 0) return Error::NotOpen;
    timeouts = m_timeouts;
    return Error::None;
}

Error SerialLine::SetTimeouts(const SerialTimeouts& timeouts) {
    if (m_fd < 0) return Error::NotOpen;
    m_timeouts = timeouts;
    return Error::None;
}

Error SerialLine::ClearError() {
    if (m_fd < 0) return Error::NotOpen;
    // The tty layer keeps no sticky error; only a lost device fails here.
    LineTermios t;
    return Error::FromErrno(ReadTermios(m_fd, t));
}

Error SerialLine::PurgeInput() {
    if (m_fd < 0) return Error::NotOpen;
    return ::ioctl(m_fd, TCFLSH, TCIFLUSH) == 0 ? Error::None : Error::FromErrno(errno);
}

Error SerialLine::PurgeOutput() {
    if (m_fd < 0) return Error::NotOpen;
    return ::ioctl(m_fd, TCFLSH, TCOFLUSH) == 0 ? Error::None : Error::FromErrno(errno);
}

Error SerialLine::SetBreak(bool on) {
    if (m_fd < 0) return Error::NotOpen;
    return ::ioctl(m_fd, on ? TIOCSBRK : TIOCCBRK) == 0 ? Error::None : Error::FromErrno(errno);
}

Error SerialLine::SetDtr(bool on) {
    return SetModemLine(TIOCM_DTR, on);
}

Error SerialLine::SetRts(bool on) {
    return SetModemLine(TIOCM_RTS, on);
}

Error SerialLine::SetModemLine(int bit, bool on) {
    if (m_fd < 0) return Error::NotOpen;
    if (::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return Error::None;
    int err = errno;
    return IsModemlessError(err) ? Error::None : Error::FromErrno(err);
}

Error SerialLine::ApplyModemControl(LineControl dtr, LineControl rts) {
    Error e = SetDtr(dtr != LineControl::Disable);
    if (e != Error::None) return e;
    return SetRts(rts != LineControl::Disable);
}

Error SerialLine::ModemStatus(int& bits) {
    bits = 0;
    if (m_fd < 0) return Error::NotOpen;
    int err = QueryModemBits(m_fd, bits);
    if (err == 0) return Error::None;
    if (IsModemlessError(err)) {
        // No modem lines: nothing holds the line back.
        bits = MODEM_CTS | MODEM_DSR;
        return Error::None;
    }
    return Error::FromErrno(err);
}

Error SerialLine::InputWaiting(int& bytes) {
    bytes = 0;
    if (m_fd < 0) return Error::NotOpen;
    return ::ioctl(m_fd, TIOCINQ, &bytes) == 0 ? Error::None : Error::FromErrno(errno);
}

Error SerialLine::Read(uint8_t* data, int count, uint32_t& moved) {
    moved = 0;
    if (m_fd < 0) return Error::NotOpen;
    if (count <= 0) return Error::None;
    const SerialTimeouts& to = m_timeouts;
    bool takeWhatIsThere = to.readIntervalTimeout == MAXDWORD && to.readTotalTimeoutMultiplier == 0 &&
                           to.readTotalTimeoutConstant == 0;
    // Interval and multiplier MAXDWORD: return as soon as anything came.
    bool returnOnAny = to.readIntervalTimeout == MAXDWORD && to.readTotalTimeoutMultiplier == MAXDWORD;
    uint64_t total =
        returnOnAny ? to.readTotalTimeoutConstant
                    : uint64_t(to.readTotalTimeoutMultiplier) * uint64_t(count) + to.readTotalTimeoutConstant;
    bool useInterval = to.readIntervalTimeout > 0 && to.readIntervalTimeout < MAXDWORD;
    auto start = SteadyClock::now();
    auto deadline = start + std::chrono::milliseconds(total);
    auto lastByte = start;

    for (;;) {
        ssize_t n = ::read(m_fd, data + moved, static_cast<size_t>(count) - moved);
        if (n > 0) {
            moved += static_cast<uint32_t>(n);
            lastByte = SteadyClock::now();
            if (moved >= static_cast<uint32_t>(count) || returnOnAny) return Error::None;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return Error::FromErrno(errno);
        if (takeWhatIsThere) return Error::None;

        int waitMs = -1;
        if (total > 0) waitMs = MsUntil(deadline);
        if (useInterval && moved > 0) {
            int intervalLeft = MsUntil(lastByte + std::chrono::milliseconds(to.readIntervalTimeout));
            waitMs = waitMs < 0 ? intervalLeft : std::min(waitMs, intervalLeft);
        }
        if (waitMs == 0) return Error::None;
        int ready = WaitFd(m_fd, POLLIN, waitMs);
        if (ready < 0) return Error::DeviceLost;
        if (ready == 0) return Error::None;
    }
}

Error SerialLine::Write(const uint8_t* data, int count, uint32_t& moved) {
    moved = 0;
    if (m_fd < 0) return Error::NotOpen;
    if (count <= 0) return Error::None;
    uint64_t total = uint64_t(m_timeouts.writeTotalTimeoutMultiplier) * uint64_t(count) +
                     m_timeouts.writeTotalTimeoutConstant;
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(total);
    while (moved < static_cast<uint32_t>(count)) {
        ssize_t n = ::write(m_fd, data + moved, static_cast<size_t>(count) - moved);
        if (n > 0) {
            moved += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return Error::FromErrno(errno);
        int waitMs = total > 0 ? MsUntil(deadline) : -1;
        if (waitMs == 0) return Error::None;
        int ready = WaitFd(m_fd, POLLOUT, waitMs);
        if (ready < 0) return Error::DeviceLost;
        if (ready == 0) return Error::None;
    }
    // In the queue is not yet on the wire: a reply window that opened now
    // would be spent sending (31 bytes at 9600 8E1 take 36 ms).
    return Drain(total > 0 ? &deadline : nullptr);
}

Error SerialLine::Drain(const SteadyClock::time_point* deadline) {
    for (;;) {
        int queued = 0;
        int err = QueryOutputQueue(m_fd, queued);
        // A line that cannot tell has nothing we could wait for.
        if (err != 0) return IsModemlessError(err) ? Error::None : Error::FromErrno(err);
        if (queued <= 0 || (deadline && SteadyClock::now() >= *deadline)) return Error::None;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int SerialLine::ReadTermios(int fd, LineTermios& t) {
    return GetLineTermios(fd, t);
}

// The ioctl itself, not tcsetattr: glibc reads the settings back and fails
// when a pseudo-terminal dropped the data size or parity.
int SerialLine::ApplyTermios(int fd, const LineTermios& t) {
    return SetLineTermios(fd, t);
}

int SerialLine::QueryModemBits(int fd, int& bits) {
    return ::ioctl(fd, TIOCMGET, &bits) == 0 ? 0 : errno;
}

int SerialLine::QueryOutputQueue(int fd, int& bytes) {
    return ::ioctl(fd, TIOCOUTQ, &bytes) == 0 ? 0 : errno;
}

}  // namespace varnock::platform
