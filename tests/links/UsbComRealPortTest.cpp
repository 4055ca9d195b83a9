#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "links/UsbComRealPort.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "tests/links/FakeDeviceTree.h"
#include "tests/links/UsbTestSupport.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;
const char* const kCp2102 = "CP2102 USB to UART Bridge Controller";

// Real time, counting how often the link looks at it.
class CountingClock : public platform::Clock {
public:
    uint32_t TickCount() override {
        ++ticks;
        return m_real.TickCount();
    }
    void Sleep(uint32_t ms) override { m_real.Sleep(ms); }
    std::atomic<int> ticks{0};

private:
    platform::SystemClock m_real;
};

class UsbComRealPortTest : public ::testing::Test {
protected:
    UsbComRealPortTest() { sinkScope.emplace(sink); }
    // The converter's tty name in the device directory leads to the pty.
    fs::path LinkTty(const std::string& name) {
        fs::create_symlink(pty.SlavePath(), devices.path() / name);
        return devices.path() / name;
    }
    // One converter, ttyUSB0, matched by "CP2102"; reads wait `monitorMs`.
    void OneConverter(int monitorMs = 50) {
        tree.AddUsbSerial("ttyUSB0", kCp2102);
        LinkTty("ttyUSB0");
        test::WriteUsbComSettings(settings.path(), "CP2102", monitorMs);
    }

    test::ScopedDeviceDir devices;
    test::TempDir settings;
    test::FakeDeviceTree tree;
    test::PtyPair pty;
    platform::RecordingMessageSink sink;
    std::optional<platform::ScopedMessageSink> sinkScope;
};

TEST_F(UsbComRealPortTest, OpensTheOneMatchingConverter) {
    OneConverter();
    tree.AddUsbSerial("ttyUSB1", "FT232R USB UART");
    UsbComRealPort port(settings.path(), tree.root());
    EXPECT_EQ(port.Open(ChannelConfig{}), 1);
    EXPECT_EQ(port.IsHandleOpen(), 1);
    EXPECT_EQ(port.PortPath(), devices.path() / "ttyUSB0");
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.IsHandleOpen(), 0);
    EXPECT_TRUE(sink.Entries().empty());
}

TEST_F(UsbComRealPortTest, TwoMatchingConvertersGive105AndOpenNothing) {
    OneConverter();
    tree.AddUsbSerial("ttyUSB1", kCp2102);
    UsbComRealPort port(settings.path(), tree.root());
    EXPECT_EQ(port.Open(ChannelConfig{}), 105);
    EXPECT_EQ(port.IsHandleOpen(), 0);
    EXPECT_EQ(port.PortPath(), fs::path());
}

TEST_F(UsbComRealPortTest, WithoutAMatchTheConfiguredNameIsOpenedAsItStands) {
    tree.AddUsbSerial("ttyUSB0", "FT232R USB UART");
    LinkTty("COM7");
    test::WriteUsbComSettings(settings.path(), "COM7");
    UsbComRealPort port(settings.path(), tree.root());
    EXPECT_EQ(port.Open(ChannelConfig{}), 1);
    EXPECT_EQ(port.PortPath(), devices.path() / "COM7");

    // No key at all: COM1; and no device tree at all counts as no match.
    LinkTty("COM1");
    test::WriteFile(settings.path() / "Varnock.ini", "[CommunicationSettings]\n");
    UsbComRealPort fallback(settings.path(), tree.root() / "missing");
    port.Close();
    EXPECT_EQ(fallback.Open(ChannelConfig{}), 1);
    EXPECT_EQ(fallback.PortPath(), devices.path() / "COM1");
}

TEST_F(UsbComRealPortTest, OpenFailures) {
    // Settings file missing: message 109 and nothing opened.
    tree.AddUsbSerial("ttyUSB0", kCp2102);
    LinkTty("ttyUSB0");
    UsbComRealPort port(settings.path(), tree.root());
    EXPECT_EQ(port.Open(ChannelConfig{}), 0);
    ASSERT_EQ(sink.Numbers(), std::vector<int>{109});
    EXPECT_EQ(sink.Entries()[0].style, 0x10u);
    EXPECT_EQ(port.IsHandleOpen(), 0);

    // Held by another link: 104.
    test::WriteUsbComSettings(settings.path(), "CP2102");
    UsbComRealPort holder(settings.path(), tree.root());
    ASSERT_EQ(holder.Open(ChannelConfig{}), 1);
    EXPECT_EQ(port.Open(ChannelConfig{}), 104);
    EXPECT_EQ(port.OpenResult(), 104);
    holder.Close();
    EXPECT_EQ(port.Open(ChannelConfig{}), 1);

    // A name that leads nowhere: 0.
    test::WriteUsbComSettings(settings.path(), "COM9");
    EXPECT_EQ(port.Open(ChannelConfig{}), 0);
    EXPECT_EQ(port.IsHandleOpen(), 0);
    EXPECT_EQ(sink.Numbers().size(), 1u);
}

