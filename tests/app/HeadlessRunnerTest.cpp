// varnockd as a process, in its own folder with settings files and resource
// library, with its own device directory and a simulated PLC on a loopback
// address.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/HeadlessRunner.h"
#include "links/FrameCodec.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/Pty.h"
#include "tests/support/TestSupport.h"
#include "tests/vport/VportTestSupport.h"
#include "tools/plcsim/PlcSimulator.h"

namespace varnock {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plcsim::RequestKind;
using test::ReadFile;
using test::WaitFor;
using Lines = std::vector<std::string>;

// Bytes as the trace shows them: hex, cut after 64 with " ...".
std::string TraceHex(const ByteArray& bytes) {
    std::string text;
    char hex[4];
    for (int i = 0; i < std::min(bytes.GetSize(), 64); ++i) {
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        text += hex;
    }
    return bytes.GetSize() > 64 ? text + " ..." : text;
}

// varnockd in `dir` as a child process, with stdout and stderr in files
// there. With `isolate`, it runs in a mount namespace of its own after that
// shell command.
class Process : public test::ChildProcess {
public:
    Process(const test::TempDir& dir, const std::string& out, const std::string& err,
            const std::string& isolate = "", const std::vector<std::string>& options = {})
        : ChildProcess(Command(dir, isolate, options), dir / out, dir / err) {}

private:
    static std::vector<std::string> Command(const test::TempDir& dir, const std::string& isolate,
                                            const std::vector<std::string>& options) {
        const std::string program = (dir / "varnockd").string();
        if (isolate.empty()) {
            std::vector<std::string> argv{program};
            argv.insert(argv.end(), options.begin(), options.end());
            return argv;
        }
        return {"/usr/bin/unshare", ::geteuid() == 0 ? "-m" : "-rm", "/bin/sh", "-c",
                isolate + " && exec " + program};
    }
};

class HeadlessRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"varnockd", "libvarnock_res_en.so"})
            fs::copy_file(fs::path(VARNOCK_TEST_RESOURCE_DIR) / name, dir / name);
        fs::copy_file(fs::path(VARNOCK_TEST_SAMPLE_DIR) / "Varnock.ini", dir / "Varnock.ini");
    }
    // One channel to a simulated PLC at `address`: Ethernet, or serial for
    // "COM3" (a pty in the device directory). Unless `listen` is false.
    // Lower-case "manual" is read as Manual and saved in its own spelling,
    // which shows the file was written.
    void Setup(const std::string& address, bool listen = true, const std::string& items = "1") {
        const bool serial = address == "COM3";
        test::WriteFile(dir / "Varnock_setting.ini",
                        "[Application]\nPortAssignMode=manual\n"
                        "[VirtualCOMAllocationMatrix]\nitems=" +
                            items + "\n1=COM5," + (serial ? "COM3,SERIAL2" : "Ethernet," + address) +
                            ",,No\n");
        if (!listen) return;
        auto pty = serial ? platform::Pty::Create(nullptr) : nullptr;
        if (pty) fs::create_symlink(pty->SlavePath(), devices.path() / address);
        auto transport = serial ? plcsim::OverPty(std::move(pty)) : plcsim::ListenTcp(address);
        ASSERT_TRUE(transport);
        plc = std::make_unique<plcsim::PlcSimulator>(std::move(transport));
        plc->Start();
    }
    std::string Out(const std::string& name) const { return ReadFile(dir / name); }
    bool OutHas(const std::string& text) const { return Out("out").find(text) != std::string::npos; }
    // The channel lines after the start lines.
    Lines Reports() const {
        Lines lines;
        std::string line;
        for (std::istringstream in(Out("out")); std::getline(in, line);)
            if (line.find(" at ") == std::string::npos) lines.push_back(line);
        return lines;
    }

    test::TempDir dir;
    test::ScopedDeviceDir devices;  // inherited by the children
    std::unique_ptr<plcsim::PlcSimulator> plc;
};

class HeadlessTraceTest : public HeadlessRunnerTest, public ::testing::WithParamInterface<const char*> {};

