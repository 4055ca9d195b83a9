// The virtual port over a recording driver and over the pseudo-terminal
// driver, and the driver's event sink.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

#include "platform/DeviceProbe.h"
#include "platform/LocalDatagram.h"
#include "platform/MessageLoop.h"
#include "tests/support/TestSupport.h"
#include "tests/vport/VportTestSupport.h"
#include "vport/DriverEventSink.h"
#include "vport/DriverVirtualPort.h"
#include "vport/PtyPortDriver.h"
#include "vport/VirtualPortFactory.h"

namespace varnock {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::HostPort;
using test::WaitFor;
using Calls = std::vector<std::string>;
using Blocks = std::vector<std::string>;

class RecordedPortTest : public ::testing::Test {
protected:
    test::RecordingDriver driver;
    ScopedDriverClass registered{driver};
};

TEST_F(RecordedPortTest, OpenMakesTheBindingCallsInOrder) {
    const Calls fallback{"PrepareBinding", "BindPort COM7", "BindPortFallback COM7", "FinishBinding 1"};
    const struct {
        VARIANT_BOOL bind, fallback;
        bool opened;
        Calls calls;
    } cases[] = {
        // Any value but 0 is true.
        {1, VARIANT_FALSE, true, {"PrepareBinding", "BindPort COM7", "FinishBinding 1"}},
        {VARIANT_FALSE, 1, true, fallback},
        {VARIANT_FALSE, VARIANT_FALSE, false, Calls(fallback.begin(), fallback.end() - 1)},
    };
    for (const auto& c : cases) {
        driver.bindResult = c.bind;
        driver.fallbackResult = c.fallback;
        DriverVirtualPort port;
        driver.calls.clear();
        EXPECT_EQ(port.Open("COM7"), c.opened);
        EXPECT_EQ(driver.calls, c.calls);
    }
    EXPECT_EQ(driver.refs, 0);
    // A failed call is a port out of service, never an error out of Open.
    driver.fallbackResult = VARIANT_TRUE;
    DriverVirtualPort port;
    for (const char* failing : {"PrepareBinding", "BindPort", "BindPortFallback", "FinishBinding"}) {
        driver.failCall = failing;
        EXPECT_FALSE(port.Open("COM7")) << failing;
        EXPECT_FALSE(port.TryBind("COM7")) << failing;
    }
}

TEST_F(RecordedPortTest, WritesErrorsAndDisconnect) {
    DriverVirtualPort port;
    driver.calls.clear();
    EXPECT_EQ(port.Write(ByteArray{1, 2, 3, 4, 5}), 5);
    EXPECT_EQ(driver.calls, Calls(5, "WriteBytes 1"));  // one call per byte
    EXPECT_EQ(driver.written, std::string("\1\2\3\4\5"));
    // A failing driver ends at the port: no value, no bytes, no exception.
    driver.failCall = "QueryBaudRate";
    EXPECT_EQ(port.GetBaudRate(), std::nullopt);
    driver.failCall = "WriteBytes";
    EXPECT_EQ(port.Write(ByteArray{1}), -1);
    // A refused Advise leaves a port without events; its sink is not leaked.
    driver.failCall = "Advise";
    EXPECT_FALSE(DriverVirtualPort().HasEventSink());
    driver.failCall.clear();

    EXPECT_TRUE(port.Disconnect());
    EXPECT_EQ(driver.calls.back(), "Unadvise 42");
    EXPECT_EQ(driver.refs, 0);
    driver.calls.clear();
    EXPECT_FALSE(port.Open("COM5"));
    EXPECT_EQ(port.Write(ByteArray{1, 2}), 0);
    EXPECT_TRUE(driver.calls.empty());  // no driver object, no call
}

class SinkTest : public RecordedPortTest {
protected:
    void SetUp() override {
        port.SetOwner(owner);
        ASSERT_NE(driver.sink, nullptr);
        driver.calls.clear();
    }
    HRESULT Raise(DISPID dispid, std::vector<Variant> args = {}) {
        return driver.sink->Invoke(dispid, DispParams{std::move(args)});
    }
    HRESULT DataArrived(int32_t count) { return Raise(kDispidDataArrived, {Variant::Int32(count)}); }

