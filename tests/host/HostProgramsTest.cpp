// Programs not ours against varnockd (COM5 over Ethernet), bare and via varnock-host; 8N marks fallback.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/support/SimulatedPlc.h"

namespace varnock::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plcsim::RequestKind;

const std::string kPython = "/usr/bin/python3";
const std::string kWine64 = "/usr/lib/wine/wine64";

struct ProgramResult {
    int exitCode = -1;
    std::string out;  // stdout and stderr
};

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        s_instance = this;
        m_devices = std::make_unique<ScopedDeviceDir>();
        for (const char* name : {"varnockd", "libvarnock_res_en.so"})
            fs::copy_file(fs::path(VARNOCK_TEST_RESOURCE_DIR) / name, m_dir / name);
        std::string ini = ReadFile(fs::path(VARNOCK_TEST_SAMPLE_DIR) / "Varnock.ini");
        for (auto [from, to] : {std::pair{"ByteSize=7", "ByteSize=8"}, std::pair{"Parity=2", "Parity=0"}}) {
            auto at = ini.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            ini.replace(at, std::string(from).size(), to);
        }
        WriteFile(m_dir / "Varnock.ini", ini);
        WriteFile(m_dir / "Varnock_setting.ini",
                  "[Application]\nPortAssignMode=Manual\n[VirtualCOMAllocationMatrix]\nitems=1\n"
                  "1=COM5,Ethernet," VARNOCK_TEST_PLC ",,No\n");
        m_plc = &StartPlc(m_plcs, VARNOCK_TEST_PLC, m_devices->path());
        m_daemon = std::make_unique<ChildProcess>(std::vector<std::string>{(m_dir / "varnockd").string()},
                                                  m_dir / "daemon.out", m_dir / "daemon.err");
        ASSERT_TRUE(WaitFor(
            [&] { return ReadFile(m_dir / "daemon.out").find("COM5 connected") != std::string::npos; }, 10s))
            << ReadFile(m_dir / "daemon.out") << ReadFile(m_dir / "daemon.err");
    }
    void TearDown() override {
        if (m_daemon) {
            m_daemon->Signal(SIGTERM);
            EXPECT_EQ(m_daemon->Wait(), 0);
            EXPECT_EQ(ReadFile(m_dir / "daemon.err"), "");
        }
        if (m_plc) m_plc->Stop();
    }

    static HostEnvironment& Get() { return *s_instance; }
    fs::path Port() const { return m_devices->path() / "COM5"; }
    plcsim::PlcSimulator& Plc() { return *m_plc; }
    const TempDir& Work() const { return m_dir; }

    // Runs a program to its end, through varnock-host when `launcher`.
    ProgramResult Run(std::vector<std::string> argv, bool launcher, const std::vector<std::string>& env = {},
                      std::chrono::milliseconds limit = 30s) {
        if (launcher)
            argv.insert(argv.begin(), (fs::path(VARNOCK_TEST_RESOURCE_DIR) / "varnock-host").string());
        const fs::path out = m_dir / ("run" + std::to_string(++m_runs) + ".out");
        const int code = ChildProcess(argv, out, out, env).Wait(limit);
        return {code, ReadFile(out)};
    }

private:
    static inline HostEnvironment* s_instance = nullptr;
    TempDir m_dir;
    std::unique_ptr<ScopedDeviceDir> m_devices;
    Plcs m_plcs;
    plcsim::PlcSimulator* m_plc = nullptr;
    std::unique_ptr<ChildProcess> m_daemon;
    int m_runs = 0;
};

class HostProgramsTest : public ::testing::Test {
protected:
    HostEnvironment& env = HostEnvironment::Get();
    std::string Port() const { return env.Port().string(); }
    // A Python program with pyserial; PORT is the virtual port's path.
    ProgramResult Python(const std::string& code, bool launcher) {
        return env.Run({kPython, "-c", "import serial, termios\nPORT = '" + Port() + "'\n" + code}, launcher);
    }
};