// A huge item count only bounds the one row held; a closed terminal
// (SIGHUP) ends the run as SIGINT and SIGTERM do. The trace shows each frame
// as the simulator got it (a serial one DLE-stuffed, here in its length
// too), each answered under its number, and the host's bytes.
TEST_P(HeadlessTraceTest, BridgesARequestTracesItAndSaysGoodbyeOnSighup) {
    const std::string link = GetParam();
    const bool serial = link == "COM3";
    ASSERT_NO_FATAL_FAILURE(Setup(link, true, "2147483647"));
    Process daemon(dir, "out", "err", "", {"--trace", (dir / "trace").string()});
    ASSERT_TRUE(WaitFor([&] { return OutHas("COM5 connected"); }, 10s)) << Out("out") << Out("err");
    EXPECT_TRUE(
        OutHas("channel 1: COM5 at " + (devices.path() / "COM5").string() + ", link " +
               (serial ? "serial COM3 (" + (devices.path() / "COM3").string() + ")" : "Ethernet " + link) +
               ", not connected\n"))
        << Out("out");

    const std::string request(248, '\x10');  // 272 = 0x0110 bytes framed; more than the trace shows
    test::HostPort host(devices.path() / "COM5");
    ASSERT_TRUE(host.Write(request));
    EXPECT_EQ(host.Read(248, 5000), request);
    host.Close();
    ASSERT_TRUE(WaitFor([&] { return Reports().size() == 3; })) << Out("out");
    EXPECT_TRUE(plc->RequestsOf(RequestKind::Disconnect).empty());

    const auto stopped = std::chrono::steady_clock::now();
    daemon.Signal(SIGHUP);
    EXPECT_EQ(daemon.Wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
    EXPECT_EQ(Reports(), (Lines{"channel 1: COM5 connected", "channel 1: COM5 connected, host port open",
                                "channel 1: COM5 connected", "channel 1: COM5 not connected"}));
    EXPECT_EQ(Out("err"), "");
    EXPECT_NE(Out("Varnock_setting.ini").find("PortAssignMode=Manual\n"), std::string::npos);
    EXPECT_NE(
        Out("Varnock_setting.ini").find(serial ? "1=COM5,COM3,SERIAL2,,No\n" : "1=COM5,Ethernet," + link),
        std::string::npos);
    // The virtual port is gone with the process.
    EXPECT_FALSE(fs::exists(fs::symlink_status(devices.path() / "COM5")));

    const ByteArray bytes(std::vector<uint8_t>(request.begin(), request.end()));
    Lines expected;
    for (const plcsim::Request& r : plc->Requests()) {
        ByteArray answer{0x21, 0x00};  // serial parameters taken
        const char* kind = "command";
        if (r.kind == RequestKind::PassThrough) {
            expected.push_back("host pass-through seq - len 248:" + TraceHex(bytes));
            answer = ByteArray{0, 0, 2, 0, 0, 0};
            answer.Append(bytes);
            kind = "pass-through";
        } else if (r.kind != RequestKind::SerialParameters) {
            answer = ByteArray{0, 0, 0, 0, 0, 0, uint8_t(r.kind == RequestKind::Connect ? 1 : 2)};
        }
        // Replies as taken apart from the stream: framed, but not stuffed.
        ByteArray reply = plcsim::BuildReplyFrame(r.sequence, r.headerByte1, r.headerByte2, answer, false);
        if (serial) {
            const uint16_t crc = FrameCrc(reply.data(), reply.GetSize());
            ByteArray framed{0x10, 0x02};
            framed.Append(reply);
            for (uint8_t b : {uint8_t(0x10), uint8_t(0x03), uint8_t(crc >> 8), uint8_t(crc)}) framed.Add(b);
            reply = framed;
        }
        const std::string seq = " seq " + std::to_string(r.sequence);
        expected.push_back("to-plc " + std::string(kind) + seq + " len " + std::to_string(r.wire.GetSize()) +
                           ":" + TraceHex(r.wire));
        expected.push_back("from-plc reply" + seq + " len " + std::to_string(reply.GetSize()) + ":" +
                           TraceHex(reply));
    }
    Lines traced;
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} COM5 (.*))");
    std::smatch at;
    std::string line;
    for (std::istringstream in(Out("trace")); std::getline(in, line);)
        traced.push_back(std::regex_match(line, at, stamped) ? at.str(1) : "unstamped: " + line);
    EXPECT_EQ(plc->Requests().size(), 4u);
    EXPECT_EQ(traced, expected);
}
INSTANTIATE_TEST_SUITE_P(Links, HeadlessTraceTest, ::testing::Values("127.0.0.81", "COM3"));

