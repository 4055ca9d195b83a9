#pragma once
// A serial line over the tty ioctls, shaped like the serial
// communications calls the links are written against: a line state record
// (baud rate, framing, handshake modes), a timeout record, purges, break,
// DTR/RTS, the modem status and timed transfers.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Deadline.h"
#include "platform/Error.h"

namespace varnock::platform {

// How DTR and RTS are driven while the line is open.
enum class LineControl : uint8_t {
    Disable = 0,    // held low
    Enable = 1,     // held high
    Handshake = 2,  // high while open: Linux has no input-queue driven mode
};

inline constexpr uint8_t PARITY_NONE = 0;
inline constexpr uint8_t PARITY_ODD = 1;
inline constexpr uint8_t PARITY_EVEN = 2;
inline constexpr uint8_t PARITY_MARK = 3;
inline constexpr uint8_t PARITY_SPACE = 4;
inline constexpr uint8_t STOPBITS_ONE = 0;
inline constexpr uint8_t STOPBITS_ONE_AND_HALF = 1;
inline constexpr uint8_t STOPBITS_TWO = 2;

// The line state, encoded as the platform's serial settings record is.
struct SerialState {
    uint32_t baudRate = 9600;
    uint8_t byteSize = 8;  // 5..8
    uint8_t parity = PARITY_NONE;
    uint8_t stopBits = STOPBITS_ONE;
    LineControl dtrControl = LineControl::Enable;
    LineControl rtsControl = LineControl::Enable;
    bool outxCtsFlow = false;  // CTS gates output (CRTSCTS)
    bool outxDsrFlow = false;  // not available on Linux: refused
    bool outX = false;         // XON/XOFF on output
    bool inX = false;          // XON/XOFF on input
};

inline constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

// A tty's settings as the line reads and applies them (flag values and c_cc
// indices as in <termios.h>). Only the kernel's own record of each
// architecture carries them to the driver (platform/TermiosIoctl.h).
struct LineTermios {
    uint32_t c_iflag = 0;
    uint32_t c_oflag = 0;
    uint32_t c_cflag = 0;
    uint32_t c_lflag = 0;
    uint8_t c_line = 0;
    uint8_t c_cc[32] = {};
    uint32_t c_ispeed = 0;  // rates where the kernel's record has them
    uint32_t c_ospeed = 0;
};

// Read and write time-outs in milliseconds. A read ends when the count is
// reached, when the total time-out (multiplier * count + constant) ran out,
// or when more than the interval passed between two bytes. The interval
// MAXDWORD with multiplier and constant 0 means "take what is there". A
// total of 0 means no total limit.
struct SerialTimeouts {
    uint32_t readIntervalTimeout = 0;
    uint32_t readTotalTimeoutMultiplier = 0;
    uint32_t readTotalTimeoutConstant = 0;
    uint32_t writeTotalTimeoutMultiplier = 0;
    uint32_t writeTotalTimeoutConstant = 0;
};

// Modem status bits (TIOCM_*), as ModemStatus reports them.
inline constexpr int MODEM_CTS = 0x020;
inline constexpr int MODEM_DSR = 0x100;

class SerialLine {
public:
    SerialLine() = default;
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;
    // Closes the line if it is still open.
    virtual ~SerialLine();

    // Opens a resolved device path read/write, without controlling terminal,
    // exclusively (TIOCEXCL and an advisory lock), in raw mode with DTR and
    // RTS raised. Speed, data size, parity and stop bits stay as the line
    // had them. The line's termios is restored by Close.
    Error Open(const std::filesystem::path& path);
    // Undoes Open in reverse order. Closing a closed line does nothing.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    const std::filesystem::path& Path() const { return m_path; }
    // A pseudo-terminal has no wire: it drops data size and parity.
    bool IsPseudoTerminal() const { return m_isPty; }

    // Reads the current line state; fails when the device is gone.
    Error GetState(SerialState& state);
    // Applies the line state and the DTR/RTS modes. A setting the line did
    // not take fails (on a pseudo-terminal, data size and parity may drop).
    Error SetState(const SerialState& state);
    Error GetTimeouts(SerialTimeouts& timeouts) const;
    Error SetTimeouts(const SerialTimeouts& timeouts);
    // Clears a pending line error; fails when the device is gone.
    Error ClearError();

    Error PurgeInput();
    Error PurgeOutput();
    Error SetBreak(bool on);
    // Lines without modem control (a pseudo-terminal) accept these silently.
    Error SetDtr(bool on);
    Error SetRts(bool on);
    // The TIOCM_* bits. A device without modem lines reports CTS and DSR on.
    Error ModemStatus(int& bits);
    // Bytes waiting in the input queue.
    Error InputWaiting(int& bytes);

    // Timed transfers under the current time-outs; `moved` is the number of
    // bytes read or written, also when the result is an error. A write
    // returns once its bytes have left the output queue for the wire, or
    // when its total time-out ran out.
    Error Read(uint8_t* data, int count, uint32_t& moved);
    Error Write(const uint8_t* data, int count, uint32_t& moved);

protected:
    // Seams for tests, each returning 0 or an errno value: reading and
    // applying the termios record, the modem-status query and the number of
    // bytes in the output queue (TIOCOUTQ).
    virtual int ReadTermios(int fd, LineTermios& t);
    virtual int ApplyTermios(int fd, const LineTermios& t);
    virtual int QueryModemBits(int fd, int& bits);
    virtual int QueryOutputQueue(int fd, int& bytes);

private:
    Error ApplyModemControl(LineControl dtr, LineControl rts);
    Error SetModemLine(int bit, bool on);
    // Waits until the output queue is empty or `deadline` (if any) has passed.
    Error Drain(const SteadyClock::time_point* deadline);

    int m_fd = -1;
    std::filesystem::path m_path;
    bool m_isPty = false;
    bool m_exclusive = false;
    bool m_locked = false;
    bool m_haveOriginal = false;
    LineTermios m_original;
    // Atomic: resetting the line runs without the link lock while the
    // receive thread reads the state.
    std::atomic<uint32_t> m_requestedBits = 0;  // data size and parity as last asked
    SerialTimeouts m_timeouts;
    std::atomic<LineControl> m_dtrControl = LineControl::Enable;
    std::atomic<LineControl> m_rtsControl = LineControl::Enable;
};

}  // namespace varnock::platform