// Each run starts from a fresh port, so each first configuration changes something and is taken.
TEST_F(HostProgramsTest, BareProgramsCanOpenThePortRunAfterRun) {
    const std::string echo7E1 =
        "s = serial.Serial(PORT, 9600, bytesize=7, parity='E', timeout=5)\n"
        "s.write(b'py7E1'); print(s.read(5)); s.close()\n";
    for (int run = 0; run < 2; ++run) {
        ProgramResult r = Python(echo7E1, false);
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(r.out, "b'py7E1'\n");
    }
    WriteFile(env.Work() / "in", "socat");
    const std::string both =
        "OPEN:" + (env.Work() / "in").string() + "!!CREATE:" + (env.Work() / "out").string();
    for (int run = 0; run < 2; ++run) {
        ProgramResult r =
            env.Run({"/usr/bin/socat", "-t", "2", both, Port() + ",raw,echo=0,b9600,cs7,parenb=1"}, false);
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(ReadFile(env.Work() / "out"), "socat");
    }
}

TEST_F(HostProgramsTest, ThroughTheLauncherSettingsStickAndModemLinesAnswer) {
    // Changed on an open port and read back; reopened at once with the same settings; real modem lines.
    ProgramResult r = Python(
        "s = serial.Serial(PORT, 9600, timeout=5)\n"
        "def shown():\n"
        "    c = termios.tcgetattr(s.fd)[2]\n"
        "    return (c & termios.CSIZE == termios.CS7, bool(c & termios.PARENB))\n"
        "s.parity = 'E'; print(shown())\n"
        "s.bytesize = 7; print(shown())\n"
        "s.close(); s.open(); s.close(); s.open(); print(shown())\n"
        "s.dtr = False; s.rts = True; print(s.cts, s.dsr, s.cd)\n"
        "s.write(b'host'); print(s.read(4))\n",
        true);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out, "(False, True)\n(True, True)\n(True, True)\nTrue True True\nb'host'\n");

    r = env.Run({"/usr/bin/picocom", "-q", "-b", "9600", "-d", "7", "-y", "e", "--lower-dtr", "-x", "1500",
                 "-t", "pico", Port()},
                true);
    EXPECT_EQ(r.out, "pico");
}

// As a serial device: stty, a program setting nothing (one request, one reply, no echo), exclusive open.
TEST_F(HostProgramsTest, WhatOneProgramLeavesHoldsForTheNext) {
    ProgramResult r = env.Run({"/usr/bin/stty", "-F", Port(), "9600", "raw", "-echo"}, false);
    ASSERT_EQ(r.exitCode, 0) << r.out;
    env.Plc().ClearRequests();
    r = Python(
        "import os, select\n"
        "fd = os.open(PORT, os.O_RDWR | os.O_NOCTTY)\n"
        "os.write(fd, b'ping'); got = b''\n"
        "while select.select([fd], [], [], 1 if got else 5)[0]: got += os.read(fd, 100)\n"
        "print(got)\n",
        false);
    EXPECT_EQ(r.out, "b'ping'\n");
    EXPECT_EQ(env.Plc().RequestsOf(RequestKind::PassThrough).size(), 1u);
    r = Python(
        "import os, fcntl\nfd = os.open(PORT, os.O_RDWR | os.O_NOCTTY)\n"
        "fcntl.ioctl(fd, termios.TIOCEXCL); os.kill(os.getpid(), 9)\n",
        false);
    EXPECT_EQ(r.exitCode, -1);
    // Varnock sees the close a moment after it; a next program comes later.
    r = Python(
        "import os, fcntl, struct, time\n"
        "for i in range(20):\n"
        "    fd = os.open(PORT, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)\n"
        "    held = struct.unpack('i', fcntl.ioctl(fd, 0x80045440, b'1111'))[0]\n"  // TIOCGEXCL
        "    os.close(fd)\n"
        "    if not held: break\n"
        "    time.sleep(0.05)\n"
        "print(held)\n",
        false);
    EXPECT_EQ(r.out, "0\n");
}