    DriverVirtualPort port;
    test::TestOwner owner;
};

TEST_F(SinkTest, DataArrivedQueuesWhatWasReadOnlyWhileConnected) {
    driver.readData = "0123456789";
    EXPECT_EQ(DataArrived(10), S_OK);
    DataArrived(10);  // the driver has nothing
    EXPECT_EQ(owner.Blocks(), Blocks{"0123456789"});
    owner.connected = false;
    driver.readData = "abc";
    DataArrived(3);
    EXPECT_TRUE(driver.readData.empty());  // drained all the same
    EXPECT_EQ(owner.Blocks().size(), 1u);
    // Counts beyond the buffer are never trusted.
    owner.connected = true;
    driver.readData = "abcdef";
    driver.readResult = 500;
    DataArrived(4);
    driver.readResult = -1;
    DataArrived(-7);
    Raise(kDispidDataArrived);  // no argument at all
    EXPECT_EQ(owner.Blocks(), (Blocks{"0123456789", "abcd"}));
    // A full queue leaves the bytes with the driver.
    owner.full = true;
    driver.readData = "held";
    DataArrived(4);
    EXPECT_EQ(driver.readData, "held");
    EXPECT_EQ(owner.Blocks().size(), 2u);
}

// The channel hands a settings change to the main thread and waits; the
// port must not wait for that event while blocking the main thread.
TEST(DriverVirtualPortOverPty, ReleasedWhileAnEventWaitsForTheMainThread) {
    struct SendingOwner : test::TestOwner {
        std::atomic<bool> waiting{false};
        void SyncCommParams() override {
            waiting = true;
            platform::MessageLoop::Main().Send([this] { return static_cast<intptr_t>(++syncs); });
        }
    } owner;
    test::ScopedDeviceDir dir;
    platform::MessageLoop::Main().BindToCurrentThread();
    auto port = VirtualPortFactory::Instance().Create(1);
    port->SetOwner(owner);
    ASSERT_TRUE(port->Open("COM7"));
    test::HostPort host(dir.path() / "COM7");
    ASSERT_EQ(host.SetLine(B19200, 0, 0), 0);
    ASSERT_TRUE(test::WaitFor([&] { return owner.waiting.load(); }));
    port.reset();
    EXPECT_EQ(owner.syncs, 1);
}

class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetOwner(owner);
        ASSERT_TRUE(port.Open("COM7"));
    }
    void Write(const std::string& bytes) {
        port.Write(ByteArray(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size())));
    }
    void WaitForOpen(int closed) {
        ASSERT_TRUE(WaitFor([&] { return owner.closed == closed; }));
    }

    test::ScopedDeviceDir dir;
    const fs::path link = dir.path() / "COM7";
    test::TestOwner owner;
    DriverVirtualPort port{DriverOptions{7, 2}};
};

TEST_F(PtyPortTest, HostDataIsAnnouncedOnceAndReadWithoutLoss) {
    HostPort host(link);
    WaitForOpen(0);
    ASSERT_TRUE(host.Write("0123456789"));
    ASSERT_TRUE(WaitFor([&] { return owner.Joined() == "0123456789"; }));
    EXPECT_EQ(owner.Blocks().size(), 1u);
    std::string bulk(20000, 'a');
    for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>('a' + i % 26);
    // The last bytes written just before the close are still announced and read.
    ASSERT_TRUE(host.Write(bulk + "bye"));
    host.Close();
    EXPECT_TRUE(WaitFor([&] { return owner.Joined() == "0123456789" + bulk + "bye"; }));
}

// Distinct bytes in a sequence that does not repeat soon.
std::string Pattern(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i * 7 + i / 251);
    return out;
}

