#pragma once
// Simulated PLCs beside the code under test, and the settings that name them.
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Pty.h"
#include "tools/plcsim/PlcSimulator.h"

namespace varnock::test {

using Plcs = std::vector<std::unique_ptr<plcsim::PlcSimulator>>;

// Varnock.ini with the resource library and these custom settings.
inline std::string VarnockIniWith(const std::string& custom) {
    return "[Application]\nResourceDLLName=libvarnock_res_en.so\n[VirtualCOMSettings]\n"
           "RealPort=COM,USB,Ethernet\nMaxHostDriverNo=4\n[CustomSetting]\n" +
           custom;
}

inline plcsim::PlcSimulator& StartPlc(Plcs& plcs, std::unique_ptr<plcsim::PlcTransport> transport) {
    if (!transport) throw std::runtime_error("no line to the simulated PLC");
    plcs.push_back(std::make_unique<plcsim::PlcSimulator>(std::move(transport)));
    plcs.back()->Start();
    return *plcs.back();
}

// A serial PLC for "COMn": a pty pair for the cable, its slave linked in `devices`; else a TCP address.
inline plcsim::PlcSimulator& StartPlc(Plcs& plcs, const std::string& link,
                                      const std::filesystem::path& devices) {
    if (link.rfind("COM", 0) != 0) return StartPlc(plcs, plcsim::ListenTcp(link));
    std::unique_ptr<platform::Pty> pty;
    if (platform::Pty::Create(pty) == platform::Error::None) {
        std::filesystem::remove(devices / link);
        std::filesystem::create_symlink(pty->SlavePath(), devices / link);
    }
    return StartPlc(plcs, pty ? plcsim::OverPty(std::move(pty)) : nullptr);
}

}  // namespace varnock::test