TEST_F(UsbComRealPortTest, ReadRepeatsUntilTheTimeoutRunsOut) {
    OneConverter(50);
    UsbComRealPort port(settings.path(), tree.root());
    ASSERT_EQ(port.Open(ChannelConfig{}), 1);

    CountingClock clock;
    platform::ScopedClock scoped(clock);
    ByteArray data{7};
    uint32_t received = 99;
    EXPECT_EQ(port.Read(data, 10, received, 120), 1);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(data, ByteArray{7});
    const int reads = clock.ticks.load() - 1;  // one look before the loop, one after each read
    EXPECT_GE(reads, 2);
    EXPECT_LE(reads, 3);

    // Pieces arriving apart are collected up to the count; a timeout of 0 still reads.
    pty.Write({1, 2});
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        pty.Write({3, 4});
    });
    EXPECT_EQ(port.Read(data, 3, received, 2000), 1);
    late.join();
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(port.Read(data, 1, received, 0), 1);
    EXPECT_EQ(data, (ByteArray{7, 1, 2, 3, 4}));
}

TEST_F(UsbComRealPortTest, WriteOnAClosedLinkReopensAfterThePause) {
    OneConverter(50);
    UsbComRealPort port(settings.path(), tree.root());
    ASSERT_EQ(port.Open(ChannelConfig{}), 1);
    port.Close();
    {
        platform::ManualClock clock;
        platform::ScopedClock scoped(clock);
        uint32_t sent = 0;
        EXPECT_EQ(port.Write(ByteArray{1, 2, 3, 4}, 3, sent, 0), 1);
        EXPECT_EQ(sent, 3u);
        EXPECT_EQ(clock.TotalSlept(), 4000u);
        EXPECT_EQ(port.IsHandleOpen(), 1);
    }
    EXPECT_EQ(pty.Read(3), (std::vector<uint8_t>{1, 2, 3}));

    // The reopened port keeps its short read time-out.
    auto start = std::chrono::steady_clock::now();
    ByteArray data;
    uint32_t received = 99;
    EXPECT_EQ(port.Read(data, 10, received, 120), 1);
    EXPECT_EQ(received, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(UsbComRealPortTest, FailedReconnectIsReportedAndRetried) {
    OneConverter(50);
    UsbComRealPort port(settings.path(), tree.root());
    ASSERT_EQ(port.Open(ChannelConfig{}), 1);
    port.Close();
    fs::remove(devices.path() / "ttyUSB0");

    platform::ManualClock clock;
    platform::ScopedClock scoped(clock);
    ByteArray data;
    uint32_t received = 0;
    EXPECT_EQ(port.Read(data, 4, received, 50), 0);
    EXPECT_EQ(port.IsHandleOpen(), 0);
    LinkTty("ttyUSB0");
    uint32_t sent = 0;
    EXPECT_EQ(port.Write(ByteArray{9}, 1, sent, 0), 1);
    EXPECT_EQ(clock.TotalSlept(), 8000u);
    EXPECT_EQ(pty.Read(1), std::vector<uint8_t>{9});
}

TEST_F(UsbComRealPortTest, NegativeMonitorTimeStillEndsReads) {
    OneConverter(-5);
    UsbComRealPort port(settings.path(), tree.root());
    ASSERT_EQ(port.Open(ChannelConfig{}), 1);
    auto start = std::chrono::steady_clock::now();
    ByteArray data;
    uint32_t received = 0;
    EXPECT_EQ(port.Read(data, 4, received, 50), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    for (uint8_t which : {1, 2, 3}) EXPECT_EQ(port.Purge(which), 1);
    for (uint8_t which : {0, 4}) EXPECT_EQ(port.Purge(which), 0);
}

}  // namespace
}  // namespace varnock
