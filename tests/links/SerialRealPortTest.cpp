#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>

#include "links/SerialRealPort.h"
#include "platform/Clock.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TestSupport.h"

namespace varnock {
namespace {

using Bytes = std::vector<uint8_t>;
using platform::KernelTermios;

// The real line, with the termios asked for recorded and CTS under the
// test's control (a pty has no modem lines).
class RecordingLine : public platform::SerialLine {
public:
    std::vector<KernelTermios> Applied() {
        std::lock_guard lock(m_mutex);
        return m_applied;
    }
    std::atomic<bool> ctsLow{false};

protected:
    int ApplyTermios(int fd, const KernelTermios& t) override {
        {
            std::lock_guard lock(m_mutex);
            m_applied.push_back(t);
        }
        return SerialLine::ApplyTermios(fd, t);
    }
    int QueryModemBits(int fd, int& bits) override {
        if (!ctsLow) return SerialLine::QueryModemBits(fd, bits);
        bits = platform::MODEM_DSR;
        return 0;
    }

private:
    std::mutex m_mutex;
    std::vector<KernelTermios> m_applied;
};

class SerialRealPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plc.ok());
        std::filesystem::create_symlink(plc.SlavePath(), deviceDir.path() / "COM12");
        auto owned = std::make_unique<RecordingLine>();
        line = owned.get();
        port = std::make_unique<SerialRealPort>(std::move(owned));
        config.m_strLinkPort = "COM12";
    }
    void TearDown() override { port->Close(); }

    void WaitForInput(int bytes) {
        ASSERT_TRUE(test::WaitFor([&] {
            int n = 0;
            return line->InputWaiting(n) == platform::SerialError::None && n >= bytes;
        }));
    }

    test::ScopedDeviceDir deviceDir;
    test::PtyPair plc;
    RecordingLine* line = nullptr;
    std::unique_ptr<SerialRealPort> port;
    ChannelConfig config;
};

