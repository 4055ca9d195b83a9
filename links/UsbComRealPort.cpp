#include "links/UsbComRealPort.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/Messages.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/PrivateProfile.h"
#include "platform/Text.h"

namespace varnock {
namespace fs = std::filesystem;
namespace {

// The device went away (unplugged): its descriptor is dead for good, and
// closing it lets the next call reopen the port after the pause.
bool Gone(platform::Error error) {
    return error.IsLost() || error == platform::Error::NotFound || error == platform::Error::NotOpen;
}

}  // namespace

IniUsbComSettings::IniUsbComSettings(fs::path directory)
    : m_directory(directory.empty() ? platform::SettingsDirectory() : std::move(directory)),
      m_file(m_directory / "Varnock.ini") {}

bool IniUsbComSettings::Read(UsbComSettings& settings) {
    // An empty directory: the executable's could not be found.
    if (m_directory.empty() || !platform::CanReadPrivateProfile(m_file)) return false;
    settings.portName =
        platform::GetPrivateProfileString("CommunicationSettings", "USBCOMPortName", "COM1", m_file);
    settings.monitorTimeMs = platform::AtoiSaturating(
        platform::GetPrivateProfileString("CustomSetting", "PLCDataMonitorTime_USB", "50", m_file));
    return true;
}

UsbComRealPort::UsbComRealPort(fs::path settingsDirectory, fs::path deviceTreeRoot,
                               UsbComSettingsSource* settings)
    : m_iniSettings(std::move(settingsDirectory)),
      m_settings(settings ? *settings : m_iniSettings),
      m_deviceTreeRoot(std::move(deviceTreeRoot)) {}

UsbComRealPort::~UsbComRealPort() {
    Close();
}

OpenResult UsbComRealPort::Open(const ChannelConfig&) {
    Close();

    UsbComSettings settings;
    if (!m_settings.Read(settings)) {
        Hooks().Notify(kMsgVarnockIniMissing, platform::kMbIconError);
        return OPEN_FAILED;
    }
    const std::string& name = settings.portName;

    std::vector<std::string> ports;
    FindUsbComPorts(name, ports, m_deviceTreeRoot);
    if (ports.size() > 1) return OPEN_MULTIPLE_DEVICES;
    const std::string portPath = ports.size() == 1 ? ports.front() : name;

    OpenResult result = OPEN_OK;
    const fs::path path = platform::ResolveDeviceName(portPath);
    platform::Error error = m_line.Open(path);
    SetFailure({error, LinkFailure::Target::Device, path.string()});
    if (error != platform::Error::None) {
        result = error == platform::Error::AccessDenied ? OPEN_ACCESS_DENIED : OPEN_FAILED;
    } else {
        m_hDevice = m_line.Fd();
    }

    if (result == OPEN_OK && !m_bTimeoutsSet) {
        m_bTimeoutsSet = 1;
        platform::SerialState state;
        result = m_line.GetState(state) == platform::Error::None ? OPEN_OK : OPEN_FAILED;
        m_line.GetTimeouts(m_timeouts);
        // A negative setting would turn into a wait of weeks.
        const int t = std::max(settings.monitorTimeMs, 0);
        m_timeouts.readIntervalTimeout = platform::MAXDWORD;
        m_timeouts.readTotalTimeoutMultiplier = 0;
        m_timeouts.readTotalTimeoutConstant = t == 0 ? kZeroReadTimeoutMs : static_cast<uint32_t>(t);
        m_timeouts.writeTotalTimeoutMultiplier = kWriteTimeoutPerByteMs;
        m_timeouts.writeTotalTimeoutConstant = static_cast<uint32_t>(t);
    }
    if (m_bTimeoutsSet && m_line.IsOpen()) m_line.SetTimeouts(m_timeouts);

    return result;
}

int UsbComRealPort::Close() {
    if (m_hDevice != INVALID_HANDLE_VALUE || m_line.IsOpen()) {
        m_line.Close();
        m_hDevice = INVALID_HANDLE_VALUE;
    }
    return 1;
}

OpenResult UsbComRealPort::Reconnect() {
    Close();
    Pause(kReconnectPauseMs);
    return Open(ChannelConfig{});
}

int UsbComRealPort::Purge(uint8_t which) {
    return which == PURGE_BOTH || which == PURGE_OUTPUT || which == PURGE_INPUT ? 1 : 0;
}

int UsbComRealPort::Read(ByteArray& buffer, int count, uint32_t& received, uint32_t timeoutMs) {
    received = 0;
    if (!IsHandleOpen()) {
        OpenResult result = Reconnect();
        if (result != OPEN_OK) return static_cast<int>(result);
    }

    uint8_t chunk[kReadBufferSize];
    const uint32_t start = platform::GetTickCount();
    uint32_t total = 0;
    bool timedOut = false;
    while (static_cast<int64_t>(total) < count && !timedOut) {
        // Larger requests are served in several reads rather than overrunning the buffer.
        const int missing =
            static_cast<int>(std::min<int64_t>(count - static_cast<int64_t>(total), kReadBufferSize));
        uint32_t n = 0;
        platform::Error error = m_line.Read(chunk, missing, n);
        n = std::min<uint32_t>(n, static_cast<uint32_t>(missing));
        buffer.Append(chunk, static_cast<int>(n));
        total += n;
        // A vanished device answers at once; waiting out the time-out would only spin.
        if (Gone(error)) {
            Close();
            break;
        }
        timedOut = platform::GetTickCount() - start + kReadSlackMs >= timeoutMs;
    }
    received = total;
    return 1;
}

int UsbComRealPort::Write(const ByteArray& buffer, int count, uint32_t& sent, uint32_t) {
    sent = 0;
    if (!IsHandleOpen()) {
        OpenResult result = Reconnect();
        if (result != OPEN_OK) return static_cast<int>(result);
    }
    const int n = std::clamp(count, 0, buffer.GetSize());
    std::vector<uint8_t> transfer(buffer.data(), buffer.data() + n);
    uint32_t moved = 0;
    if (Gone(m_line.Write(transfer.data(), n, moved))) Close();
    sent = std::min<uint32_t>(moved, static_cast<uint32_t>(n));
    return 1;
}

}  // namespace varnock
