#pragma once
// The bridge end to end: settings, resources, device directory, simulated PLCs, the host's port.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/BridgeChannel.h"
#include "bridge/VirtualPortManager.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "settings/SettingsManager.h"
#include "tests/support/HostPort.h"
#include "tests/support/SimulatedPlc.h"
#include "tests/support/TestSupport.h"
#include "tools/plcsim/PlcSimulator.h"

namespace varnock::test {

using plcsim::Fault;
using plcsim::PlcSimulator;
using plcsim::RequestKind;

inline void PumpFor(std::chrono::milliseconds d) {
    auto until = std::chrono::steady_clock::now() + d;
    platform::MessageLoop::Main().PumpUntil([&] { return std::chrono::steady_clock::now() >= until; }, d);
}

inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return platform::MessageLoop::Main().PumpUntil(done, timeout);
}

class BridgeTest : public ::testing::Test {
protected:
    static constexpr const char* kCustom = "BaudRate=9600\nPLCDataBytesToReadInMonitorTime=4096\n";

    void SetUp() override {
        platform::MessageLoop::Main().BindToCurrentThread();
        std::filesystem::copy_file(std::filesystem::path(VARNOCK_TEST_RESOURCE_DIR) / "libvarnock_res_en.so",
                                   m_dir / "libvarnock_res_en.so");
    }
    // Also back to no channels, no PLCs and the host's end closed, for the next case of a table.
    void TearDown() override {
        m_manager.reset();
        m_sims.clear();
        m_host.Close();
        platform::MessageLoop::Main().Pump();
    }

    // Writes the settings files with these rows ("COM5,Ethernet,127.0.0.1,,No").
    void WriteSettings(const std::vector<std::string>& rows, const std::string& custom = kCustom) {
        std::string matrix = "items=" + std::to_string(rows.size()) + "\n";
        for (size_t i = 0; i < rows.size(); ++i) matrix += std::to_string(i + 1) + "=" + rows[i] + "\n";
        WriteFile(m_dir / kVarnockIniName,
                  VarnockIniWith(custom) +
                      "[CommunicationSettings]\nBaudRate=9600\nByteSize=8\nParity=2\nStopBits=0\n");
        WriteFile(m_dir / kVarnockSettingIniName,
                  "[Application]\nPortAssignMode=Manual\n[VirtualCOMAllocationMatrix]\n" + matrix);
    }

    void CreateChannels() {
        m_settings = std::make_unique<SettingsManager>(m_dir.path());
        ASSERT_EQ(m_settings->Load(), 1);
        m_manager = std::make_unique<VirtualPortManager>();
        m_manager->SetSettings(m_settings.get());
        for (int i = 1; i <= m_settings->GetItemCount(); ++i) m_manager->CreateChannel(i);
    }

    PlcSimulator& Plc(const std::string& link) { return StartPlc(m_sims, link, m_devices.path()); }

    static std::string Row(const std::string& port, const std::string& link) {
        return port + (link.rfind("COM", 0) == 0 ? "," + link + ",,,No" : ",Ethernet," + link + ",,No");
    }
    // One channel, COM5, connected to a new PLC at `link`; the host's end open unless told.
    PlcSimulator& ConnectOne(const std::string& link, const std::string& custom = kCustom,
                             bool openHost = true) {
        PlcSimulator& plc = Plc(link);
        WriteSettings({Row("COM5", link)}, custom);
        CreateChannels();
        EXPECT_EQ(m_manager->ConnectAll(), 1);
        if (openHost) OpenHost(m_host, 0);
        return plc;
    }
    // Channels COM5 and COM6 on new PLCs at these links; the host's ends open, the second in `second`.
    void ConnectTwo(const std::string& link0, const std::string& link1, HostPort& second,
                    const std::string& custom = kCustom) {
        Plc(link0);
        Plc(link1);
        WriteSettings({Row("COM5", link0), Row("COM6", link1)}, custom);
        CreateChannels();
        ASSERT_EQ(m_manager->ConnectAll(), 1);
        OpenHost(m_host, 0);
        OpenHost(second, 1);
    }

    BridgeChannel& Channel(int i) { return *m_manager->Channel(i); }

    void OpenHost(HostPort& host, int i) {
        ASSERT_TRUE(host.Open(m_devices.path() / Channel(i).Config()->m_strVirtualPort, PumpUntil));
        // The port's open state reaches the channel through its event thread.
        ASSERT_TRUE(PumpUntil([&] { return Channel(i).m_bVirtualPortClosed.load() == 0; }));
    }

    static ByteArray Bytes(const std::string& text) {
        return ByteArray(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
    }
    // Pass-through payload: its six-byte prefix, then the host's bytes.
    static ByteArray PassPayload(const ByteArray& data, uint8_t kind = 1) {
        ByteArray out{0, 0, kind, 0, 0, 0};
        out.Append(data);
        return out;
    }
    // A request frame as the bridge must put it on the wire.
    static ByteArray RequestWire(uint8_t sequence, uint8_t hb1, uint8_t hb2, const ByteArray& payload,
                                 bool serial) {
        int length = payload.GetSize() + 18;
        ByteArray frame{0x01, 0x00, uint8_t(length >> 8), uint8_t(length), 0x00, 0x01};
        frame.bytes().resize(14);
        for (uint8_t b : {sequence, hb1, hb2, uint8_t(0x01)}) frame.Add(b);
        frame.Append(payload);
        if (serial) DleFramingLayer().Encode(frame);
        return frame;
    }
    std::vector<int> Messages() const { return m_messages.Numbers(); }

    // The echo in `frames` frames of `dataPerFrame` bytes (no DLE), `pause` apart.
    static void Trickle(PlcSimulator& plc, int frames, int dataPerFrame, bool serial,
                        std::chrono::milliseconds pause) {
        plc.SetReplyFrames(frames);
        std::vector<int> cuts;
        for (int i = 1; i < frames; ++i) cuts.push_back(i * (18 + 6 + dataPerFrame + (serial ? 6 : 0)));
        plc.SetWriteCuts(cuts, pause);
    }

    // Protocol time runs `factor` times faster; channels made afterwards are torn down before it ends.
    void UseScaledClock(uint32_t factor) {
        m_clock = std::make_unique<platform::ScaledClock>(factor, 1000);
        m_clockScope.emplace(*m_clock);
    }

    std::unique_ptr<platform::ScaledClock> m_clock;
    std::optional<platform::ScopedClock> m_clockScope;
    TempDir m_dir;
    ScopedDeviceDir m_devices;
    platform::RecordingMessageSink m_messages;
    platform::ScopedMessageSink m_sinkScope{m_messages};
    Plcs m_sims;
    HostPort m_host;
    std::unique_ptr<SettingsManager> m_settings;
    std::unique_ptr<VirtualPortManager> m_manager;
};

}  // namespace varnock::test