// As on a serial device: what a session set stays for the next (stty, then
// a program), the same 7E1 request succeeds again although a pty drops its
// bits, an exclusive open ends with the close, and nothing else stays.
TEST_F(PtyPortTest, SessionsKeepTheirSettingsAndNothingElse) {
    std::optional<HostPort> host(link);  // raw, 9600
    WaitForOpen(0);
    ASSERT_EQ(::ioctl(host->Fd(), TIOCEXCL), 0);  // and never cleared
    host.reset();
    WaitForOpen(1);
    ASSERT_TRUE(WaitFor([&] { return owner.syncs == 1; }));
    for (int session = 0; session < 2; ++session) {
        const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        WaitForOpen(0);
        termios found{};
        int exclusive = -1;
        ::tcgetattr(fd, &found);
        ::ioctl(fd, TIOCGEXCL, &exclusive);
        EXPECT_EQ(exclusive, 0);
        EXPECT_FALSE(found.c_lflag & (ECHO | ICANON));
        EXPECT_EQ(::cfgetospeed(&found), B9600);
        ::cfmakeraw(&found);  // the same request each time
        found.c_cflag = (found.c_cflag & ~CSIZE) | CS7 | PARENB;
        EXPECT_EQ(::tcsetattr(fd, TCSANOW, &found), 0) << session;
        ::close(fd);
        WaitForOpen(1);
    }
    host.emplace(link);
    WaitForOpen(0);
    // Closed in the middle of a long reply, also one written on after the close.
    std::thread replying([&] { Write(Pattern(2 * PtyPortDriver::kOutputCap)); });
    EXPECT_GE(host->Read(10000).size(), 10000u);
    host.reset();
    WaitForOpen(1);
    replying.join();
    host.emplace(link);
    WaitForOpen(0);
    EXPECT_EQ(host->Read(1, 100), "");  // the last session's bytes are not for this one
    Write("fresh");
    EXPECT_EQ(host->Read(5), "fresh");
    host.reset();
    EXPECT_EQ(owner.syncs, 1);  // nothing changed for the PLC
    // Opened again at once, a program's first non-blocking write is taken.
    int refused = 0;
    for (int i = 0; i < 1000; ++i) {
        const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        refused += ::write(fd, "x", 1) != 1;
        ::close(fd);
    }
    EXPECT_EQ(refused, 0);
    auto start = std::chrono::steady_clock::now();
    port.Disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// Each thread of the process, by id, with its voluntary context switches.
std::map<std::string, long> Threads() {
    std::map<std::string, long> threads;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                threads[task.path().filename().string()] = std::stol(line.substr(24));
    }
    return threads;
}

// Ports in service share one thread, hold three descriptors each (pty, lock,
// host socket) beside the thread's three, and sleep while nothing happens:
// not at all while closed, on the shared cycle's ticks while a host has one
// open. The thread and its descriptors go with the last port.
TEST(PtyPortsInService, ShareOneThreadAndSleepWhileIdle) {
    // Other programs of this user may hold every inotify instance it may have.
    const int probe = ::inotify_init1(IN_CLOEXEC);
    if (probe < 0) GTEST_SKIP() << "no inotify instance left";
    ::close(probe);
    test::ScopedDeviceDir dir;
    const auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    // A sanitizer's runtime adds a thread of its own with the first one made.
    std::thread([] {}).join();
    const auto threads = Threads();
    const auto fds = descriptors();
    {
        std::vector<std::unique_ptr<VirtualPort>> ports;
        for (const char* name : {"COM1", "COM2", "COM3", "COM4"}) {
            ports.push_back(VirtualPortFactory::Instance().Create(1));
            ASSERT_TRUE(ports.back()->Open(name));
        }
        EXPECT_EQ(descriptors() - fds, 3 + 4 * 3);
        std::map<std::string, long> ours = Threads();
        for (const auto& [id, count] : threads) ours.erase(id);
        ASSERT_EQ(ours.size(), 1u);
        const std::string waiter = ours.begin()->first;
        auto wakes = [&](auto period) {
            const long before = Threads()[waiter];
            std::this_thread::sleep_for(period);
            return Threads()[waiter] - before;
        };
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(wakes(300ms), 0);
        HostPort host(dir.path() / "COM2"), other(dir.path() / "COM3");
        std::this_thread::sleep_for(100ms);
        EXPECT_LE(wakes(500ms), 500 / PtyPortWaiter::kTickMs + 2);
    }
    EXPECT_EQ(Threads().size(), threads.size());
    EXPECT_EQ(descriptors(), fds);
}