TEST_F(SerialRealPortTest, OpenSetsTheLineUpAndCloseRestoresIt) {
    termios before{};
    ASSERT_TRUE(plc.SlaveTermios(before));
    config.m_nBaudRate = 19200;
    config.m_byDataBits = 7;
    config.m_byParity = 1;
    config.m_byStopBits = 2;
    ASSERT_EQ(port->Open(config), RealPort::OPEN_OK);
    EXPECT_EQ(port->OpenResult(), 1);
    EXPECT_NE(port->Device(), INVALID_HANDLE_VALUE);

    // The pty keeps speed and stop bits; size and parity show in what was asked.
    termios seen{};
    ASSERT_TRUE(plc.SlaveTermios(seen));
    EXPECT_EQ(cfgetospeed(&seen), B19200);
    EXPECT_TRUE(seen.c_cflag & CSTOPB);
    EXPECT_FALSE(seen.c_lflag & (ICANON | ECHO));
    KernelTermios asked = line->Applied().back();
    EXPECT_EQ(asked.c_cflag & CSIZE, static_cast<uint32_t>(CS7));
    EXPECT_EQ(asked.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<uint32_t>(PARENB | PARODD));
    EXPECT_FALSE(asked.c_cflag & CRTSCTS);  // CTS must not gate output
    EXPECT_FALSE(asked.c_iflag & (IXON | IXOFF));

    config.m_nBaudRate = 115200;
    config.m_byDataBits = 8;
    config.m_byParity = 3;  // mark
    config.m_byStopBits = 0;
    ASSERT_EQ(port->Configure(config), 1);
    asked = line->Applied().back();
    EXPECT_EQ(asked.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<uint32_t>(PARENB | PARODD | CMSPAR));
    EXPECT_EQ(asked.c_cflag & CSIZE, static_cast<uint32_t>(CS8));
    ASSERT_TRUE(plc.SlaveTermios(seen));
    EXPECT_EQ(cfgetospeed(&seen), B115200);
    EXPECT_FALSE(seen.c_cflag & CSTOPB);

    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(port->Device(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(port->Close(), 1);
    ASSERT_TRUE(plc.SlaveTermios(seen));
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
    EXPECT_EQ(cfgetospeed(&seen), cfgetospeed(&before));
}

TEST_F(SerialRealPortTest, SettingsTheLineCannotTakeFailTheOpen) {
    for (auto [baud, bits, stop] : {std::tuple{12345, 8, 0}, {9600, 8, 1}, {9600, 9, 0}, {0, 8, 0}}) {
        config.m_nBaudRate = baud;
        config.m_byDataBits = static_cast<uint8_t>(bits);
        config.m_byStopBits = static_cast<uint8_t>(stop);
        EXPECT_EQ(port->Open(config), RealPort::OPEN_FAILED) << baud << " " << bits << " " << stop;
        EXPECT_EQ(port->OpenResult(), 0);
        // The port stays open until Close.
        EXPECT_NE(port->Device(), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(port->Close(), 1);

    config = ChannelConfig{};
    config.m_strLinkPort = "COM13";
    EXPECT_EQ(port->Open(config), RealPort::OPEN_FAILED);
    EXPECT_EQ(port->Device(), INVALID_HANDLE_VALUE);
}

TEST_F(SerialRealPortTest, APortInUseIsRefused) {
    ASSERT_EQ(port->Open(config), 1);
    SerialRealPort second;
    EXPECT_EQ(second.Open(config), RealPort::OPEN_FAILED);
    port->Close();
    EXPECT_EQ(second.Open(config), RealPort::OPEN_OK);
}

TEST_F(SerialRealPortTest, TimedReadsReturnShortCounts) {
    ASSERT_EQ(port->Open(config), 1);
    ASSERT_TRUE(plc.Write({1, 2, 3, 4}));
    ByteArray buffer{0xEE};
    uint32_t received = 99;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port->Read(buffer, 10, received, 150), 1);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(buffer.bytes(), (Bytes{0xEE, 1, 2, 3, 4}));  // appended, never cleared
    EXPECT_GE(elapsed, std::chrono::milliseconds(140));

    EXPECT_EQ(port->Read(buffer, 10, received, 50), 1);
    EXPECT_EQ(received, 0u);

    // T = 0 runs with a total read time-out of 1000 ms.
    ASSERT_TRUE(plc.Write({5, 6}));
    EXPECT_EQ(port->Read(buffer, 2, received, 0), 1);
    EXPECT_EQ(received, 2u);
    platform::SerialTimeouts timeouts;
    line->GetTimeouts(timeouts);
    EXPECT_EQ(timeouts.readTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.readIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.writeTotalTimeoutMultiplier, 1000u);
}

TEST_F(SerialRealPortTest, WriteDiscardsUnreadInputFirst) {
    ASSERT_EQ(port->Open(config), 1);
    ASSERT_TRUE(plc.Write({'o', 'l', 'd'}));
    WaitForInput(3);

    ByteArray request{'r', 'e', 'q', 'x'};
    uint32_t sent = 0;
    EXPECT_EQ(port->Write(request, 3, sent, 100), 1);
    EXPECT_EQ(sent, 3u);
    EXPECT_EQ(plc.Read(4, std::chrono::milliseconds(200)), (Bytes{'r', 'e', 'q'}));

    ASSERT_TRUE(plc.Write({'o', 'k'}));
    ByteArray reply;
    uint32_t received = 0;
    EXPECT_EQ(port->Read(reply, 5, received, 100), 1);
    EXPECT_EQ(reply.bytes(), (Bytes{'o', 'k'}));
}

TEST_F(SerialRealPortTest, PurgeArguments) {
    ASSERT_EQ(port->Open(config), 1);
    ASSERT_TRUE(plc.Write({7, 8}));
    WaitForInput(2);
    EXPECT_EQ(port->Purge(0), 0);
    EXPECT_EQ(port->Purge(4), 0);
    EXPECT_EQ(port->Purge(RealPort::PURGE_OUTPUT), 1);
    int waiting = 0;
    line->InputWaiting(waiting);
    EXPECT_EQ(waiting, 2);  // input kept

    EXPECT_EQ(port->Purge(RealPort::PURGE_INPUT), 1);
    line->InputWaiting(waiting);
    EXPECT_EQ(waiting, 0);

    ASSERT_TRUE(plc.Write({9}));
    WaitForInput(1);
    EXPECT_EQ(port->Purge(RealPort::PURGE_BOTH), 1);
    line->InputWaiting(waiting);
    EXPECT_EQ(waiting, 0);
}

TEST_F(SerialRealPortTest, ResetLineRestoresTheLineSettings) {
    platform::ManualClock clock;
    platform::ScopedClock scoped(clock);
    config.m_nBaudRate = 38400;
    ASSERT_EQ(port->Open(config), 1);
    KernelTermios afterOpen = line->Applied().back();

    EXPECT_EQ(port->ResetLine(), 1);
    EXPECT_EQ(clock.TotalSlept(), 300u);  // 200 ms break, 100 ms before DTR
    KernelTermios restored = line->Applied().back();
    EXPECT_EQ(restored.c_cflag, afterOpen.c_cflag);
    EXPECT_EQ(restored.c_iflag, afterOpen.c_iflag);
    platform::SerialState state;
    ASSERT_EQ(line->GetState(state), platform::SerialError::None);
    EXPECT_EQ(state.dtrControl, platform::LineControl::Handshake);
    EXPECT_EQ(state.rtsControl, platform::LineControl::Handshake);
    EXPECT_EQ(state.baudRate, 38400u);
    EXPECT_EQ(state.parity, 2);
}

TEST_F(SerialRealPortTest, CtsLowWritesNothing) {
    ASSERT_EQ(port->Open(config), 1);
    line->ctsLow = true;
    ByteArray request{1, 2, 3};
    uint32_t sent = 77;
    EXPECT_EQ(port->Write(request, 3, sent, 100), 0);
    EXPECT_EQ(sent, 0u);
    EXPECT_TRUE(plc.Read(1, std::chrono::milliseconds(100)).empty());

    line->ctsLow = false;
    EXPECT_EQ(port->Write(request, 3, sent, 100), 1);
    EXPECT_EQ(plc.Read(3), (Bytes{1, 2, 3}));
}

TEST_F(SerialRealPortTest, FarSideGoneGivesZero) {
    ASSERT_EQ(port->Open(config), 1);
    plc.CloseMaster();
    ByteArray buffer;
    uint32_t count = 5;
    EXPECT_EQ(port->Read(buffer, 4, count, 50), 0);
    EXPECT_EQ(count, 0u);
    ByteArray request{1};
    EXPECT_EQ(port->Write(request, 1, count, 50), 0);
    EXPECT_EQ(port->Configure(config), 0);
    EXPECT_EQ(port->Close(), 1);
}

}  // namespace
}  // namespace varnock
