// Links over ptys, loopback TCP, a simulated USB driver and fake device tree; the factory's USB choice.
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <tuple>

#include "links/EthernetRealPort.h"
#include "links/RealPortFactory.h"
#include "links/SerialRealPort.h"
#include "links/UsbComDiscovery.h"
#include "links/UsbComRealPort.h"
#include "links/UsbRealPort.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/Pty.h"
#include "tests/links/FakeDeviceTree.h"
#include "tests/links/SimulatedUsbDriver.h"
#include "tests/links/TestPlc.h"
#include "tests/support/TestSupport.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::EthernetConfig;
using test::kCp2102;
using test::TestPlc;
using Calls = std::vector<std::string>;
using Ports = std::vector<std::string>;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using platform::LineTermios;
using Got = std::pair<int, uint32_t>;  // a transfer's result and the bytes moved

std::unique_ptr<platform::Pty> NewPty() {
    std::unique_ptr<platform::Pty> pty;
    platform::Pty::Create(pty);
    return pty;
}

// A link's transfers as a channel makes them.
class LinkTest : public ::testing::Test {
protected:
    // Braced: the call comes before `moved` is taken.
    Got Read(int count, uint32_t timeoutMs) { return {link->Read(buffer, count, moved, timeoutMs), moved}; }
    Got Write(const ByteArray& bytes, int count = -1) {
        return {link->Write(bytes, count < 0 ? bytes.GetSize() : count, moved, 100), moved};
    }
    RealPort* link = nullptr;
    ByteArray buffer;
    uint32_t moved = 99;
};

