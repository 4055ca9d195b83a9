// The programs as processes, each in its own folder, device directory and simulated PLCs.
#include <fcntl.h>
#include <grp.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <deque>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Application.h"
#include "app/HeadlessRunner.h"
#include "common/Messages.h"
#include "links/FrameCodec.h"
#include "platform/Clock.h"
#include "platform/LocalDatagram.h"
#include "platform/MessageBox.h"
#include "platform/SingleInstance.h"
#include "tests/support/HostPort.h"
#include "tests/support/SimulatedPlc.h"
#include "tests/support/TestSupport.h"
#include "tools/plcsim/PlcSimulator.h"

namespace varnock {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plcsim::RequestKind;
using test::ReadFile;
using test::WaitFor;
using ::testing::HasSubstr;
using Lines = std::vector<std::string>;
using SteadyClock = std::chrono::steady_clock;

std::string Box(int number) {
    return "[" + std::to_string(number) + "] ";
}

class ProgramTest : public ::testing::Test {
protected:
    void Install(const char* program) {
        for (const char* name : {program, "libvarnock_res_en.so"})
            fs::copy_file(fs::path(VARNOCK_TEST_RESOURCE_DIR) / name, dir / name);
        for (const char* name : {"Varnock.ini", "Varnock_setting.ini"})
            fs::copy_file(fs::path(VARNOCK_TEST_SAMPLE_DIR) / name, dir / name);
        m_program = (dir / program).string();
    }
    // Lower-case "manual" is read as Manual and saved in its own spelling, which shows the file was written.
    void Rows(const std::string& matrix, const std::string& mode = "manual") {
        test::WriteFile(dir / "Varnock_setting.ini", "[Application]\nPortAssignMode=" + mode +
                                                         "\n[VirtualCOMAllocationMatrix]\n" + matrix);
    }
    // With `isolate`, the program runs after that shell command in a mount namespace of its own.
    Lines Command(const Lines& options = {}, const std::string& isolate = "") const {
        if (!isolate.empty())
            return {"/usr/bin/unshare", ::geteuid() == 0 ? "-m" : "-rm", "/bin/sh", "-c",
                    isolate + " && exec " + m_program};
        Lines argv{m_program};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    }
    plcsim::PlcSimulator& Plc(const std::string& link) { return test::StartPlc(plcs, link, devices.path()); }
    // varnockd with one channel to a PLC at `link`, which listens unless told.
    void Setup(const std::string& link, bool listen = true, const std::string& items = "1") {
        Install("varnockd");
        Rows("items=" + items + "\n1=COM5," + (link == "COM3" ? "COM3,SERIAL2" : "Ethernet," + link) +
             ",,No\n");
        if (listen) Plc(link);
    }
    std::string Out(const std::string& name = "out") const { return ReadFile(dir / name); }
    bool OutHas(const std::string& text) const { return Out().find(text) != std::string::npos; }
    // Ends `child` with `sig`: exit 0 within 2 s.
    void Stop(test::ChildProcess& child, int sig = SIGTERM) {
        const auto stopped = SteadyClock::now();
        child.Signal(sig);
        EXPECT_EQ(child.Wait(10s), 0) << Out();
        EXPECT_LT(SteadyClock::now() - stopped, 2s);
    }
    // The channel lines after the start lines.
    Lines Reports() const {
        Lines lines;
        std::string line;
        for (std::istringstream in(Out()); std::getline(in, line);)
            if (line.find(", link ") == std::string::npos) lines.push_back(line);
        return lines;
    }
    void ExpectDevicesLeftClean(const std::string& what = "") const {
        for (const auto& entry : fs::directory_iterator(devices.path()))
            EXPECT_EQ(entry.path().filename(), "OnlyOneInstanceMutex") << what;
    }

