#pragma once
// The COM port of a USB-to-UART converter, found by its device name each time
// the link opens. Short fixed time-outs from the settings file; the line
// settings are left as they are. A lost port is reopened after a pause.
#include <cstdint>
#include <filesystem>
#include <string>

#include "links/RealPort.h"
#include "links/UsbComDiscovery.h"
#include "platform/SerialLine.h"

namespace varnock {

// What the USB-to-UART link reads at every open.
struct UsbComSettings {
    std::string portName = "COM1";  // USBCOMPortName
    int monitorTimeMs = 50;         // PLCDataMonitorTime_USB
};

class UsbComSettingsSource {
public:
    virtual ~UsbComSettingsSource() = default;
    // false when the settings file is missing.
    virtual bool Read(UsbComSettings& settings) = 0;
};

// "Varnock.ini" in a directory (empty: the executable's settings directory).
class IniUsbComSettings : public UsbComSettingsSource {
public:
    explicit IniUsbComSettings(std::filesystem::path directory = {});
    bool Read(UsbComSettings& settings) override;

private:
    std::filesystem::path m_directory;
    std::filesystem::path m_file;
};

class UsbComRealPort : public RealPort {
public:
    static constexpr int kReadBufferSize = 4096;
    static constexpr uint32_t kReadSlackMs = 10;
    static constexpr uint32_t kReconnectPauseMs = 4000;
    static constexpr int kDefaultMonitorTimeMs = 50;
    static constexpr uint32_t kZeroReadTimeoutMs = 1000;
    static constexpr uint32_t kWriteTimeoutPerByteMs = 1000;

    // Settings from `settings`, or else from Varnock.ini in
    // `settingsDirectory` (empty: the executable's); discovery looks at
    // `deviceTreeRoot`.
    explicit UsbComRealPort(std::filesystem::path settingsDirectory = {},
                            std::filesystem::path deviceTreeRoot = kSystemDeviceTree,
                            UsbComSettingsSource* settings = nullptr);
    ~UsbComRealPort() override;

    OpenResult Open(const ChannelConfig& config) override;
    int ResetLine() override { return 1; }
    int Configure(const ChannelConfig&) override { return 1; }
    int Close() override;
    int Purge(uint8_t which) override;
    int Read(ByteArray& buffer, int count, uint32_t& received, uint32_t timeoutMs) override;
    int Write(const ByteArray& buffer, int count, uint32_t& sent, uint32_t timeoutMs) override;
    // Close, pause, Open again; the result of Open.
    virtual OpenResult Reconnect();
    virtual int IsHandleOpen() const { return m_hDevice != INVALID_HANDLE_VALUE ? 1 : 0; }

    // The device path of the last port opened.
    const std::filesystem::path& PortPath() const { return m_line.Path(); }

private:
    IniUsbComSettings m_iniSettings;
    UsbComSettingsSource& m_settings;
    std::filesystem::path m_deviceTreeRoot;
    platform::SerialLine m_line;
    int m_bTimeoutsSet = 0;
    // The time-outs of the first open; the line does not keep them across a reopen.
    platform::SerialTimeouts m_timeouts;
};

}  // namespace varnock
