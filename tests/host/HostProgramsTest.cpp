// pyserial, socat and picocom on a virtual port, bare and through varnock-host.
#include <gtest/gtest.h>

#include "tests/host/HostFixture.h"

namespace varnock::test {
namespace {
using plcsim::RequestKind;

const std::string kPython = "/usr/bin/python3";

class HostProgramsTest : public ::testing::Test {
protected:
    HostEnvironment& env = HostEnvironment::Get();
    std::string Port() const { return env.Port().string(); }
    // A Python program with pyserial; PORT is the virtual port's path.
    ProgramResult Python(const std::string& code, bool launcher) {
        return env.Run({kPython, "-c", "import serial, termios\nPORT = '" + Port() + "'\n" + code}, launcher);
    }
};

// Every run starts from a fresh port, so the first configuration of each
// changes something and is taken, whatever the run before left behind.
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

TEST_F(HostProgramsTest, ThroughTheLauncherSettingsStickAndReachThePlc) {
    env.Plc().ClearRequests();
    // Changed on an open port, read back each time; opened again at once
    // with the same settings; modem lines as on a real port.
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
    // Configured: 8 data bits, no parity. The PLC gets the host's 7E1.
    auto params = env.Plc().RequestsOf(RequestKind::SerialParameters);
    ASSERT_FALSE(params.empty());
    const ByteArray& last = params.back().payload;
    ASSERT_GE(last.GetSize(), 6);
    EXPECT_EQ(last[4], 0x00);  // 7 data bits
    EXPECT_EQ(last[5], 0x02);  // even

    r = env.Run({"/usr/bin/picocom", "-q", "-b", "9600", "-d", "7", "-y", "e", "--lower-dtr", "-x", "1500",
                 "-t", "pico", Port()},
                true);
    EXPECT_EQ(r.out, "pico");
}

// Without Varnock, or on a descriptor that is not one of ours, the library
// changes nothing: a pty still drops data bits and parity.
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
    ProgramResult r = Python(plainPty, true);
    EXPECT_EQ(r.out, "22\n22\n25\n");

    TempDir empty;
    r = env.Run({kPython, "-c", "print('runs')"}, true, {"VARNOCK_DEVICE_DIR=" + empty.path().string()});
    EXPECT_EQ(r.out, "runs\n");
    EXPECT_EQ(env.Run({"/nonexistent"}, true).exitCode, 127);
    WriteFile(env.Work() / "not-a-program", "text");
    EXPECT_EQ(env.Run({(env.Work() / "not-a-program").string()}, true).exitCode, 126);
    r = env.Run({}, true);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("usage: varnock-host PROGRAM"), std::string::npos);
}

}  // namespace
}  // namespace varnock::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new varnock::test::HostEnvironment("127.0.0.121"));
    return RUN_ALL_TESTS();
}
