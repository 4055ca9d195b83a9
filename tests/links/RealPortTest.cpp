// The serial and the Ethernet link against the real things: a pty pair for
// the cable, a TCP peer on loopback for the PLC.
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <tuple>

#include "links/EthernetRealPort.h"
#include "links/SerialRealPort.h"
#include "platform/Clock.h"
#include "platform/Pty.h"
#include "tests/links/TestPlc.h"
#include "tests/support/TestSupport.h"

namespace varnock {
namespace {

using test::Bytes;
using test::EthernetConfig;
using test::TestPlc;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using platform::LineTermios;
using Got = std::pair<int, uint32_t>;  // a transfer's result and the bytes moved

// A link's transfers as a channel makes them.
class LinkTest : public ::testing::Test {
protected:
    Got Read(int count, uint32_t timeoutMs) {
        int result = link->Read(buffer, count, moved, timeoutMs);
        return {result, moved};
    }
    Got Write(const ByteArray& bytes, int count = -1) {
        int result = link->Write(bytes, count < 0 ? bytes.GetSize() : count, moved, 100);
        return {result, moved};
    }
    RealPort* link = nullptr;
    ByteArray buffer;
    uint32_t moved = 99;
};

// The real line, keeping the termios last asked for as a UART does (a pty
// drops size and parity), with CTS under the test's control and an output
// queue that takes `wireMs` to empty after a write, as a UART's does.
class RecordingLine : public platform::SerialLine {
public:
    std::optional<LineTermios> kept;
    std::atomic<bool> ctsLow{false};
    int wireMs = 0;

protected:
    int ReadTermios(int fd, LineTermios& t) override {
        if (!kept) return SerialLine::ReadTermios(fd, t);
        t = *kept;
        return 0;
    }
    int ApplyTermios(int fd, const LineTermios& t) override {
        kept = t;
        return SerialLine::ApplyTermios(fd, t);
    }
    int QueryModemBits(int fd, int& bits) override {
        bits = platform::MODEM_DSR;
        return ctsLow ? 0 : SerialLine::QueryModemBits(fd, bits);
    }
    int QueryOutputQueue(int, int& bytes) override {
        if (!m_sending) m_sending = SteadyClock::now();
        bytes = SteadyClock::now() - *m_sending < std::chrono::milliseconds(wireMs) ? 1 : 0;
        if (bytes == 0) m_sending.reset();
        return 0;
    }

private:
    std::optional<SteadyClock::time_point> m_sending;
};

class SerialRealPortTest : public LinkTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(plc);
        std::filesystem::create_symlink(plc->SlavePath(), deviceDir.path() / "COM12");
        auto owned = std::make_unique<RecordingLine>();
        line = owned.get();
        port = std::make_unique<SerialRealPort>(std::move(owned));
        link = port.get();
        config.m_strLinkPort = "COM12";
    }
    int Waiting() {
        int n = -1;
        line->InputWaiting(n);
        return n;
    }
    void PlcSends(const Bytes& bytes) {
        ASSERT_TRUE(test::WritePty(*plc, bytes));
        ASSERT_TRUE(test::WaitFor([&] { return Waiting() >= static_cast<int>(bytes.size()); }));
    }

    test::ScopedDeviceDir deviceDir;
    std::unique_ptr<platform::Pty> plc = platform::Pty::Create(nullptr);
    RecordingLine* line = nullptr;
    std::unique_ptr<SerialRealPort> port;
    ChannelConfig config;
};