// Through the launcher the data bits and parity are the port's, not one process's, and reach the PLC
// (configured: 8N): a speed changed by a second program, or by a forked parent after its child, keeps 7E1.
TEST_F(HostProgramsTest, ThroughTheLauncherEveryProcessSharesTheLineState) {
    auto plcGets = [&](uint8_t baudCode) {
        return WaitFor([&] {
            auto params = env.Plc().RequestsOf(RequestKind::SerialParameters);
            const ByteArray* last = params.empty() ? nullptr : &params.back().payload;
            return last && last->GetSize() >= 6 && (*last)[3] == baudCode && (*last)[4] == 0x00 &&
                   (*last)[5] == 0x02;  // 7 bits, even
        });
    };
    for (const char* speed : {"9600", "19200"}) {
        ProgramResult r = env.Run({"/usr/bin/stty", "-F", Port(), speed, "cs7", "parenb"}, true);
        ASSERT_EQ(r.exitCode, 0) << r.out;
        ASSERT_TRUE(speed[0] != '9' || plcGets(0x05));
    }
    ProgramResult r = env.Run({"/usr/bin/stty", "-F", Port(), "38400"}, true);
    EXPECT_TRUE(plcGets(0x07)) << r.out;
    r = Python(
        "import os\n"
        "s = serial.Serial(PORT, 9600, bytesize=7, parity='E')\n"
        "def speed(rate):\n"
        "    a = termios.tcgetattr(s.fd); a[4] = a[5] = rate; termios.tcsetattr(s.fd, termios.TCSANOW, a)\n"
        "    return a[2] & (termios.CSIZE | termios.PARENB) == termios.CS7 | termios.PARENB\n"
        "pid = os.fork()\n"
        "if pid == 0: os._exit(0 if speed(termios.B19200) else 1)\n"
        "print(os.waitpid(pid, 0)[1], speed(termios.B57600))\n",
        true);
    EXPECT_EQ(r.out, "0 True\n");
    EXPECT_TRUE(plcGets(0x08));
}

// Through the launcher, threads that hammer the port always get a serial port's answers; a plain pty that
// gets the number of a port gone is a plain pty; a bad address gets EFAULT as from the kernel, not a crash.
TEST_F(HostProgramsTest, ThroughTheLauncherEveryCallAnswersAsOnASerialPort) {
    ProgramResult r = env.Run({VARNOCK_HAMMER, Port(), "3"}, true);
    EXPECT_EQ(r.out, "many calls, 0 wrong\n");
    r = Python(
        "import os, fcntl, ctypes, time, sys\n"
        "sys.stdout.reconfigure(line_buffering=True)\n"
        "def modem(fd):\n"
        "    try: fcntl.ioctl(fd, termios.TIOCMGET, b'0000'); return 'answered'\n"
        "    except OSError as e: return e.errno\n"
        "gone = os.path.join(os.path.dirname(PORT), 'GONE')\n"
        "m, p = os.openpty(); name = os.ttyname(p); os.symlink(name, gone)\n"
        "print(modem(p)); os.unlink(gone); os.close(p); os.close(m); time.sleep(0.05)\n"
        // Other tests take ptys too: the gone port's number is among the next few free ones.
        "held = [os.openpty()[1] for i in range(32)]; again = [q for q in held if os.ttyname(q) == name]\n"
        "print(modem(again[0]) if again else 25)\n"
        "libc = ctypes.CDLL(None, use_errno=True); s = serial.Serial(PORT)\n"
        "for request in (termios.TIOCMGET, termios.TIOCMBIS, 0x545D):\n"
        "    print(libc.ioctl(s.fd, request, ctypes.c_void_p(16)), ctypes.get_errno())\n",
        true);
    EXPECT_EQ(r.out, "answered\n25\n-1 14\n-1 14\n-1 14\n");
}