// Only a privileged process gets past an exclusive open that its holder,
// killed, never ended: as an ordinary user, a new pty takes over the name.
TEST(PtyPortAsUser, AnExclusiveOpenEndsWithItsHoldersClose) {
    test::TempDir dir;
    ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
    const fs::path link = dir.path() / "COM7";
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        ::setenv("VARNOCK_DEVICE_DIR", dir.path().c_str(), 1);
        auto& loop = platform::MessageLoop::Main();
        loop.BindToCurrentThread();
        test::TestOwner owner;
        DriverVirtualPort port;
        port.SetOwner(owner);
        int fd = port.Open("COM7") ? ::open(link.c_str(), O_RDWR | O_NOCTTY) : -1;
        if (fd < 0 || ::ioctl(fd, TIOCEXCL) != 0 || ::close(fd) != 0) ::_exit(3);
        const bool opened = loop.PumpUntil(
            [&] { return (fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) >= 0; }, 5s);
        ::_exit(opened ? (port.Write(ByteArray{1}) == 1 ? 0 : 4) : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
}

TEST_F(PtyPortTest, LineSettingsComeFromTheHostLibraryElseFromThePtyAndTheConfiguredValues) {
    HostPort host(link);
    ASSERT_TRUE(WaitFor([&] { return owner.syncs == 1; }));
    ASSERT_EQ(host.SetLine(B19200, CSTOPB, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return owner.syncs == 2; }));
    EXPECT_EQ(port.GetBaudRate(), 19200);
    EXPECT_EQ(port.GetStopBits(), 2);
    EXPECT_EQ(port.GetByteSize(), 7);  // a pty always shows 8 bits
    EXPECT_EQ(port.GetParity(), 2);    // even and none look alike
    ASSERT_EQ(host.SetLine(B19200, PARENB | PARODD, 0), 0);
    ASSERT_TRUE(WaitFor([&] { return owner.syncs == 3; }));
    EXPECT_EQ(port.GetParity(), 1);

    // What varnock-host's library says (the baud rate as the pty shows it);
    // anything else on the socket is dropped.
    const uint32_t pts = static_cast<uint32_t>(std::stoul(fs::read_symlink(link).filename().string()));
    hostline::LineMessage m{"COM7", pts, 19200, 6, 4, 2};
    auto encode = [](const hostline::LineMessage& message) {
        std::vector<uint8_t> bytes(hostline::kMessageSize);
        EXPECT_TRUE(hostline::EncodeLineMessage(message, bytes.data()));
        return bytes;
    };
    const fs::path socket = dir.path() / ".COM7.host";
    auto send = [&](const std::vector<uint8_t>& bytes) {
        return platform::SendLocalDatagram(socket, bytes.data(), bytes.size());
    };
    ASSERT_TRUE(WaitFor([&] { return send(encode(m)); }));
    ASSERT_TRUE(WaitFor([&] { return owner.syncs == 4; }));
    EXPECT_EQ(port.GetByteSize(), 6);
    EXPECT_EQ(port.GetParity(), 4);
    // For another pts or name, or malformed: dropped.
    m.dataBits = 5;
    auto otherPts = encode(m), otherName = otherPts, longer = otherPts;
    otherPts[12] ^= 1;
    otherName[20] = 'X';
    longer.push_back(0);
    for (const auto& hostile :
         {otherPts, otherName, longer, std::vector<uint8_t>(5000, 0xFF), std::vector<uint8_t>{}})
        send(hostile);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(port.GetByteSize(), 6);
    EXPECT_EQ(owner.syncs, 4);

    // They hold after the close. A message while nobody has the port open
    // counts for nobody; a program without the library that sets its own
    // gets the configured values.
    host.Close();
    WaitForOpen(1);
    EXPECT_EQ(port.GetByteSize(), 6);
    ASSERT_TRUE(send(encode({"COM7", pts, 9600, 5, 0, 0})));
    std::this_thread::sleep_for(100ms);
    HostPort next(link);
    EXPECT_TRUE(WaitFor([&] { return port.GetByteSize() == 7 && port.GetBaudRate() == 9600; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(port.GetByteSize(), 7);
}

// Replies beyond the port's queue reach the host whole and in order: from a
// loop message or another thread, to a fast or a slow reader.
struct Delivery {
    const char* name;
    bool inLoopMessage;
    int readPauseMs;  // after each read of up to 4 KiB
};

class PtyDeliveryTest : public PtyPortTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(PtyDeliveryTest, ArrivesWholeAndInOrder) {
    HostPort host(link);
    WaitForOpen(0);
    const std::string reply = Pattern(PtyPortDriver::kOutputCap + 100000);
    std::string got;
    std::thread reader([&] {
        for (std::string piece = "-"; got.size() < reply.size() && !piece.empty(); got += piece) {
            piece = host.Read(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(GetParam().readPauseMs));
        }
    });
    if (GetParam().inLoopMessage) {
        auto& loop = platform::MessageLoop::Main();
        loop.Post([&] { Write(reply); });
        loop.Pump();
    } else {
        Write(reply);
    }
    reader.join();
    EXPECT_EQ(got.size(), reply.size());
    EXPECT_TRUE(got == reply);
}

INSTANTIATE_TEST_SUITE_P(HostReads, PtyDeliveryTest,
                         ::testing::Values(Delivery{"InLoopMessageFast", true, 0},
                                           Delivery{"InLoopMessageSlowly", true, 2},
                                           Delivery{"FromThreadSlowly", false, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A host that stops reading: the reply is cut after one bounded wait, not one
// per byte; its head and the next reply come in order.
TEST_F(PtyPortTest, AHostThatDoesNotReadGetsTheHeadOfTheReplyAfterABoundedWait) {
    HostPort host(link);
    WaitForOpen(0);
    const std::string reply = Pattern(3 * PtyPortDriver::kOutputCap);
    const auto start = std::chrono::steady_clock::now();
    Write(reply);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    const std::string got = host.Read(reply.size(), 300);
    EXPECT_GE(got.size(), static_cast<size_t>(PtyPortDriver::kOutputCap));
    EXPECT_LT(got.size(), reply.size());
    EXPECT_TRUE(reply.compare(0, got.size(), got) == 0);
    Write("fresh");
    EXPECT_EQ(host.Read(5), "fresh");
}

// A host that reads, but slowly, holds the main thread's message that writes a
// frame for a bounded time in all, not for a wait per byte it takes.
TEST_F(PtyPortTest, ASlowHostHoldsTheMainThreadABoundedTimePerFrame) {
    HostPort host(link);
    WaitForOpen(0);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        // Room well within each wait, about 200 KB/s.
        while (!done) {
            host.Read(4096, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    });
    auto& loop = platform::MessageLoop::Main();
    // The queue full, and the pty's own buffer behind it.
    loop.Post([&] { Write(Pattern(PtyPortDriver::kOutputCap + 80000)); });
    loop.Pump();
    std::chrono::steady_clock::duration held{};
    loop.Post([&] {
        const auto start = std::chrono::steady_clock::now();
        Write(Pattern(400000));
        held = std::chrono::steady_clock::now() - start;
    });
    loop.Pump();
    done = true;
    reader.join();
#ifndef VARNOCK_SANITIZED
    EXPECT_LT(held, 500ms);  // the waits' 200 ms and the calls per byte
#endif
}

// A stale link of ours (lock file free) is taken over and goes at start-up; a
// live binding, a user's link or a file is never touched.
TEST_F(PtyPortTest, OnlyStaleLinksOfOursAreTakenOverOrRemoved) {
    struct stat st {};
    for (const fs::path& file : {link, dir.path() / ".COM7.host"}) {
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
    const fs::path devices = dir.path();
    for (const char* name : {"COM9", "COM6"}) {
        fs::create_symlink("/dev/pts/999999", devices / name);
        test::WriteFile(devices / ("." + std::string(name) + ".lock"), "");
    }
    test::WriteFile(devices / ".COM9.host", "a user's file");  // where our socket would go
    fs::create_symlink("/dev/pts/999998", devices / "COM4");
    test::WriteFile(devices / "COM3", "a user's file");
    test::WriteFile(devices / ".COM3.lock", "");  // ours, beside it
    test::WriteFile(devices / ".COM8.lock", "");  // ours, without its link
    for (const char* present : {"COM7", "COM4", "COM3"}) EXPECT_TRUE(platform::DeviceNameExists(present));
    EXPECT_FALSE(platform::DeviceNameExists("COM9"));

    PtyPortDriver* other = new PtyPortDriver(DriverOptions{});
    auto bind = [&](bool fallback, const std::string& name) {
        VARIANT_BOOL ok = VARIANT_TRUE;
        EXPECT_EQ(fallback ? other->BindPortFallback(name, &ok) : other->BindPort(name, &ok), S_OK);
        return ok != VARIANT_FALSE;
    };
    for (const char* taken : {"COM7", "COM3", "COM4"})
        EXPECT_FALSE(bind(false, taken) || bind(true, taken)) << taken;
    for (const char* bad : {"../COM1", "a/b", ".COM7.lock"}) EXPECT_FALSE(bind(false, bad)) << bad;
    EXPECT_FALSE(bind(true, "COM8"));  // nothing to take over
    EXPECT_TRUE(bind(true, "COM9"));
    // A dead process's socket beside its stale link goes with it.
    int dead = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", (devices / ".COM6.host").c_str());
    ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(dead);

    EXPECT_EQ(platform::RemoveStaleDeviceLinks(devices), 1);
    EXPECT_EQ(test::DirectoryNames(devices),
              (std::set<std::string>{"COM7", ".COM7.lock", ".COM7.host", "COM9", ".COM9.lock", ".COM9.host",
                                     "COM4", "COM3"}));
    EXPECT_EQ(test::ReadFile(devices / ".COM9.host"), "a user's file");
    EXPECT_EQ(fs::read_symlink(devices / "COM4"), "/dev/pts/999998");
    port.Disconnect();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)) || fs::exists(dir.path() / ".COM7.host"));
    other->Release();
    EXPECT_EQ(test::DirectoryNames(devices), (std::set<std::string>{"COM4", "COM3", ".COM9.host"}));
}

}  // namespace
}  // namespace varnock