TEST_F(HeadlessRunnerTest, BadStartEndsAtOnceWithItsReason) {
    Setup("127.0.0.83", false);
    const std::string devs = devices.path().string();
    // A FIFO in a settings file's place is never opened to wait for a writer.
    // Without /proc the program's directory is unknown: the settings and the
    // library in the current directory must not be taken instead. A
    // read-only device directory has no room for the lock file: no silent exit.
    const struct {
        const char* fifo;  // the settings file a FIFO stands in for
        std::string isolate, said;
    } cases[] = {
        {"Varnock.ini", "", "[109] The settings file Varnock.ini"},
        {"Varnock_setting.ini", "", "[212] The settings file Varnock_setting.ini"},
        {nullptr, "cd " + dir.path().string() + " && mount -t tmpfs none /proc",
         "[109] The settings file Varnock.ini"},
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
        Process daemon(dir, "out", "err", c.isolate);
        EXPECT_EQ(daemon.Wait(2s), 1) << what;  // killed when still running by then
        std::string err, line;                  // without a sanitizer's own notes (no /proc)
        for (std::istringstream lines(Out("err")); std::getline(lines, line);)
            if (line.rfind("==", 0) != 0) err += line + "\n";
        EXPECT_EQ(err.rfind(c.said, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(Out("out"), "") << what;
        // Nothing of ours is left but the lock file, and nothing is written.
        for (const auto& entry : fs::directory_iterator(devices.path()))
            EXPECT_EQ(entry.path().filename(), "OnlyOneInstanceMutex") << what;
        if (c.fifo) {
            EXPECT_TRUE(fs::is_fifo(dir / c.fifo)) << what;
            fs::rename(dir / "kept", dir / c.fifo);
        }
        EXPECT_EQ(Out("Varnock_setting.ini"), stored) << what;
    }
}

// In-process, so that the probing runs on a sped-up clock. With a
// reconnect, the lost channel is connected again.
TEST_F(HeadlessRunnerTest, LostEthernetLinkIsReportedAndConnectedAgain) {
    platform::ScaledClock clock(40, 1000);
    platform::ScopedClock scopedClock(clock);
    platform::RecordingMessageSink messages;
    platform::ScopedMessageSink sink(messages);
    ASSERT_NO_FATAL_FAILURE(Setup("127.0.0.84"));
    plc->SetFault(RequestKind::Probe, plcsim::Fault::NoAnswer, 4);

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
    EXPECT_EQ(messages.Numbers(), std::vector<int>{211});
    EXPECT_EQ(plc->RequestsOf(RequestKind::Connect).size(), 2u);
    // Only the goodbye at the end: a lost link gets none.
    EXPECT_EQ(plc->RequestsOf(RequestKind::Disconnect).size(), 1u);
    plc->Stop();  // before the clock goes
}

// A PLC that refuses the connect twice: the channel is tried again after
// one, then two seconds, and connects without a restart; the other
// channel's requests go on meanwhile, none kept waiting. An unusable
// interval is refused; a trace that cannot be written is said once.
TEST_F(HeadlessRunnerTest, ReconnectsARefusedChannelWhileTheOtherGoesOn) {
    EXPECT_EQ(Process(dir, "out", "err", "", {"--reconnect", "0"}).Wait(), 2);
    EXPECT_NE(Out("err").find("--reconnect needs a number of seconds"), std::string::npos) << Out("err");
    test::WriteFile(dir / "Varnock_setting.ini",
                    "[Application]\nPortAssignMode=Manual\n[VirtualCOMAllocationMatrix]\nitems=2\n1=COM5,"
                    "Ethernet,127.0.0.162,,No\n"
                    "2=COM6,Ethernet,127.0.0.163,,No\n");
    std::vector<std::unique_ptr<plcsim::PlcSimulator>> plcs;
    for (const char* address : {"127.0.0.162", "127.0.0.163"}) {
        auto transport = plcsim::ListenTcp(address);
        ASSERT_TRUE(transport);
        plcs.push_back(std::make_unique<plcsim::PlcSimulator>(std::move(transport)));
        plcs.back()->Start();
    }
    plcs[0]->SetFault(RequestKind::Connect, plcsim::Fault::WrongBytes, 2);

    Process daemon(dir, "out", "err", "", {"--reconnect=1", "--trace", "/dev/full"});
    ASSERT_TRUE(WaitFor([&] { return OutHas("COM6 connected"); }, 10s)) << Out("out") << Out("err");
    // When each report of the refused channel was first seen.
    std::vector<std::chrono::steady_clock::time_point> seen;
    auto refused = [&] {
        Lines lines;
        for (const std::string& line : Reports())
            if (line.find("COM5") != std::string::npos) lines.push_back(line);
        while (seen.size() < lines.size()) seen.push_back(std::chrono::steady_clock::now());
        return lines;
    };
    // The other channel's requests, one after another, meanwhile.
    std::atomic<bool> done{false};
    auto slowest = 0ms;
    int requests = 0;
    std::thread other([&] {
        test::HostPort host(devices.path() / "COM6");
        while (!done) {
            const auto start = std::chrono::steady_clock::now();
            if (!host.Write("ping") || host.Read(4, 5000) != "ping") return;
            slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start));
            ++requests;
        }
    });
    WaitFor([&] { return refused().size() >= 5; }, 15s);
    done = true;
    other.join();
    ASSERT_EQ(refused(), (Lines{"channel 1: COM5 connect failed", "channel 1: COM5 reconnecting, try 1",
                                "channel 1: COM5 connect failed", "channel 1: COM5 reconnecting, try 2",
                                "channel 1: COM5 connected"}))
        << Out("out") << Out("err");
    // Each wait is at least its interval (less what watching may lag),
    // and not much more.
    const auto waited1 = seen[1] - seen[0], waited2 = seen[3] - seen[2];
    EXPECT_GT(waited1, 850ms);
    EXPECT_LT(waited1, 1500ms);
    EXPECT_GT(waited2, 1850ms);
    EXPECT_LT(waited2, 2500ms);
    EXPECT_GE(requests, 5);
    EXPECT_LT(slowest, 800ms);
    EXPECT_EQ(plcs[0]->RequestsOf(RequestKind::Connect).size(), 3u);
    const std::string err = Out("err");
    const auto said = err.find("cannot write the trace file /dev/full: No space left on device");
    EXPECT_TRUE(said != std::string::npos && said == err.rfind("cannot write the trace file")) << err;
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(), 0);
    for (auto& plc : plcs) EXPECT_EQ(plc->RequestsOf(RequestKind::Disconnect).size(), 1u);
}

