// Clients nobody on this project wrote (pyserial's rfc2217://, gensio's telnet(rfc2217)) and plain sockets
// against varnockd's COM5 served on 127.0.0.125:2538; the PLC is simulated over Ethernet at 127.0.0.124.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/SimulatedPlc.h"
#include "tests/support/TestSupport.h"

namespace varnock::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plcsim::RequestKind;

constexpr const char* kPlc = "127.0.0.124";
constexpr const char* kServed = "127.0.0.125";

// varnockd with COM5 served to 127.0.0.1 and 127.0.0.125 only; the host side configured 8N.
class ServedPort {
public:
    ServedPort() {
        for (const char* name : {"varnockd", "libvarnock_res_en.so"})
            fs::copy_file(fs::path(VARNOCK_TEST_RESOURCE_DIR) / name, m_dir / name);
        std::string ini = ReadFile(fs::path(VARNOCK_TEST_SAMPLE_DIR) / "Varnock.ini");
        for (auto [from, to] : {std::pair{"ByteSize=7", "ByteSize=8"}, std::pair{"Parity=2", "Parity=0"}})
            ini.replace(ini.find(from), std::string(from).size(), to);
        WriteFile(m_dir / "Varnock.ini", ini);
        WriteFile(m_dir / "Varnock_setting.ini",
                  std::string("[Application]\nPortAssignMode=Manual\n[VirtualCOMAllocationMatrix]\nitems=1\n"
                              "1=COM5,Ethernet,") +
                      kPlc + ",,No\n[NetworkPorts]\nCOM5=" + kServed +
                      ":2538\n[NetworkClients]\nCOM5=127.0.0.1, 127.0.0.125\n");
        m_plc = &StartPlc(m_plcs, kPlc, m_devices.path());
        m_daemon = std::make_unique<ChildProcess>(std::vector<std::string>{(m_dir / "varnockd").string()},
                                                  m_dir / "daemon.out", m_dir / "daemon.err");
        m_up = WaitFor(
            [&] { return ReadFile(m_dir / "daemon.out").find("COM5 connected") != std::string::npos; }, 10s);
    }
    ~ServedPort() {
        m_daemon->Signal(SIGTERM);
        EXPECT_EQ(m_daemon->Wait(), 0);
        EXPECT_EQ(ReadFile(m_dir / "daemon.err"), "");
        m_plc->Stop();
    }
    bool Up() const { return m_up; }
    std::string Log() const { return ReadFile(m_dir / "daemon.out") + ReadFile(m_dir / "daemon.err"); }
    plcsim::PlcSimulator& Plc() { return *m_plc; }
    const TempDir& Work() const { return m_dir; }

    // A Python program; HOST and PORT name the served port, take(read, n) reads n bytes unless the end comes.
    std::string Python(const std::string& code) {
        const std::string prelude = "import serial, socket, struct\nHOST, PORT = '" + std::string(kServed) +
                                    "', 2538\n"
                                    "def take(read, n):\n"
                                    "    got = b''\n"
                                    "    while len(got) < n and (c := read(n - len(got))): got += c\n"
                                    "    return got\n";
        return Run({"/usr/bin/python3", "-c", prelude + code});
    }
    std::string Run(const std::vector<std::string>& argv) {
        const fs::path out = m_dir / ("run" + std::to_string(++m_runs) + ".out");
        const int code = ChildProcess(argv, out, out).Wait(30s);
        return ReadFile(out) + (code == 0 ? "" : "exit " + std::to_string(code));
    }

private:
    TempDir m_dir;
    ScopedDeviceDir m_devices;
    Plcs m_plcs;
    plcsim::PlcSimulator* m_plc = nullptr;
    std::unique_ptr<ChildProcess> m_daemon;
    bool m_up = false;
    int m_runs = 0;
};

class NetworkPortTest : public ::testing::Test {
protected:
    static void TearDownTestSuite() { s_port.reset(); }
    ServedPort& Port() {
        if (!s_port) s_port = std::make_unique<ServedPort>();
        EXPECT_TRUE(s_port->Up()) << s_port->Log();
        return *s_port;
    }
    // The PLC's serial-parameter commands as (baud code, data bits, parity, stop bits).
    std::vector<std::vector<int>> LineCommands() {
        std::vector<std::vector<int>> commands;
        for (const auto& r : Port().Plc().RequestsOf(RequestKind::SerialParameters)) {
            const ByteArray& p = r.payload;
            if (p.GetSize() >= 7) commands.push_back({p[3], p[4], p[5], p[6]});
        }
        return commands;
    }
    static inline std::unique_ptr<ServedPort> s_port;
};