    test::TempDir dir;
    test::ScopedDeviceDir devices;  // inherited by the children
    test::Plcs plcs;
    std::string m_program;
};

using ApplicationTest = ProgramTest;
using HeadlessRunnerTest = ProgramTest;
using DaemonTest = ProgramTest;

// On the sample settings: exit 0, nothing shown, the settings saved as they were.
TEST_F(ApplicationTest, ProgramAsAProcess) {
    Install("varnock");
    const std::string stored = Out("Varnock_setting.ini");
    auto run = [&](const Lines& args, const Lines& env = {}) {
        return test::ChildProcess(Command(args), dir / "out", dir / "out", env).Wait();
    };
    EXPECT_EQ(run({"--help", "-x", "file.txt"}), 0);
    // Arguments ignored, no message box; the desktop build notes the missing display, nothing else.
    EXPECT_TRUE(Out().empty() || Out().rfind("varnock: no display", 0) == 0) << Out();
    EXPECT_EQ(Out("Varnock_setting.ini"), stored);

#ifdef VARNOCK_TEST_DESKTOP
    // A display that cannot be opened is said, not a crash.
    EXPECT_EQ(run({}, {"DISPLAY=:4242"}), 1);
    EXPECT_NE(Out().find("varnock: the display cannot be used: "), std::string::npos) << Out();
#endif
    // A second copy ends silently, before an empty Varnock.ini, the display or Qt's options; asks to raise.
    platform::SingleInstanceGuard first;
    ASSERT_EQ(first.Acquire(devices.path()), platform::SingleInstanceGuard::Result::Acquired);
    std::unique_ptr<platform::LocalDatagramSocket> raise;
    ASSERT_EQ(platform::LocalDatagramSocket::Bind(devices.path() / Application::kRaiseSocketName, raise),
              platform::Error::None);
    test::WriteFile(dir / "Varnock.ini", "");
    EXPECT_EQ(run({"-platform", "bogus"}, {"DISPLAY=:4242"}), 0);
    EXPECT_EQ(Out(), "");
#ifdef VARNOCK_TEST_DESKTOP
    uint8_t request[16];
    EXPECT_EQ(raise->Receive(request, sizeof request), 5);
#endif
    // varnockd says which copy holds the device directory, and fails.
    fs::copy_file(fs::path(VARNOCK_TEST_RESOURCE_DIR) / "varnockd", dir / "varnockd");
    EXPECT_EQ(test::ChildProcess({(dir / "varnockd").string()}, dir / "out", dir / "out").Wait(),
              Application::kExitAnotherCopy);
    EXPECT_THAT(Out(), HasSubstr("varnockd: test_app (process " + std::to_string(::getpid()) +
                                 ") already bridges the device directory " + devices.path().string()));
}

#ifdef VARNOCK_TEST_DESKTOP
// SIGHUP (as SIGINT, SIGTERM) during a start-up box: box ends, channels go, settings saved.
TEST_F(ApplicationTest, StopSignalEndsTheOpenBoxAndTheProgram) {
    Install("varnock");
    Plc("127.0.0.85");
    // Channel 2's serial port does not exist: its message box is open when the signal comes.
    Rows("items=2\n1=COM5,Ethernet,127.0.0.85,,No\n2=COM6,COM3,SERIAL2,,No\n");
    // Qt's own options must not act (an unknown platform would end it).
    test::ChildProcess program(Command({"-platform", "bogus", "-reverse"}), dir / "out", dir / "out",
                               {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(WaitFor([&] { return fs::is_symlink(devices.path() / "COM5"); }, 10s)) << Out();
    std::this_thread::sleep_for(200ms);  // channel 2's box opens
    Stop(program, SIGHUP);
    ExpectDevicesLeftClean();
    EXPECT_NE(Out("Varnock_setting.ini").find("PortAssignMode=Manual\n"), std::string::npos);
}
#endif

// A trace line's text after its time stamp: bytes in hex, cut after 64 with " ...".
std::string Traced(const std::string& what, const std::vector<uint8_t>& bytes) {
    std::string text = what + " len " + std::to_string(bytes.size()) + ":";
    char hex[4];
    for (size_t i = 0; i < std::min<size_t>(bytes.size(), 64); ++i)
        text += (std::snprintf(hex, sizeof hex, " %02X", bytes[i]), hex);
    return bytes.size() > 64 ? text + " ..." : text;
}

class HeadlessTraceTest : public ProgramTest, public ::testing::WithParamInterface<const char*> {};

// A huge count bounds only the row held; SIGHUP ends as SIGTERM; the trace shows each frame and host byte.
TEST_P(HeadlessTraceTest, BridgesARequestTracesItAndSaysGoodbyeOnSighup) {
    const std::string link = GetParam();
    const bool serial = link == "COM3";
    ASSERT_NO_FATAL_FAILURE(Setup(link, true, "2147483647"));
    plcsim::PlcSimulator& plc = *plcs[0];
    test::ChildProcess daemon(Command({"--trace", (dir / "trace").string()}), dir / "out", dir / "err");
    ASSERT_TRUE(WaitFor([&] { return OutHas("COM5 connected"); }, 10s)) << Out() << Out("err");
    EXPECT_TRUE(
        OutHas("channel 1: COM5 at " + (devices.path() / "COM5").string() + ", link " +
               (serial ? "serial COM3 (" + (devices.path() / "COM3").string() + ")" : "Ethernet " + link) +
               ", not connected\n"))
        << Out();

    const std::string request(248, '\x10');  // 272 = 0x0110 bytes framed; more than the trace shows
    test::HostPort host(devices.path() / "COM5");
    ASSERT_TRUE(host.Write(request));
    EXPECT_EQ(host.Read(248, 5000), request);
    host.Close();
    ASSERT_TRUE(WaitFor([&] { return Reports().size() == 3; })) << Out();
    EXPECT_TRUE(plc.RequestsOf(RequestKind::Disconnect).empty());

    Stop(daemon, SIGHUP);
    EXPECT_EQ(Reports(), (Lines{"channel 1: COM5 connected", "channel 1: COM5 connected, host port open",
                                "channel 1: COM5 connected", "channel 1: COM5 not connected"}));
    EXPECT_EQ(Out("err"), "");
    EXPECT_THAT(Out("Varnock_setting.ini"), HasSubstr("PortAssignMode=Manual\n"));
    EXPECT_THAT(Out("Varnock_setting.ini"),
                HasSubstr(serial ? "1=COM5,COM3,SERIAL2,,No\n" : "1=COM5,Ethernet," + link));
    // The virtual port is gone with the process.
    EXPECT_FALSE(fs::exists(fs::symlink_status(devices.path() / "COM5")));

    const ByteArray bytes(std::vector<uint8_t>(request.begin(), request.end()));
    Lines expected;
    for (const plcsim::Request& r : plc.Requests()) {
        const bool passThrough = r.kind == RequestKind::PassThrough;
        ByteArray answer = passThrough ? ByteArray(plc::kReplyPrefix, plc::kPrefixSize)
                           : r.kind == RequestKind::SerialParameters
                               ? ByteArray{plc::kSerialParametersCode, 0x00}  // taken
                               : ByteArray{0, 0, 0, 0, 0, 0, uint8_t(r.kind == RequestKind::Connect ? 1 : 2)};
        if (passThrough) answer.Append(bytes);
        if (passThrough) expected.push_back(Traced("host pass-through seq -", bytes.bytes()));
        // Replies as taken apart from the stream: framed, but not stuffed.
        auto reply = plcsim::BuildReplyFrame(r.sequence, r.headerByte1, r.headerByte2, answer, false).bytes();
        const uint16_t crc = FrameCrc(reply.data(), static_cast<int>(reply.size()));
        if (serial) reply.insert(reply.begin(), {plc::DLE, plc::STX});
        if (serial) reply.insert(reply.end(), {plc::DLE, plc::ETX, uint8_t(crc >> 8), uint8_t(crc)});
        const std::string seq = " seq " + std::to_string(r.sequence);
        expected.push_back(Traced(std::string("to-plc ") + (passThrough ? "pass-through" : "command") + seq,
                                  r.wire.bytes()));
        expected.push_back(Traced("from-plc reply" + seq, reply));
    }
    Lines traced;
    // "2025-06-02 10:15:31.488 COM5 ...": the time's digits where they belong.
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} COM5 (.*))");
    std::smatch m;
    std::string line;
    for (std::istringstream in(Out("trace")); std::getline(in, line);)
        traced.push_back(std::regex_match(line, m, stamped) ? m[1].str() : "unstamped: " + line);
    EXPECT_EQ(plc.Requests().size(), 4u);
    EXPECT_EQ(traced, expected);
}
INSTANTIATE_TEST_SUITE_P(Links, HeadlessTraceTest, ::testing::Values("127.0.0.81", "COM3"));

TEST_F(HeadlessRunnerTest, BadStartEndsAtOnceWithItsReason) {
    Setup("127.0.0.83", false);
    const std::string devs = devices.path().string();
    // A FIFO for a settings file, no /proc (no program directory), a read-only device directory (no lock).
    const struct {
        const char* fifo;  // the settings file a FIFO stands in for
        std::string isolate, said;
    } cases[] = {
        {"Varnock.ini", "", Box(kMsgVarnockIniMissing) + "The settings file Varnock.ini"},
        {"Varnock_setting.ini", "", Box(kMsgSettingIniMissing) + "The settings file Varnock_setting.ini"},
        {nullptr, "cd " + dir.path().string() + " && mount -t tmpfs none /proc",
         Box(kMsgVarnockIniMissing) + "The settings file Varnock.ini"},
        {nullptr, "mount --bind " + devs + " " + devs + " && mount -o remount,ro,bind " + devs + " " + devs,
         "varnock: cannot create the lock file " + devs + "/OnlyOneInstanceMutex: Read-only file system\n"},
    };
    for (const auto& c : cases) {
        const std::string what = c.said + c.isolate;
        const std::string stored = Out("Varnock_setting.ini");
        if (c.fifo) {
            fs::rename(dir / c.fifo, dir / "kept");
            ::mkfifo((dir / c.fifo).c_str(), 0600);
        }
        // A start that waits for ever is killed after 5 s.
        EXPECT_EQ(test::ChildProcess(Command({}, c.isolate), dir / "out", dir / "err").Wait(5s), 1) << what;
        std::string err, line;  // without a sanitizer's own notes (no /proc)
        for (std::istringstream lines(Out("err")); std::getline(lines, line);)
            if (line.rfind("==", 0) != 0) err += line + "\n";
        EXPECT_EQ(err.rfind(c.said, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(Out(), "") << what;
        // Nothing is written.
        ExpectDevicesLeftClean(what);
        if (c.fifo) {
            EXPECT_TRUE(fs::is_fifo(dir / c.fifo)) << what;
            fs::rename(dir / "kept", dir / c.fifo);
        }
        EXPECT_EQ(Out("Varnock_setting.ini"), stored) << what;
    }
}

// In-process, for a sped-up clock: with a reconnect, the lost channel is connected again.
TEST_F(HeadlessRunnerTest, LostEthernetLinkIsReportedAndConnectedAgain) {
    platform::ScaledClock clock(40, 1000);
    platform::ScopedClock scopedClock(clock);
    platform::RecordingMessageSink messages;
    platform::ScopedMessageSink sink(messages);
    ASSERT_NO_FATAL_FAILURE(Setup("127.0.0.84"));
    plcsim::PlcSimulator& plc = *plcs[0];
    plc.SetFault(RequestKind::Probe, plcsim::Fault::NoAnswer, 4);

    std::atomic<bool> stop{false};
    std::FILE* out = std::fopen((dir / "out").c_str(), "w");
    ASSERT_NE(out, nullptr);
    HeadlessRunner runner(stop, out, {.reconnectMs = 5000, .tracePath = ""});
    std::thread stopper([&] {
        WaitFor([&] { return Reports().size() == 4; }, 30s);
        stop = true;
    });
    Application app(dir.path());
    app.SetRunPhase([&](SettingsManager& s) { runner.Run(s); });
    EXPECT_EQ(app.InitInstance(), 0);
    stopper.join();
    std::fclose(out);

    EXPECT_EQ(Reports(), (Lines{"channel 1: COM5 connected", "channel 1: COM5 link lost",
                                "channel 1: COM5 reconnecting, try 1", "channel 1: COM5 connected",
                                "channel 1: COM5 not connected"}));
    EXPECT_EQ(messages.Numbers(), std::vector<int>{kMsgLinkLost});
    EXPECT_EQ(plc.RequestsOf(RequestKind::Connect).size(), 2u);
    // Only the goodbye at the end: a lost link gets none.
    EXPECT_EQ(plc.RequestsOf(RequestKind::Disconnect).size(), 1u);
    plc.Stop();  // before the clock goes
}

// A refused connect is tried after 1, then 2 s, the other channel connected; bad interval and trace said.
TEST_F(HeadlessRunnerTest, ReconnectsARefusedChannelWhileTheOtherGoesOn) {
    Install("varnockd");
    EXPECT_EQ(test::ChildProcess(Command({"--reconnect", "0"}), dir / "out", dir / "err").Wait(), 2);
    EXPECT_NE(Out("err").find("--reconnect needs a number of seconds"), std::string::npos) << Out("err");
    Rows("items=2\n1=COM5,Ethernet,127.0.0.162,,No\n2=COM6,Ethernet,127.0.0.163,,No\n", "Manual");
    Plc("127.0.0.162").SetFault(RequestKind::Connect, plcsim::Fault::WrongBytes, 2);
    Plc("127.0.0.163");

    test::ChildProcess daemon(Command({"--reconnect=1", "--trace", "/dev/full"}), dir / "out", dir / "err");
    ASSERT_TRUE(WaitFor([&] { return OutHas("COM6 connected"); }, 10s)) << Out() << Out("err");
    // When each report of the refused channel was first seen.
    std::vector<SteadyClock::time_point> seen;
    auto refused = [&] {
        Lines lines;
        for (const std::string& line : Reports())
            if (line.find("COM5") != std::string::npos) lines.push_back(line);
        while (seen.size() < lines.size()) seen.push_back(SteadyClock::now());
        return lines;
    };
    WaitFor([&] { return refused().size() >= 5; }, 15s);
    ASSERT_EQ(refused(), (Lines{"channel 1: COM5 connect failed", "channel 1: COM5 reconnecting, try 1",
                                "channel 1: COM5 connect failed", "channel 1: COM5 reconnecting, try 2",
                                "channel 1: COM5 connected"}))
        << Out() << Out("err");
    // Each wait at least its interval (less watching lag), the second longer than the first could be.
    const auto waited1 = seen[1] - seen[0], waited2 = seen[3] - seen[2];
    EXPECT_GT(waited1, 850ms);
    EXPECT_LT(waited1, 1800ms);
    EXPECT_GT(waited2, 1850ms);
    EXPECT_LT(waited2, 3500ms);
    EXPECT_EQ(plcs[0]->RequestsOf(RequestKind::Connect).size(), 3u);
    const std::string err = Out("err");
    const auto said = err.find("cannot write the trace file /dev/full: No space left on device");
    EXPECT_TRUE(said != std::string::npos && said == err.rfind("cannot write the trace file")) << err;
    Stop(daemon);
    for (auto& plc : plcs) EXPECT_EQ(plc->RequestsOf(RequestKind::Disconnect).size(), 1u);
}

// Connect attempts a network drops are retried; the other channel's round trips stay near quiet time.
TEST_F(HeadlessRunnerTest, UnansweredConnectAttemptsHoldNoOtherChannel) {
    Install("varnockd");
    test::DroppingListener dropping("127.0.0.164");
    ASSERT_TRUE(dropping.ok);
    Rows("items=2\n1=COM5,Ethernet,127.0.0.164,,No\n2=COM6,Ethernet,127.0.0.165,,No\n", "Manual");
    Plc("127.0.0.165");
    test::ChildProcess daemon(Command({"--reconnect", "1"}), dir / "out", dir / "err");
    ASSERT_TRUE(WaitFor([&] { return OutHas("COM6 connected"); }, 15s)) << Out() << Out("err");
    test::HostPort host(devices.path() / "COM6");
    std::vector<SteadyClock::duration> trips;
    // Until the second try has had its whole time to connect.
    std::optional<SteadyClock::time_point> secondTry;
    while (!secondTry || SteadyClock::now() - *secondTry < 3500ms) {
        const auto start = SteadyClock::now();
        ASSERT_TRUE(host.Write("ping"));
        ASSERT_EQ(host.Read(4, 5000), "ping");
        trips.push_back(SteadyClock::now() - start);
        if (!secondTry && OutHas("COM5 reconnecting, try 2")) secondTry = SteadyClock::now();
    }
    std::sort(trips.begin(), trips.end());
    EXPECT_LT(trips.back(), trips.front() + 250ms);
    Stop(daemon);
}

// At SIGTERM every PLC gets its disconnect command, frame for frame as one channel alone sends it, also the
// one whose reply phase is under way; the channels let go side by side, so many stop as soon as one.
TEST_F(HeadlessRunnerTest, EveryPlcGetsItsDisconnectCommandAtTheStop) {
    Install("varnockd");
    constexpr int kChannels = 12;
    std::string matrix = "items=" + std::to_string(kChannels) + "\n";
    for (int i = 1; i <= kChannels; ++i) {
        matrix += std::to_string(i) + "=COM" + std::to_string(i) + ",Ethernet,127.0.6." + std::to_string(i) +
                  ",,No\n";
        Plc("127.0.6." + std::to_string(i));
    }
    Rows(matrix, "Manual");
    test::ChildProcess daemon(Command(), dir / "out", dir / "err");
    ASSERT_TRUE(WaitFor([&] { return Reports().size() == kChannels; }, 15s)) << Out() << Out("err");
    test::HostPort host(devices.path() / "COM1");
    ASSERT_TRUE(host.Write("ping"));
    ASSERT_EQ(host.Read(4, 5000), "ping");
    Stop(daemon);
    for (auto& plc : plcs) {  // the simulator takes only a well-framed command for one
        ASSERT_FALSE(plc->Requests().empty());
        EXPECT_EQ(plc->Requests().back().kind, RequestKind::Disconnect);
        EXPECT_EQ(plc->RequestsOf(RequestKind::Disconnect).size(), 1u);
    }
    EXPECT_EQ(Out("err"), "");
}

// 40 channels: a soft descriptor limit below is raised; a hard one said once, no port made that can't answer.
TEST_F(HeadlessRunnerTest, TheDescriptorLimitIsRaisedOrSaidOnce) {
    Install("varnockd");
    std::string matrix = "items=40\n";
    for (int i = 1; i <= 40; ++i)
        matrix += std::to_string(i) + "=COM" + std::to_string(i) + ",Ethernet,127.0.0.166,,No\n";
    for (const bool hard : {false, true}) {
        SCOPED_TRACE(hard ? "hard limit" : "soft limit");
        Rows(matrix, "Manual");
        test::ChildProcess daemon(
            {"/bin/sh", "-c", std::string(hard ? "ulimit -n 64" : "ulimit -Sn 64") + " && exec " + m_program},
            dir / "out", dir / "err");
        ASSERT_TRUE(WaitFor([&] { return OutHas("COM1 connect failed"); }, 10s)) << Out() << Out("err");
        Stop(daemon);
        const std::string err = Out("err");
        EXPECT_EQ(err.find("[114] The port COM"), std::string::npos) << err;
        EXPECT_EQ(OutHas("COM40 at"), !hard) << Out();
        EXPECT_TRUE(OutHas("COM1 at")) << Out();
        EXPECT_EQ(err.find("[119]") == err.npos, !hard) << err;
        EXPECT_EQ(err.find("[119]"), err.rfind("[119]")) << err;
        EXPECT_TRUE(!hard || err.find("the limit is 64, 40 channels need ") != err.npos) << err;
    }
}

// A trace FIFO unread, or whose reader stops, holds neither the start, nor the bridge, nor the exit.
TEST_F(HeadlessRunnerTest, ATraceFifoNeverHoldsTheBridge) {
    ASSERT_NO_FATAL_FAILURE(Setup("127.0.0.167"));
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (bool reader : {false, true}) {
        SCOPED_TRACE(reader ? "a reader that stops reading" : "no reader");
        const int fd = reader ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        ASSERT_TRUE(!reader || ::fcntl(fd, F_SETPIPE_SZ, 4096) > 0);
        test::ChildProcess daemon(Command({"--trace", fifo.string()}), dir / "out", dir / "err");
        ASSERT_TRUE(WaitFor([&] { return OutHas("COM5 connected"); }, 5s)) << Out() << Out("err");
        test::HostPort host(devices.path() / "COM5");
        for (int i = 0; i < 10; ++i) {  // more than the pipe holds
            ASSERT_TRUE(host.Write(std::string(1000, 'x')));
            ASSERT_EQ(host.Read(1000, 2000).size(), 1000u);
        }
        host.Close();
        Stop(daemon);
        if (fd >= 0) ::close(fd);
    }
}

// A user's link, a SIGKILL, no pty: ours go at next start or end, stale names keep numbers, the user's stays.
TEST_F(HeadlessRunnerTest, DeviceDirectoryAfterAKillBesideAUsersLinkAndWithoutPtys) {
    const char* kSocat = "/usr/bin/socat";
    if (::geteuid() != 0 || !fs::exists(kSocat) ||
        std::system("/usr/bin/unshare --mount true 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root, socat and a mount namespace";
    Install("varnockd");
    const fs::path usersLink = devices.path() / "COM7";
    test::ChildProcess user({kSocat, "pty,link=" + usersLink.string(), "pty"}, dir / "socat", dir / "socat");
    ASSERT_TRUE(WaitFor([&] { return fs::is_symlink(usersLink); }));
    const fs::path usersPty = fs::read_symlink(usersLink);
    // The last port is the one a single pty cannot serve.
    auto run = [&](const Lines& ports, bool onePty) {
        std::string matrix = "items=3\n";
        for (int i = 0; i < 3; ++i)
            matrix += std::to_string(i + 1) + "=" + ports[i] + ",Ethernet,127.0.0.86,,No\n";
        Rows(matrix, "Auto");
        Lines argv = Command();
        if (onePty)
            argv.insert(argv.begin(), {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                                       "mount -t devpts -o newinstance,max=1 devpts /dev/pts && "
                                       "mount --bind /dev/pts/ptmx /dev/ptmx && exec \"$0\""});
        auto daemon = std::make_unique<test::ChildProcess>(argv, dir / "out", dir / "err");
        EXPECT_TRUE(WaitFor([&] { return OutHas(ports[2] + " at"); }, 10s)) << Out() << Out("err");
        EXPECT_THAT(Out("err"), HasSubstr(Box(kMsgPortNotOpened) + "The port COM7 "));
        return daemon;
    };
    run({"COM3", "COM9", "COM7"}, false)->Signal(SIGKILL);
    auto daemon = run({"COM3", "COM7", "COM2"}, true);
    EXPECT_THAT(Out("err"), HasSubstr(Box(kMsgPortNotOpened) + "The port COM2 "));
    EXPECT_TRUE(OutHas("channel 1: COM1 at")) << Out();
    EXPECT_EQ(test::DirectoryNames(devices.path()),
              (std::set<std::string>{"COM1", ".COM1.lock", ".COM1.host", "COM7", "OnlyOneInstanceMutex"}));
    Stop(*daemon);
    EXPECT_EQ(test::DirectoryNames(devices.path()), (std::set<std::string>{"COM7", "OnlyOneInstanceMutex"}));
    EXPECT_EQ(fs::read_symlink(usersLink), usersPty);
}

// Each link that cannot be opened says why in its message, status line and trace: a serial device of a
// group the user is not in (varnockd runs unprivileged: root passes all), a PLC refusing or silent, no USB.
TEST_F(HeadlessRunnerTest, EachLinkThatCannotBeOpenedSaysWhy) {
    const group* dialout = ::getgrnam("dialout");
    if (::geteuid() != 0 || !dialout) GTEST_SKIP() << "needs root and a dialout group";
    Install("varnockd");
    Rows(
        "items=4\n1=COM5,COM3,SERIAL2,,No\n2=COM6,Ethernet,127.0.0.172,,No\n"
        "3=COM7,Ethernet,127.0.0.173,,No\n4=COM8,USB,USB,,No\n");
    test::DroppingListener silent("127.0.0.173");
    ASSERT_TRUE(silent.ok);
    // A serial device as they come: root's, read-write for group dialout.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const std::string device = ::ptsname(master);
    ASSERT_EQ(::chown(device.c_str(), 0, dialout->gr_gid) | ::chmod(device.c_str(), 0660), 0);
    fs::create_symlink(device, devices.path() / "COM3");
    for (const fs::path& mine : {dir.path(), devices.path()})
        for (const auto& entry : fs::recursive_directory_iterator(mine))
            ::lchown(entry.path().c_str(), 65534, 65534);
    ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534) | ::chown(devices.path().c_str(), 65534, 65534), 0);

    Lines argv = Command({"--trace", (dir / "trace").string()});
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    test::ChildProcess daemon(argv, dir / "out", dir / "err");
    ASSERT_TRUE(WaitFor([&] { return Reports().size() >= 4; }, 20s)) << Out() << Out("err");
    Stop(daemon);
    const std::string port = (devices.path() / "COM3").string();
    const std::pair<std::string, std::string> cases[] = {
        {"COM3",
         "Reason: permission denied on " + port +
             ". Join its group dialout with: sudo usermod -aG dialout $USER, then log out and in again."},
        {"Ethernet", "Reason: 127.0.0.172 port 2538 refused the connection. Check the PLC's IP address"},
        {"Ethernet", "Reason: 127.0.0.173 port 2538 did not answer in time. Check the PLC's IP address"},
        {"USB",
         "Reason: there is no device HXUSB-0 (nor a USB-to-UART converter at /dev/COM1). "
         "Serial devices present: "}};
    for (int i = 0; i < 4; ++i) {
        const auto& [link, reason] = cases[i];
        const std::string box = Box(kMsgPortNotOpened) + "The port " + link + " cannot be opened. ";
        EXPECT_NE(Out("err").find(box), std::string::npos) << link;
        EXPECT_NE(Out("err").find(".\n" + reason), std::string::npos) << Out("err");
        EXPECT_NE(Reports()[i].find(" connect failed. " + reason), std::string::npos) << Out();
        EXPECT_NE(Out("trace").find(link + " not opened. " + reason), std::string::npos) << Out("trace");
    }
    ::close(master);
}

[[maybe_unused]] long PeakRssMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) / 1024;
    return -1;
}

// Each misbehaving PLC (a flood for 1.5 s): SIGTERM ends varnockd within 2 s, its memory stays bounded.
TEST_F(DaemonTest, UnderEveryHostilePlcItStaysSmallAndStopsWithinTwoSeconds) {
    enum class Kind { Chatty, FramesReadSlowly, FramesNotRead, StopsReading, DropsConnections, Echoes };
    const std::tuple<Kind, const char*, const char*> cases[] = {
        {Kind::Chatty, "a PLC streaming bytes that never form a frame", ""},
        {Kind::FramesReadSlowly, "valid frames while the host reads slowly", ""},
        {Kind::FramesNotRead, "valid frames while the host does not read", ""},
        {Kind::StopsReading, "a host writing into a port whose PLC stopped reading", ""},
        {Kind::DropsConnections, "PLCs that drop connection attempts", ""},
        {Kind::Echoes, "MaxTimeBetweenLDRData at its largest", "MaxTimeBetweenLDRData=2147483647\n"},
        {Kind::Echoes, "PLCDataMonitorTime at its largest", "PLCDataMonitorTime=2147483647\n"}};
    Install("varnockd");
    int address = 230;
    for (auto [kind, state, extreme] : cases) {
        SCOPED_TRACE(state);
        // Large reads and blocks: a flood comes in as fast as the link carries it.
        test::WriteFile(dir / "Varnock.ini",
                        test::VarnockIniWith(std::string("BlockTransferSizeInBytes=5000\n"
                                                         "PLCDataBytesToReadInMonitorTime=4096\n") +
                                             extreme));
        std::deque<test::DroppingListener> dropping;  // where nothing moves them
        std::string matrix;
        const bool serial = kind == Kind::Chatty;
        for (int i = 0; i < (kind == Kind::DropsConnections ? 4 : 1); ++i) {
            const std::string ip = "127.0.0." + std::to_string(++address);
            if (kind == Kind::DropsConnections)
                ASSERT_TRUE(dropping.emplace_back(ip).ok);
            else
                Plc(serial ? "COM3" : ip);
            matrix += std::to_string(i + 1) + "=COM" + std::to_string(5 + i) +
                      (serial ? ",COM3,,,No\n" : ",Ethernet," + ip + ",,No\n");
        }
        Rows("items=" + std::to_string(dropping.empty() ? 1 : 4) + "\n" + matrix, "Manual");
        test::ChildProcess daemon(Command(), dir / "out", dir / "out");
        test::HostPort host;
        if (kind == Kind::DropsConnections) {
            std::this_thread::sleep_for(500ms);  // amid the first attempts
        } else {
            ASSERT_TRUE(WaitFor([&] { return OutHas("COM5 connected"); }, 10s)) << Out();
            ASSERT_TRUE(host.Open(devices.path() / "COM5"));
            plcsim::PlcSimulator& plc = *plcs.back();
            if (kind == Kind::FramesReadSlowly || kind == Kind::FramesNotRead)
                plc.SetReplyRepeat(20000);  // 80 MB
            ASSERT_TRUE(kind == Kind::StopsReading || host.Write(std::string(4000, 'r')));
            if (kind == Kind::Chatty) plc.SetChatter(ByteArray(std::vector<uint8_t>(1 << 20, 'x')));
            if (kind == Kind::StopsReading) plc.SetReadPace(0, 0ms);
            // A host writing to a PLC that stopped reading goes on till held back: the stop finds it writing.
            const auto start = SteadyClock::now();
            for (auto written = start;;) {
                auto now = SteadyClock::now();
                if (kind == Kind::StopsReading ? now - written > 300ms || now - start > 5s
                                               : now - start > (kind == Kind::Echoes ? 300ms : 1500ms))
                    break;
                uint8_t buffer[65536] = {};
                if (kind == Kind::FramesReadSlowly) (void)!::read(host.Fd(), buffer, 4096);
                if (kind == Kind::StopsReading && ::write(host.Fd(), buffer, sizeof buffer) > 0)
                    written = now;
                else
                    std::this_thread::sleep_for(kind == Kind::StopsReading ? 1ms : 10ms);
            }
        }
#ifndef VARNOCK_SANITIZED
        EXPECT_LT(PeakRssMiB(daemon.Pid()), 64);
#endif
        Stop(daemon);
        EXPECT_FALSE(fs::exists(fs::symlink_status(devices.path() / "COM5"))) << "its port left behind";
        host.Close();
        plcs.clear();
    }
}

}  // namespace
}  // namespace varnock