// A real line keeping the asked termios as a UART does; CTS and the `wireMs` output queue test-driven.
class RecordingLine : public platform::SerialLine {
public:
    std::optional<LineTermios> kept;
    std::atomic<bool> ctsLow{false};
    int wireMs = 0;

protected:
    int ReadTermios(int fd, LineTermios& t) override {
        return kept ? (t = *kept, 0) : SerialLine::ReadTermios(fd, t);
    }
    int ApplyTermios(int fd, const LineTermios& t) override {
        return kept = t, SerialLine::ApplyTermios(fd, t);
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
        fs::create_symlink(plc->SlavePath(), deviceDir.path() / "COM12");
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
    std::unique_ptr<platform::Pty> plc = NewPty();
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
    ASSERT_EQ(plc->ReadLineSettings(seen), platform::Error::None);
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
    for (int twice = 0; twice < 2; ++twice) EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(port->Device(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(plc->HasNewTerminalSettings());
    EXPECT_EQ(std::make_unique<SerialRealPort>()->Open(config), RealPort::OPEN_OK);  // deleting closes
    EXPECT_EQ(second.Open(config), RealPort::OPEN_OK);
    config.m_strLinkPort = "COM13";
    EXPECT_EQ(port->Open(config), RealPort::OPEN_FAILED);
}

TEST_F(SerialRealPortTest, TimedReadsReturnShortCountsAndALostLineZero) {
    ASSERT_EQ(port->Open(config), RealPort::OPEN_OK);
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

// Unread input goes before every write and with an input purge; a PLC without CTS gets nothing.
TEST_F(SerialRealPortTest, InputIsDroppedBeforeEachWriteAndNothingGoesWhileCtsIsLow) {
    ASSERT_EQ(port->Open(config), RealPort::OPEN_OK);
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

// 31 bytes at 9600 8E1 take 36 ms: the write returns after them; a stuck queue ends with its time-out.
TEST_F(SerialRealPortTest, WriteReturnsOnceTheBytesAreOnTheWire) {
    ASSERT_EQ(port->Open(config), RealPort::OPEN_OK);
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

// A USB-to-UART port keeps the speed, data size, parity and stop bits the system gave it.
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
        ASSERT_EQ(port.Open(EthernetConfig(address)), RealPort::OPEN_OK);
        firstPort = plc.Accept();
        ASSERT_NE(firstPort, 0);
        EXPECT_EQ(port.LocalPort(), firstPort);
    }
    EthernetRealPort port;
    uint16_t firstPort = 0;
};

// On the clock seam: a read waits its time-out less the slack, in poll steps, taking what arrived.
TEST_F(EthernetRealPortTest, ReadTakesWhatArrivedWithinItsTime) {
    EXPECT_EQ(port.Close(), 1);                                                 // never opened
    EXPECT_EQ(port.Open(EthernetConfig("127.0.0.35")), RealPort::OPEN_FAILED);  // nothing listens
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
    for (int twice = 0; twice < 2; ++twice) EXPECT_EQ(port.Close(), 1);
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

// A PLC that stopped reading takes part of a frame at the send limit: the connection is reset, so that the
// rest never reaches it as the start of the next frame, and the next frame goes out whole on a new one.
TEST_F(EthernetRealPortTest, AFrameCutShortResetsTheConnection) {
    TestPlc plc("127.0.0.34", 4096);
    Connect(plc, "127.0.0.34");
    const ByteArray frame(Bytes(50001, 0x5A));
    Got got{0, 0};
    for (int i = 0; i < 500 && (got.first != 1 || got.second == 0 || got.second == 50001u); ++i)
        got = Write(frame);
    ASSERT_EQ(got.first, 1);
    ASSERT_LT(got.second, 50001u);
    EXPECT_EQ(plc.Accept(), firstPort);
    EXPECT_EQ(Write(ByteArray{1, 2, 3}), Got(1, 3));
    EXPECT_EQ(plc.Receive(3), (Bytes{1, 2, 3}));
}

// After a close, LAST_ACK holds our port a round trip; a reconnect waits it out. Packets wait ~100 ms.
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

class UsbRealPortTest : public LinkTest {
protected:
    UsbRealPortTest() { link = &port; }
    void OpenAtZero() {
        driver.Plug(0, "PLC-1");
        ASSERT_EQ(port.Open(ChannelConfig{}), RealPort::OPEN_OK);
        driver.calls.clear();
    }

    platform::ManualClock clock;
    platform::ScopedClock scopedClock{clock};
    test::SimulatedUsbDriver driver;
    UsbRealPort port{driver};
};

TEST_F(UsbRealPortTest, ReadWriteAndPurgeReachTheDriverInOrder) {
    OpenAtZero();
    driver.At(0)->reply = {1, 2, 3};
    buffer = {9};
    EXPECT_EQ(Read(6, 120), Got(1, 3));  // a short read is no failure
    EXPECT_EQ(buffer, (ByteArray{9, 1, 2, 3}));
    driver.At(0)->input = {7, 7};  // unread input goes before a write
    EXPECT_EQ(Write(ByteArray{5, 6, 7, 8}, 3), Got(1, 3));
    EXPECT_EQ(driver.At(0)->written, (std::vector<uint8_t>{5, 6, 7}));
    EXPECT_TRUE(driver.At(0)->input.empty());
    EXPECT_EQ(driver.calls, (Calls{"GET_STATUS", "SET_TIMEOUT 120", "read 6", "GET_STATUS", "PURGE_INPUT",
                                   "SET_TIMEOUT 100", "write 3"}));
    EXPECT_EQ(Write(ByteArray{1, 2}, 10), Got(1, 2));  // never more than the buffer holds
    EXPECT_EQ(Read(6, 50), Got(1, 0));                 // nothing at all

    driver.calls.clear();
    for (int which : {3, 2, 1, 0, 4}) EXPECT_EQ(port.Purge(which), which >= 1 && which <= 3 ? 1 : 0) << which;
    EXPECT_EQ(driver.calls, (Calls{"PURGE_INPUT", "PURGE_OUTPUT", "PURGE_OUTPUT", "PURGE_INPUT"}));
}

TEST_F(UsbRealPortTest, ReplugUnderAnotherIndexIsFoundBySerialNumberAnotherPlcIsNot) {
    OpenAtZero();
    driver.Unplug(0);
    driver.Plug(2, "PLC-9");
    driver.Plug(5, "PLC-1").reply = {0xAA, 0xBB};

    EXPECT_EQ(Read(2, 50), Got(1, 2));
    EXPECT_EQ(buffer, (ByteArray{0xAA, 0xBB}));
    EXPECT_EQ(clock.TotalSlept(), 500u);
    EXPECT_FALSE(driver.At(2)->held);  // the other PLC is closed again

    // Another PLC in its place is not taken.
    driver.Unplug(5);
    driver.Plug(5, "PLC-2");
    EXPECT_EQ(Read(4, 50), Got(0, 0));
    EXPECT_EQ(driver.OpenHandles(), 0);
}

// A node whose device went away (a hung-up pty: EIO) fails every call; the status must say it is lost.
TEST(IoctlUsbDriverTest, ANodeWhoseDeviceWentAwayReportsANegativeStatus) {
    test::ScopedDeviceDir devices;
    std::unique_ptr<platform::Pty> device = NewPty();
    fs::create_symlink(device->SlavePath(), devices.path() / "HXUSB-0");
    IoctlUsbDriver driver;
    UsbOpenError error;
    UsbDriver::Handle handle = driver.Open("\\\\.\\HXUSB-0", error);
    ASSERT_NE(handle, UsbDriver::kInvalidHandle);
    auto status = [&] {
        int32_t s = 7;
        uint32_t in = 0;
        driver.Control(handle, IOCTL_HXUSB_GET_STATUS, &in, 4, &s, 4);
        return s;
    };
    EXPECT_EQ(status(), 7);  // a node that does not know the code is no lost device
    device.reset();
    EXPECT_LT(status(), 0);
    driver.Close(handle);
}

// Added out of order: the list comes sorted by tty name. Ports that are not on USB are never listed.
TEST(UsbComDiscoveryTest, FriendlyNameOrElseDescriptionMustBeginWithThePrefix) {
    test::FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB1", kCp2102);
    tree.AddUsbSerial("ttyUSB0", kCp2102, "CP2102 Interface");  // named by its product
    tree.AddUsbSerial("ttyUSB2", "FT232R USB UART");
    tree.AddUsbSerial("ttyUSB3", "Silicon Labs CP2102 USB to UART Bridge Controller");
    tree.AddUsbSerial("ttyACM0", std::nullopt, "Mega2560 Bridge");  // no friendly name
    tree.AddUsbSerial("ttyACM1", "Other Bridge", "Mega2560 Bridge");
    tree.AddPlatformSerial("ttyS0");
    tree.AddTty("tty1");
    const std::pair<const char*, Ports> cases[] = {
        {"CP2102", {"\\\\.\\ttyUSB0", "\\\\.\\ttyUSB1"}},  // not ttyUSB3, which only contains it
        {"FT232", {"\\\\.\\ttyUSB2"}},
        {"Mega2560", {"\\\\.\\ttyACM0"}},  // a friendly name takes precedence
    };
    for (const auto& [prefix, expected] : cases) {
        Ports ports{"kept"};
        EXPECT_EQ(FindUsbComPorts(prefix, ports, tree.root()), 1);
        ports.erase(ports.begin());
        EXPECT_EQ(ports, expected) << prefix;
    }
    Ports ports{"kept"};
    EXPECT_EQ(FindUsbComPorts("CP2102", ports, tree.root() / "missing"), 0);
    EXPECT_EQ(ports, Ports{"kept"});
}

class UsbComRealPortTest : public ::testing::Test {
protected:
    void LinkTty(const std::string& name) { fs::create_symlink(pty->SlavePath(), devices.path() / name); }
    // One converter, ttyUSB0, matched by "CP2102"; reads wait `monitorMs`.
    void OneConverter(int monitorMs = 50) {
        tree.AddUsbSerial("ttyUSB0", kCp2102);
        LinkTty("ttyUSB0");
        test::WriteUsbComSettings(settings.path(), "CP2102", monitorMs);
    }

    test::ScopedDeviceDir devices;
    test::TempDir settings;
    test::FakeDeviceTree tree;
    std::unique_ptr<platform::Pty> pty = NewPty();
    platform::RecordingMessageSink sink;
    platform::ScopedMessageSink sinkScope{sink};
    UsbComRealPort port{settings.path(), tree.root()};
    ByteArray data;
    uint32_t moved = 99;
};

TEST_F(UsbComRealPortTest, OpensTheOneMatchingConverterOrElseTheConfiguredName) {
    OneConverter();
    tree.AddUsbSerial("ttyUSB1", "FT232R USB UART");
    EXPECT_EQ(port.Open(ChannelConfig{}), RealPort::OPEN_OK);
    EXPECT_EQ(port.IsHandleOpen(), 1);
    EXPECT_EQ(port.PortPath(), devices.path() / "ttyUSB0");
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.IsHandleOpen(), 0);

    // Two matching: 105, nothing opened.
    tree.AddUsbSerial("ttyUSB2", kCp2102);
    EXPECT_EQ(port.Open(ChannelConfig{}), RealPort::OPEN_MULTIPLE_DEVICES);
    EXPECT_EQ(port.IsHandleOpen(), 0);

    // No match: the configured name as it stands.
    LinkTty("COM7");
    test::WriteUsbComSettings(settings.path(), "COM7");
    EXPECT_EQ(port.Open(ChannelConfig{}), RealPort::OPEN_OK);
    EXPECT_EQ(port.PortPath(), devices.path() / "COM7");
    UsbComRealPort other{settings.path(), tree.root()};
    EXPECT_EQ(other.Open(ChannelConfig{}), RealPort::OPEN_ACCESS_DENIED);  // held by the first
    EXPECT_TRUE(sink.Entries().empty());
}

// A read repeats until its time-out, also with a negative one in the settings (not a wait of weeks).
TEST_F(UsbComRealPortTest, ReadRepeatsUntilTheTimeoutRunsOut) {
    OneConverter();
    for (int monitorMs : {50, -5}) {
        test::WriteUsbComSettings(settings.path(), "CP2102", monitorMs);
        UsbComRealPort link{settings.path(), tree.root()};
        ASSERT_EQ(link.Open(ChannelConfig{}), RealPort::OPEN_OK);
        ByteArray got{7};
        auto start = SteadyClock::now();
        EXPECT_EQ(link.Read(got, 10, moved, 120), 1);
        const auto took = SteadyClock::now() - start;
        EXPECT_GE(took, 110ms) << monitorMs;
        EXPECT_LT(took, 5s) << monitorMs;
        EXPECT_EQ(moved, 0u);
        ASSERT_TRUE(test::WritePty(*pty, {1, 2}));
        EXPECT_EQ(link.Read(got, 2, moved, 1000), 1);
        EXPECT_EQ(got, (ByteArray{7, 1, 2}));
    }
}

// A dead converter descriptor is closed; the next call reopens after the pause, with the short time-out.
TEST_F(UsbComRealPortTest, ALostDeviceIsClosedAndOpenedAgainAfterThePause) {
    OneConverter(50);
    ASSERT_EQ(port.Open(ChannelConfig{}), RealPort::OPEN_OK);
    pty.reset();
    EXPECT_EQ(port.Read(data, 4, moved, 100), 1);
    EXPECT_EQ(port.IsHandleOpen(), 0);

    pty = NewPty();
    fs::remove(devices.path() / "ttyUSB0");
    LinkTty("ttyUSB0");
    {
        platform::ManualClock clock;
        platform::ScopedClock scoped(clock);
        EXPECT_EQ(port.Write(ByteArray{5, 6, 7}, 2, moved, 0), 1);
        EXPECT_EQ(clock.TotalSlept(), 4000u);
    }
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(test::ReadPty(*pty, 2), (std::vector<uint8_t>{5, 6}));
    auto start = SteadyClock::now();
    EXPECT_EQ(port.Read(data, 10, moved, 120), 1);
    EXPECT_LT(SteadyClock::now() - start, 5s);
}

class RealPortFactoryTest : public ::testing::Test {
protected:
    RealPortFactoryTest() { test::WriteUsbComSettings(settings.path(), "CP2102"); }
    OpenResult Create(LinkType type) { return CreateRealPort(type, config, link, env); }
    template <class T>
    bool LinkIs() {
        return dynamic_cast<T*>(link.get());
    }

    test::ScopedDeviceDir devices;
    test::TempDir settings;
    test::FakeDeviceTree tree;
    std::unique_ptr<platform::Pty> pty = NewPty();
    test::SimulatedUsbDriver driver;
    LinkEnvironment env{&driver, settings.path(), tree.root()};
    platform::RecordingMessageSink sink;
    platform::ScopedMessageSink sinkScope{sink};
    ChannelConfig config;
    std::unique_ptr<RealPort> link;
};

// Every row of the USB selection; whatever the row, no device is left open without an owner.
TEST_F(RealPortFactoryTest, UsbSelection) {
    driver.Plug(0, "PLC-1");
    EXPECT_EQ(Create(LinkType::Usb), RealPort::OPEN_OK);  // native only
    EXPECT_TRUE(LinkIs<UsbRealPort>());
    // The held link is closed first: still held, the device would refuse with 104.
    EXPECT_EQ(Create(LinkType::Usb), RealPort::OPEN_OK);
    EXPECT_EQ(driver.OpenHandles(), 1);

    tree.AddUsbSerial("ttyUSB0", kCp2102);
    fs::create_symlink(pty->SlavePath(), devices.path() / "ttyUSB0");
    EXPECT_EQ(Create(LinkType::Usb), RealPort::OPEN_MULTIPLE_DEVICES);  // both
    EXPECT_TRUE(LinkIs<UsbComRealPort>());
    EXPECT_EQ(driver.OpenHandles(), 0);
    link->Close();
    {
        UsbComRealPort holder(settings.path(), tree.root());
        ASSERT_EQ(holder.Open(ChannelConfig{}), RealPort::OPEN_OK);
        EXPECT_EQ(Create(LinkType::Usb), RealPort::OPEN_FAILED);  // native, and the converter refused
        EXPECT_TRUE(LinkIs<UsbComRealPort>());
        EXPECT_EQ(driver.OpenHandles(), 0);
    }

    driver.Unplug(0);
    EXPECT_EQ(Create(LinkType::Usb), RealPort::OPEN_OK);  // converter only
    ASSERT_TRUE(LinkIs<UsbComRealPort>());
    EXPECT_EQ(static_cast<UsbComRealPort&>(*link).IsHandleOpen(), 1);

    fs::remove(devices.path() / "ttyUSB0");
    driver.Plug(0, "");  // opens, but reports no serial number: neither
    EXPECT_EQ(Create(LinkType::Usb), RealPort::OPEN_FAILED);
    EXPECT_TRUE(LinkIs<UsbComRealPort>());
    EXPECT_EQ(driver.OpenHandles(), 0);

    // A refused or manifold native device stops the search: the converter would show 109 without Varnock.ini.
    fs::remove(settings.path() / "Varnock.ini");
    driver.Plug(0, "PLC-1").busy = true;
    EXPECT_EQ(Create(LinkType::Usb), RealPort::OPEN_ACCESS_DENIED);
    EXPECT_TRUE(LinkIs<UsbRealPort>());
    driver.At(0)->busy = false;
    driver.At(0)->count = 2;
    EXPECT_EQ(Create(LinkType::Usb), RealPort::OPEN_MULTIPLE_DEVICES);
    EXPECT_TRUE(LinkIs<UsbRealPort>());
    EXPECT_EQ(driver.OpenHandles(), 1);  // held until the owner closes it
    EXPECT_TRUE(sink.Entries().empty());
}

}  // namespace
}  // namespace varnock