// Without Varnock, or on a descriptor not ours, the library changes nothing; bad commands: shell's codes.
TEST_F(HostProgramsTest, TheLauncherLeavesEverythingElseAlone) {
    const std::string plainPty =
        "import os, fcntl\n"
        "m, s = os.openpty()\n"
        "a = termios.tcgetattr(s); a[2] = a[2] & ~termios.CSIZE | termios.CS7 | termios.PARENB\n"
        "for i in range(2):\n"
        "    try: termios.tcsetattr(s, termios.TCSANOW, a); print('set')\n"
        "    except termios.error as e: print(e.args[0])\n"
        "try: fcntl.ioctl(s, termios.TIOCMGET, b'0000')\n"
        "except OSError as e: print(e.errno)\n";
    EXPECT_EQ(Python(plainPty, true).out, "22\n22\n25\n");
    TempDir empty;
    EXPECT_EQ(
        env.Run({kPython, "-c", "print('runs')"}, true, {"VARNOCK_DEVICE_DIR=" + empty.path().string()}).out,
        "runs\n");
    WriteFile(env.Work() / "not-a-program", "text");
    const std::pair<std::vector<std::string>, int> bad[] = {
        {{"/nonexistent"}, 127}, {{(env.Work() / "not-a-program").string()}, 126}, {{}, 2}};
    ProgramResult r;
    for (const auto& [argv, code] : bad) {
        r = env.Run(argv, true);
        EXPECT_EQ(r.exitCode, code) << r.out;
    }
    EXPECT_NE(r.out.find("usage: varnock-host PROGRAM"), std::string::npos);
}

// The Wine cases share one private prefix, made once (it takes seconds).
class WineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        HostEnvironment& host = HostEnvironment::Get();
        s_prefix = host.Work() / "wine";
        ProgramResult r = host.Run({kWine64, "wineboot", "--init"}, false, Env(), 180s);
        ASSERT_EQ(r.exitCode, 0) << r.out;
        fs::create_symlink(host.Port(), s_prefix / "dosdevices" / "com5");
    }
    static void TearDownTestSuite() {
        HostEnvironment::Get().Run({"/usr/lib/wine/wineserver", "-k"}, false, Env());
    }
    static std::vector<std::string> Env() {
        return {"WINEPREFIX=" + s_prefix.string(), "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="};
    }
    ProgramResult Wincomm(const std::string& wine, const std::string& text, bool launcher) {
        return HostEnvironment::Get().Run({wine, VARNOCK_WINCOMM, "COM5", text, launcher ? "all" : ""},
                                          launcher, Env(), 60s);
    }
    static inline fs::path s_prefix;
};

TEST_F(WineTest, BareRunsOneAfterAnotherBothSetTheLine) {
    for (const std::string text : {"first", "second"}) {
        ProgramResult r = Wincomm(kWine64, text, false);
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find("ok echo " + text), std::string::npos) << r.out;
    }
}

// Both Wine loaders: settings read back twice, modem lines, WaitCommEvent for the echo the PLC holds back.
TEST_F(WineTest, ThroughTheLauncherThePortActsAsASerialPort) {
    HostEnvironment::Get().Plc().SetReplyDelay(800ms);
    for (const std::string& wine : {kWine64, std::string("/usr/bin/wine")}) {
        ProgramResult r = Wincomm(wine, "later", true);
        EXPECT_EQ(r.exitCode, 0) << r.out;
        for (const char* step :
             {"ok state 9600 7 2 0", "ok modem CTS DSR DCD", "ok wait EV_RXCHAR", "ok echo later"})
            EXPECT_NE(r.out.find(step), std::string::npos) << wine << ": " << r.out;
        const size_t waited = r.out.find("EV_RXCHAR after ");
        EXPECT_GE(waited == std::string::npos ? 0 : std::atoi(r.out.c_str() + waited + 16), 700) << wine;
    }
    HostEnvironment::Get().Plc().SetReplyDelay(0ms);
}

}  // namespace
}  // namespace varnock::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new varnock::test::HostEnvironment);
    return RUN_ALL_TESTS();
}