TEST_F(NetworkPortTest, PyserialExchangesEveryByteAndCarriesLineSettingsAndModemLines) {
    ServedPort& port = Port();
    port.Plc().ClearRequests();
    const std::string out = port.Python(
        "s = serial.serial_for_url('rfc2217://%s:%d' % (HOST, PORT), 9600, bytesize=7, parity='E', "
        "timeout=5)\n"
        "def echo(data): s.write(data); return take(s.read, len(data)) == data\n"
        "print(echo(bytes(range(256)) * 2))\n"
        "s.baudrate = 19200; s.bytesize = 8; s.parity = 'N'\n"
        "s.dtr = False; s.rts = False; s.dtr = True; s.rts = True\n"
        "print(s.cts, s.dsr, s.cd)\n"
        "s.reset_input_buffer(); s.reset_output_buffer()\n"
        "s.close(); s.open(); print(echo(b'again\\xff')); s.close()\n");
    EXPECT_EQ(out, "True\nTrue True True\nTrue\n");
    for (const char* said : {"COM5 at tcp 127.0.0.125:2538", "COM5 connected, client 127.0.0."})
        EXPECT_NE(port.Log().find(said), std::string::npos) << said;
    // 9600 7E1 at the open, then 19200 8N1, each as the channel got idle.
    const std::vector<int> open7E1 = {0x05, 0x00, 0x02, 0x00}, changed8N1 = {0x06, 0x01, 0x00, 0x00};
    EXPECT_TRUE(WaitFor([&] { return !LineCommands().empty() && LineCommands().back() == changed8N1; }));
    const auto commands = LineCommands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), open7E1), commands.end());
}

// A plain client exchanges data; a second one is told the port is in use, a stranger is reset. One write
// floods line speeds and absurd values: each is answered with the value in use, and the PLC gets at most
// one command per idle moment, with the last valid values. A suspended client gets its echo at its resume.
TEST_F(NetworkPortTest, PlainClientsOneAtATimeStrangersRefusedFloodsAnsweredAndCoalesced) {
    ServedPort& port = Port();
    port.Plc().ClearRequests();
    const std::string out = port.Python(
        "def conn(src='127.0.0.1'):\n"
        "    return socket.create_connection((HOST, PORT), timeout=5, source_address=(src, 0))\n"
        "a = conn(); a.sendall(b'plain\\xfe'); print(take(a.recv, 6))\n"
        "b = conn(); print(take(b.recv, 200))\n"
        "try:\n"
        "    print(conn('127.0.0.3').recv(10))\n"
        "except ConnectionResetError: print('refused')\n"
        "a.sendall(b'still'); print(take(a.recv, 5)); a.close()\n"
        "def sb(code, value): return bytes([255, 250, 44, code]) + value + bytes([255, 240])\n"
        "flood = b''.join(sb(1, struct.pack('>I', r)) for r in [1200, 2400, 38400, 57600] * 20)\n"
        "flood += sb(1, struct.pack('>I', 4000000000)) + sb(2, b'\\x09') + sb(3, b'\\x09') + sb(4, "
        "b'\\x09')\n"
        "c = conn(); c.sendall(bytes([255, 251, 44]) + flood)\n"
        "print(take(c.recv, 16 + 10 * 81 + 7 * 3)[-31:])\n"
        "import select; c.sendall(sb(8, b'') + b'held'); print(select.select([c], [], [], 0.5)[0])\n"
        "c.sendall(sb(9, b'')); print(take(c.recv, 4))\n");
    EXPECT_EQ(
        out,
        "b'plain\\xfe'\nb'\\r\\nCOM5 is in use by another client\\r\\n'\nrefused\nb'still'\n"
        "b'\\xff\\xfa,e\\x00\\x00\\xe1\\x00\\xff\\xf0\\xff\\xfa,f\\x08\\xff\\xf0\\xff\\xfa,g\\x01\\xff\\xf0"
        "\\xff\\xfa,h\\x01\\xff\\xf0'\n[]\nb'held'\n");
    const std::vector<int> last = {0x08, 0x01, 0x00, 0x00};
    EXPECT_TRUE(WaitFor([&] { return !LineCommands().empty() && LineCommands().back() == last; }));
    EXPECT_LE(LineCommands().size(), 2u);
}

// gensio resolves with AI_ADDRCONFIG: it needs an IPv4 address besides 127.0.0.1, given in a namespace of its
// own.
TEST_F(NetworkPortTest, GensioExchangesEveryByte) {
    if (!InNetworkNamespace()) return RunInNetworkNamespace();
    for (const char* step : {"ip link set lo up", "ip addr add 127.0.0.125/32 dev lo"})
        ASSERT_EQ(ChildProcess({"/bin/sh", "-c", step}, "/dev/null", "/dev/null").Wait(), 0) << step;
    ServedPort& port = Port();
    std::string every;
    for (int b = 0; b < 256; ++b) every += static_cast<char>(b);
    WriteFile(port.Work() / "in", every);
    const std::string in = (port.Work() / "in").string(), got = (port.Work() / "got").string();
    // Its input stays open until the echo is in, at most 10 s.
    const std::string out = port.Run(
        {"/bin/sh", "-c",
         "(cat " + in + "; for i in $(seq 100); do [ $(stat -c %s " + got +
             ") -ge 256 ] && break; sleep 0.1; done) | gensiot 'telnet(rfc2217),tcp,127.0.0.125,2538' > " +
             got});
    EXPECT_EQ(out, "");
    EXPECT_EQ(ReadFile(got), every);
}

}  // namespace
}  // namespace varnock::test
