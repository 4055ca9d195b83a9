#include "tests/host/HostFixture.h"

#include <csignal>

namespace varnock::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

void HostEnvironment::SetUp() {
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
              "1=COM5,Ethernet," +
                  m_address + ",,No\n");
    auto transport = plcsim::ListenTcp(m_address);
    ASSERT_TRUE(transport);
    m_plc = std::make_unique<plcsim::PlcSimulator>(std::move(transport));
    m_plc->Start();
    m_daemon = std::make_unique<ChildProcess>(std::vector<std::string>{(m_dir / "varnockd").string()},
                                              m_dir / "daemon.out", m_dir / "daemon.err");
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(m_dir / "daemon.out").find("COM5 connected") != std::string::npos; }, 10s))
        << ReadFile(m_dir / "daemon.out") << ReadFile(m_dir / "daemon.err");
}

void HostEnvironment::TearDown() {
    if (m_daemon) {
        m_daemon->Signal(SIGTERM);
        EXPECT_EQ(m_daemon->Wait(), 0);
        EXPECT_EQ(ReadFile(m_dir / "daemon.err"), "");
    }
    if (m_plc) m_plc->Stop();
}

ProgramResult HostEnvironment::Run(std::vector<std::string> argv, bool launcher,
                                   const std::vector<std::string>& env, std::chrono::milliseconds limit) {
    if (launcher) argv.insert(argv.begin(), Launcher());
    const fs::path out = m_dir / ("run" + std::to_string(++m_runs) + ".out");
    ProgramResult result;
    {
        ChildProcess child(argv, out, out, env);
        result.exitCode = child.Wait(limit);
    }
    result.out = ReadFile(out);
    return result;
}

}  // namespace varnock::test
