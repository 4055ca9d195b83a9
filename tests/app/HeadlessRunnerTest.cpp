// varnockd as a process, in its own folder with settings files and resource
// library, with its own device directory and a simulated PLC on a loopback
// address.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/HeadlessRunner.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
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

// varnockd in `dir` as a child process, with stdout and stderr in files
// there. With `isolate`, it runs in a mount namespace of its own after that
// shell command.
class Process : public test::ChildProcess {
public:
    Process(const test::TempDir& dir, const std::string& out, const std::string& err,
            const std::string& isolate = "")
        : ChildProcess(Command(dir, isolate), dir / out, dir / err) {}

private:
    static std::vector<std::string> Command(const test::TempDir& dir, const std::string& isolate) {
        const std::string program = (dir / "varnockd").string();
        if (isolate.empty()) return {program};
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
    // One Ethernet channel to `address`, where a simulated PLC listens unless
    // `listen` is false. Lower-case "manual" is read as Manual and saved in
    // its own spelling, which shows the file was written.
    void Setup(const std::string& address, bool listen = true, const std::string& items = "1") {
        test::WriteFile(dir / "Varnock_setting.ini",
                        "[Application]\nPortAssignMode=manual\n"
                        "[VirtualCOMAllocationMatrix]\nitems=" +
                            items + "\n1=COM5,Ethernet," + address + ",,No\n");
        if (!listen) return;
        auto transport = plcsim::ListenTcp(address);
        ASSERT_TRUE(transport);
        plc = std::make_unique<plcsim::PlcSimulator>(std::move(transport));
        plc->Start();
    }
    std::string Out(const std::string& name) const { return ReadFile(dir / name); }
    bool OutHas(const std::string& text) const { return Out("out").find(text) != std::string::npos; }

    test::TempDir dir;
    test::ScopedDeviceDir devices;  // inherited by the children
    std::unique_ptr<plcsim::PlcSimulator> plc;
};

// A huge item count only bounds the one row held; a closed terminal
// (SIGHUP) ends the run as SIGINT and SIGTERM do.
TEST_F(HeadlessRunnerTest, BridgesARequestAndSaysGoodbyeOnSighup) {
    ASSERT_NO_FATAL_FAILURE(Setup("127.0.0.81", true, "2147483647"));
    Process daemon(dir, "out", "err");
    ASSERT_TRUE(WaitFor([&] { return OutHas("COM5 connected"); }, 10s)) << Out("out") << Out("err");
    EXPECT_TRUE(OutHas("channel 1: COM5 at " + (devices.path() / "COM5").string() +
                       ", link Ethernet 127.0.0.81, not connected\n"))
        << Out("out");

    test::HostPort host(devices.path() / "COM5");
    ASSERT_TRUE(host.Write("hello PLC"));
    EXPECT_EQ(host.Read(9, 5000), "hello PLC");
    host.Close();
    EXPECT_TRUE(plc->RequestsOf(RequestKind::Disconnect).empty());

    const auto stopped = std::chrono::steady_clock::now();
    daemon.Signal(SIGHUP);
    EXPECT_EQ(daemon.Wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
    EXPECT_EQ(plc->RequestsOf(RequestKind::Disconnect).size(), 1u);
    EXPECT_TRUE(OutHas("channel 1: COM5 disconnected\n")) << Out("out");
    EXPECT_EQ(Out("err"), "");
    EXPECT_NE(Out("Varnock_setting.ini").find("PortAssignMode=Manual\n"), std::string::npos);
    EXPECT_NE(Out("Varnock_setting.ini").find("1=COM5,Ethernet,127.0.0.81,,No\n"), std::string::npos);
    // The virtual port is gone with the process.
    EXPECT_FALSE(fs::exists(fs::symlink_status(devices.path() / "COM5")));
}

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

// In-process, so that the probing runs on a sped-up clock.
TEST_F(HeadlessRunnerTest, LostEthernetLinkIsReportedWithItsMessage) {
    platform::ScaledClock clock(40, 1000);
    platform::ScopedClock scopedClock(clock);
    platform::RecordingMessageSink messages;
    platform::ScopedMessageSink sink(messages);
    ASSERT_NO_FATAL_FAILURE(Setup("127.0.0.84"));
    plc->SetFault(RequestKind::Probe, plcsim::Fault::NoAnswer);

    std::atomic<bool> stop{false};
    std::FILE* out = std::fopen((dir / "out").c_str(), "w");
    ASSERT_NE(out, nullptr);
    HeadlessRunner runner(stop, out);
    std::thread stopper([&] {
        WaitFor([&] { return OutHas("link lost"); }, 30s);
        stop = true;
    });
    Application app(dir.path());
    app.SetRunPhase([&](SettingsManager& s) { runner.Run(s); });
    EXPECT_EQ(app.InitInstance(), 0);
    stopper.join();
    std::fclose(out);

    EXPECT_EQ(Out("out").substr(Out("out").find('\n') + 1),
              "channel 1: COM5 connected\nchannel 1: COM5 link lost\n");
    EXPECT_EQ(messages.Numbers(), std::vector<int>{211});
    EXPECT_EQ(plc->RequestsOf(RequestKind::Probe).size(), 4u);
    EXPECT_TRUE(plc->RequestsOf(RequestKind::Disconnect).empty());
    plc->Stop();  // before the clock goes
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
    run("items=3\n1=COM3,Ethernet,127.0.0.85,,No\n2=COM9,Ethernet,127.0.0.85,,No\n3=COM7,Ethernet,127.0.0.85,"
        ",No\n",
        "COM7", false)
        ->Signal(SIGKILL);
    auto daemon =
        run("items=3\n1=COM3,Ethernet,127.0.0.85,,No\n2=COM7,Ethernet,127.0.0.85,,No\n3=COM2,Ethernet,127.0."
            "0.85,,No\n",
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