// A line reset (break, then DTR) keeps the settings that Open made.
TEST_F(SerialRealPortTest, OpenSetsTheLineUpResetKeepsItAndCloseRestoresIt) {
    config.m_nBaudRate = 19200;
    config.m_byDataBits = 7;
    config.m_byParity = Parity::Odd;
    config.m_byStopBits = StopBits::Two;
    ASSERT_EQ(port->Open(config), RealPort::OPEN_OK);
    // The pty keeps speed and stop bits; size and parity show in what was asked.
    platform::PtyLineSettings seen;
    ASSERT_TRUE(plc->ReadLineSettings(&seen, nullptr));
    EXPECT_EQ(std::pair(seen.baudRate, seen.twoStopBits), std::pair(19200, true));
    // Raw; CTS must not gate output, nor XON/XOFF the bytes.
    const LineTermios opened = *line->kept;
    EXPECT_EQ(std::tuple(opened.c_lflag & (ICANON | ECHO),
                         opened.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CRTSCTS),
                         opened.c_iflag & (IXON | IXOFF)),
              std::tuple(0u, uint32_t(CS7 | PARENB | PARODD), 0u));
    {
        platform::ManualClock clock;
        platform::ScopedClock scoped(clock);
        EXPECT_EQ(port->ResetLine(), 1);
        EXPECT_EQ(clock.TotalSlept(), 300u);  // 200 ms break, 100 ms before DTR
    }
    EXPECT_EQ(std::pair(line->kept->c_cflag, line->kept->c_iflag), std::pair(opened.c_cflag, opened.c_iflag));
    platform::SerialState state;
    ASSERT_EQ(line->GetState(state), platform::Error::None);
    EXPECT_EQ(std::pair(state.dtrControl, state.rtsControl),
              std::pair(platform::LineControl::Handshake, platform::LineControl::Handshake));

    SerialRealPort second;
    EXPECT_EQ(second.Open(config), RealPort::OPEN_FAILED);  // exclusive while open
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(port->Device(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(plc->HasNewTerminalSettings());
    EXPECT_EQ(std::make_unique<SerialRealPort>()->Open(config), RealPort::OPEN_OK);  // deleting closes
    EXPECT_EQ(second.Open(config), RealPort::OPEN_OK);
    config.m_strLinkPort = "COM13";
    EXPECT_EQ(port->Open(config), RealPort::OPEN_FAILED);
}

TEST_F(SerialRealPortTest, TimedReadsReturnShortCountsAndALostLineZero) {
    ASSERT_EQ(port->Open(config), 1);
    ASSERT_TRUE(test::WritePty(*plc, {1, 2, 3, 4}));
    buffer = {0xEE};
    auto start = SteadyClock::now();
    EXPECT_EQ(Read(10, 150), Got(1, 4));
    EXPECT_GE(SteadyClock::now() - start, 140ms);
    EXPECT_EQ(Read(10, 50), Got(1, 0));
    EXPECT_EQ(buffer.bytes(), (Bytes{0xEE, 1, 2, 3, 4}));  // appended, never cleared
    // T = 0 runs with a total read time-out of 1000 ms.
    ASSERT_TRUE(test::WritePty(*plc, {5, 6}));
    EXPECT_EQ(Read(2, 0), Got(1, 2));
    platform::SerialTimeouts timeouts;
    line->GetTimeouts(timeouts);
    EXPECT_EQ(timeouts.readTotalTimeoutConstant, 1000u);

    plc.reset();
    EXPECT_EQ(Read(4, 50), Got(0, 0));
    EXPECT_EQ(Write(ByteArray{1}, 1), Got(0, 0));
    EXPECT_EQ(port->Configure(config), 0);
}

// Unread input goes before every write and with an input purge; a PLC
// without CTS gets nothing.
TEST_F(SerialRealPortTest, InputIsDroppedBeforeEachWriteAndNothingGoesWhileCtsIsLow) {
    ASSERT_EQ(port->Open(config), 1);
    PlcSends({'o', 'l', 'd'});
    line->ctsLow = true;
    ByteArray request{'r', 'e', 'q', 'x'};
    EXPECT_EQ(Write(request, 3), Got(0, 0));
    EXPECT_TRUE(test::ReadPty(*plc, 1, 100ms).empty());
    line->ctsLow = false;
    EXPECT_EQ(Write(request, 3), Got(1, 3));
    EXPECT_EQ(test::ReadPty(*plc, 4, 200ms), (Bytes{'r', 'e', 'q'}));
    ASSERT_TRUE(test::WritePty(*plc, {'o', 'k'}));
    EXPECT_EQ(Read(5, 100), Got(1, 2));
    EXPECT_EQ(buffer.bytes(), (Bytes{'o', 'k'}));

    EXPECT_EQ(port->Purge(0), 0);
    EXPECT_EQ(port->Purge(4), 0);
    for (auto [which, left] :
         {std::pair{RealPort::PURGE_OUTPUT, 2}, {RealPort::PURGE_INPUT, 0}, {RealPort::PURGE_BOTH, 0}}) {
        ASSERT_EQ(port->Purge(RealPort::PURGE_INPUT), 1);
        PlcSends({7, 8});
        EXPECT_EQ(port->Purge(which), 1);
        EXPECT_EQ(Waiting(), left) << int(which);
    }
}

// 31 bytes at 9600 8E1 are 36 ms on the wire: the reply window of an
// exchange opens only after them. A queue that never empties ends with the
// write's time-out.
TEST_F(SerialRealPortTest, WriteReturnsOnceTheBytesAreOnTheWire) {
    ASSERT_EQ(port->Open(config), 1);
    line->wireMs = 36;
    ByteArray frame(Bytes(31, 0x55));
    auto start = SteadyClock::now();
    EXPECT_EQ(Write(frame, 31), Got(1, 31));
    EXPECT_GE(SteadyClock::now() - start, 35ms);
    EXPECT_EQ(test::ReadPty(*plc, 31).size(), 31u);

    line->wireMs = 60000;
    platform::SerialTimeouts timeouts;
    timeouts.writeTotalTimeoutConstant = 50;
    line->SetTimeouts(timeouts);
    start = SteadyClock::now();
    EXPECT_EQ(line->Write(frame.data(), 31, moved), platform::Error::None);
    EXPECT_EQ(moved, 31u);
    EXPECT_GE(SteadyClock::now() - start, 45ms);
    EXPECT_LT(SteadyClock::now() - start, 10s);
}

// A USB-to-UART port is used as the system set it up: opening the line
// leaves its speed, data size, parity and stop bits alone.
TEST_F(SerialRealPortTest, OpeningTheLineKeepsItsFraming) {
    line->kept = LineTermios{};
    line->kept->c_cflag = B19200 | CS7 | PARENB | CSTOPB | CREAD;
    ASSERT_EQ(line->Open(plc->SlavePath()), platform::Error::None);
    platform::SerialState state;
    ASSERT_EQ(line->GetState(state), platform::Error::None);
    EXPECT_EQ(std::tuple(state.baudRate, state.byteSize, state.parity, state.stopBits),
              std::tuple(19200u, uint8_t(7), platform::PARITY_EVEN, platform::STOPBITS_TWO));
    EXPECT_FALSE(line->kept->c_lflag & (ICANON | ECHO));  // raw all the same
}

class EthernetRealPortTest : public LinkTest {
protected:
    EthernetRealPortTest() { link = &port; }
    void Connect(TestPlc& plc, const std::string& address) {
        ASSERT_EQ(port.Open(EthernetConfig(address)), 1);
        firstPort = plc.Accept();
        ASSERT_NE(firstPort, 0);
        EXPECT_EQ(port.LocalPort(), firstPort);
    }
    EthernetRealPort port;
    uint16_t firstPort = 0;
};

// On the clock seam: a read waits out its time-out, less the slack, in poll
// steps, and takes only what has arrived.
TEST_F(EthernetRealPortTest, ReadTakesWhatArrivedWithinItsTime) {
    EXPECT_EQ(port.Close(), 1);                             // never opened
    EXPECT_EQ(port.Open(EthernetConfig("127.0.0.35")), 0);  // nothing listens
    TestPlc plc("127.0.0.31");
    Connect(plc, "127.0.0.31");
    platform::ManualClock clock;
    platform::ScopedClock scoped(clock);
    plc.Send({1, 2, 3, 4, 5, 6, 7, 8});
    buffer = ByteArray{0xEE};
    EXPECT_EQ(Read(20, 300), Got(1, 8));
    EXPECT_EQ(buffer.bytes(), (Bytes{0xEE, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(clock.TotalSlept(), 290u);
    EXPECT_EQ(Read(20, 0), Got(1, 0));

    // 25 waiting: 20 at once, the other 5 dropped by the next write.
    Bytes reply(25);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i);
    plc.Send(reply);
    buffer.RemoveAll();
    EXPECT_EQ(Read(20, 2000), Got(1, 20));
    EXPECT_EQ(buffer.bytes(), Bytes(reply.begin(), reply.begin() + 20));
    EXPECT_EQ(clock.TotalSlept(), 290u);
    EXPECT_EQ(Write(ByteArray{0x51, 0x52}), Got(1, 2));
    EXPECT_EQ(plc.Receive(2), (Bytes{0x51, 0x52}));
    EXPECT_EQ(Read(20, 0), Got(1, 0));

    // A peer that closed: what came first is kept, then the link is lost.
    plc.Send({9, 9});
    plc.Drop();
    EXPECT_EQ(Read(2, 500), Got(1, 2));
    EXPECT_TRUE(test::WaitFor([&] { return Read(2, 0) == Got(0, 0); }));
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Close(), 1);
}

TEST_F(EthernetRealPortTest, ResetConnectionReconnectsFromTheSameLocalPort) {
    TestPlc plc("127.0.0.33");
    Connect(plc, "127.0.0.33");
    plc.Reset();
    ASSERT_TRUE(test::WaitFor([&] { return Read(1, 0).first == 0; }));  // the reset is in
    platform::ManualClock clock;
    platform::ScopedClock scoped(clock);
    EXPECT_EQ(Write(ByteArray{'h', 'e', 'l', 'l', 'o'}), Got(1, 5));
    EXPECT_EQ(clock.TotalSlept(), EthernetRealPort::kReconnectPauseMs);
    EXPECT_EQ(plc.Accept(), firstPort);
    EXPECT_EQ(plc.Receive(5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(port.Close(), 1);
    EXPECT_TRUE(plc.Receive(1).empty());
}

// On a network where a packet takes its time, our side of a connection
// that the PLC closed normally waits one round trip for the PLC to
// acknowledge our close, and keeps its local port meanwhile. The reconnect
// from that port must wait it out, not fail. In a namespace of its own, every
// packet on loopback waits about 100 ms in a rate-limited queue.
class EthernetOverASlowNetworkTest : public EthernetRealPortTest {};

TEST_F(EthernetOverASlowNetworkTest, ANormalCloseIsFollowedByAReconnect) {
    if (!test::InNetworkNamespace()) return test::RunInNetworkNamespace();
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    if (std::system("tc qdisc add dev lo root tbf rate 128kbit burst 1540 latency 400ms mpu 1540") != 0)
        GTEST_SKIP() << "no rate-limiting queue on loopback";
    TestPlc plc("127.0.0.32");
    Connect(plc, "127.0.0.32");
    auto exchange = [&](const ByteArray& request, bool reconnects) {
        EXPECT_EQ(Write(request), Got(1, request.GetSize()));
        EXPECT_EQ(reconnects ? plc.Accept() : firstPort, firstPort);
        EXPECT_EQ(plc.Receive(request.GetSize()), request.bytes());
        plc.Send({0x06});
        EXPECT_EQ(Read(1, 50), Got(1, 1));
    };
    exchange({1, 2, 3}, false);
    plc.Drop();                                                          // a normal close
    ASSERT_TRUE(test::WaitFor([&] { return Read(1, 10).first == 0; }));  // its FIN is in
    exchange({4, 5}, true);
}

}  // namespace
}  // namespace varnock