// The device directory under hostile conditions: a user's live link where a
// port should be, a SIGKILL, a port whose pty cannot be had. Ours go at the
// next start or at the end, a stale name keeps its number, the user's stays.
TEST_F(HeadlessRunnerTest, DeviceDirectoryAfterAKillBesideAUsersLinkAndWithoutPtys) {
    const char* kSocat = "/usr/bin/socat";
    if (::geteuid() != 0 || !fs::exists(kSocat) ||
        std::system("/usr/bin/unshare --mount true 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root, socat and a mount namespace";
    const fs::path usersLink = devices.path() / "COM7";
    test::ChildProcess user({kSocat, "pty,link=" + usersLink.string(), "pty"}, dir / "socat", dir / "socat");
    ASSERT_TRUE(WaitFor([&] { return fs::is_symlink(usersLink); }));
    const fs::path usersPty = fs::read_symlink(usersLink);
    // The last row's port is the one a single pty cannot serve.
    auto run = [&](const std::string& rows, const std::string& lastPort, bool onePty) {
        test::WriteFile(dir / "Varnock_setting.ini",
                        "[Application]\nPortAssignMode=Auto\n[VirtualCOMAllocationMatrix]\n" + rows);
        std::vector<std::string> argv{(dir / "varnockd").string()};
        if (onePty)
            argv.insert(argv.begin(), {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                                       "mount -t devpts -o newinstance,max=1 devpts /dev/pts && "
                                       "mount --bind /dev/pts/ptmx /dev/ptmx && exec \"$0\""});
        auto daemon = std::make_unique<test::ChildProcess>(argv, dir / "out", dir / "err");
        EXPECT_TRUE(WaitFor([&] { return OutHas(lastPort + " at"); }, 10s)) << Out("out") << Out("err");
        EXPECT_NE(Out("err").find("[114] The port COM7 "), std::string::npos) << Out("err");
        return daemon;
    };
    run("items=3\n1=COM3,Ethernet,127.0.0.86,,No\n2=COM9,Ethernet,127.0.0.86,,No\n3=COM7,Ethernet,127.0.0.86,"
        ",No\n",
        "COM7", false)
        ->Signal(SIGKILL);
    auto daemon =
        run("items=3\n1=COM3,Ethernet,127.0.0.86,,No\n2=COM7,Ethernet,127.0.0.86,,No\n3=COM2,Ethernet,127.0."
            "0.86,,No\n",
            "COM2", true);
    EXPECT_NE(Out("err").find("[114] The port COM2 "), std::string::npos) << Out("err");
    EXPECT_TRUE(OutHas("channel 1: COM1 at")) << Out("out");
    EXPECT_EQ(test::DirectoryNames(devices.path()),
              (std::set<std::string>{"COM1", ".COM1.lock", ".COM1.host", "COM7", "OnlyOneInstanceMutex"}));
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->Wait(), 0);
    EXPECT_EQ(test::DirectoryNames(devices.path()), (std::set<std::string>{"COM7", "OnlyOneInstanceMutex"}));
    EXPECT_EQ(fs::read_symlink(usersLink), usersPty);
}

}  // namespace
}  // namespace varnock
