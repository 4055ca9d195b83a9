#pragma once
// Programs nobody on this project wrote, against varnockd as a process with
// one Ethernet channel (COM5) to a simulated PLC. One daemon serves every case
// of a test program; [CommunicationSettings] say 8 data bits and no parity, so
// that what the host sets can be told from the configured fallback.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/plcsim/PlcSimulator.h"

namespace varnock::test {

struct ProgramResult {
    int exitCode = -1;
    std::string out;  // stdout and stderr
};

class HostEnvironment : public ::testing::Environment {
public:
    // `plcAddress`: a loopback address of this test program's own.
    explicit HostEnvironment(std::string plcAddress) : m_address(std::move(plcAddress)) {}
    void SetUp() override;
    void TearDown() override;

    static HostEnvironment& Get() { return *s_instance; }
    const std::filesystem::path& Devices() const { return m_devices->path(); }
    std::filesystem::path Port() const { return Devices() / "COM5"; }
    std::string Launcher() const {
        return (std::filesystem::path(VARNOCK_TEST_RESOURCE_DIR) / "varnock-host").string();
    }
    plcsim::PlcSimulator& Plc() { return *m_plc; }
    const TempDir& Work() const { return m_dir; }

    // Runs a program to its end, through varnock-host when `launcher`.
    ProgramResult Run(std::vector<std::string> argv, bool launcher, const std::vector<std::string>& env = {},
                      std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    static inline HostEnvironment* s_instance = nullptr;
    const std::string m_address;
    TempDir m_dir;
    std::unique_ptr<ScopedDeviceDir> m_devices;
    std::unique_ptr<plcsim::PlcSimulator> m_plc;
    std::unique_ptr<ChildProcess> m_daemon;
    int m_runs = 0;
};

}  // namespace varnock::test
