#include "links/UsbRealPort.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace varnock {

UsbRealPort::UsbRealPort(UsbDriver& driver) : m_driver(driver) {}

// The device is opened for exclusive use; a link dropped without Close must
// not keep it from every later open.
UsbRealPort::~UsbRealPort() {
    Close();
}

DeviceHandle UsbRealPort::OpenIndex(int index, bool& denied) {
    UsbOpenError error = UsbOpenError::NotThere;
    DeviceHandle handle = m_driver.Open("\\\\.\\" + NodeName(index), error);
    denied = handle == INVALID_HANDLE_VALUE && error == UsbOpenError::AccessDenied;
    return handle;
}

uint32_t UsbRealPort::Control(DeviceHandle handle, uint32_t code, uint32_t input, void* out,
                              uint32_t outSize) {
    uint8_t in[4];
    std::memcpy(in, &input, 4);
    return m_driver.Control(handle, code, in, 4, out, outSize);
}

void UsbRealPort::PurgeInputThenOutput() {
    uint8_t unused[4] = {};
    Control(m_hDevice, IOCTL_HXUSB_PURGE_INPUT, 0, unused, 4);
    Control(m_hDevice, IOCTL_HXUSB_PURGE_OUTPUT, 0, unused, 4);
}

std::string UsbRealPort::NodeName(int index) {
    return "HXUSB-" + std::to_string(index);
}

OpenResult UsbRealPort::Open(const ChannelConfig&) {
    Close();
    OpenResult result = OPEN_OK;
    bool anyDenied = false;
    bool opened = false;
    for (int i = 0; i < kOpenIndices; ++i) {
        bool denied = false;
        DeviceHandle handle = OpenIndex(i, denied);
        if (handle != INVALID_HANDLE_VALUE) {
            m_hDevice = handle;
            int16_t count = 0;
            Control(m_hDevice, IOCTL_HXUSB_GET_COUNT, 0, &count, sizeof count);
            result = count > 1 ? OPEN_MULTIPLE_DEVICES : OPEN_OK;
            opened = true;
            break;
        }
        anyDenied = anyDenied || denied;
        result = denied ? OPEN_ACCESS_DENIED : OPEN_FAILED;
    }
    if (!opened) {
        // The driver tells only found or refused: the first node stands for all.
        result = anyDenied ? OPEN_ACCESS_DENIED : OPEN_FAILED;
        const platform::Error error(anyDenied ? platform::Error::AccessDenied : platform::Error::NotFound);
        SetFailure({error, LinkFailure::Target::Device, NodeName(0)});
    }

    if (result == OPEN_OK && !m_bSerialKnown) {
        std::memset(m_szSerialNumber, 0, sizeof m_szSerialNumber);
        uint32_t n = Control(m_hDevice, IOCTL_HXUSB_GET_SERIAL, 0, m_szSerialNumber, sizeof m_szSerialNumber);
        m_szSerialNumber[sizeof m_szSerialNumber - 1] = '\0';
        if (n == 0) {
            result = OPEN_FAILED;  // the handle stays open until Close
        } else {
            m_bSerialKnown = 1;
            PurgeInputThenOutput();
        }
    }
    return result;
}

OpenResult UsbRealPort::Reconnect() {
    OpenResult result = OPEN_OK;
    if (m_hDevice != INVALID_HANDLE_VALUE) {
        m_driver.Close(m_hDevice);
        m_hDevice = INVALID_HANDLE_VALUE;
        Pause(kReconnectPauseMs);
    }
    bool anyDenied = false;
    bool matched = false;
    for (int i = 0; i < kSearchIndices; ++i) {
        bool denied = false;
        DeviceHandle handle = OpenIndex(i, denied);
        if (handle == INVALID_HANDLE_VALUE) {
            anyDenied = anyDenied || denied;
            result = denied ? OPEN_ACCESS_DENIED : OPEN_FAILED;
            continue;
        }
        char serial[256] = {};
        uint32_t n = Control(handle, IOCTL_HXUSB_GET_SERIAL, 0, serial, sizeof serial);
        serial[sizeof serial - 1] = '\0';
        if (n > 0 && std::strcmp(serial, m_szSerialNumber) == 0) {
            m_hDevice = handle;
            result = OPEN_OK;
            matched = true;
            break;
        }
        m_driver.Close(handle);  // another PLC: not ours to take
        result = OPEN_FAILED;
    }
    if (!matched) result = anyDenied ? OPEN_ACCESS_DENIED : OPEN_FAILED;
    if (result == OPEN_OK) PurgeInputThenOutput();
    return result;
}

int UsbRealPort::CheckDevice() {
    if (m_hDevice == INVALID_HANDLE_VALUE) return static_cast<int>(Reconnect());
    int32_t status = 0;
    Control(m_hDevice, IOCTL_HXUSB_GET_STATUS, 0, &status, sizeof status);
    return status < 0 ? static_cast<int>(Reconnect()) : 1;
}

int UsbRealPort::Read(ByteArray& buffer, int count, uint32_t& received, uint32_t timeoutMs) {
    received = 0;
    int check = CheckDevice();
    if (check != 1) return check;

    std::vector<uint8_t> transfer;
    try {
        transfer.resize(static_cast<size_t>(std::max(count, 0)));
    } catch (const std::bad_alloc&) {
        return 1;
    }
    uint8_t unused[4] = {};
    Control(m_hDevice, IOCTL_HXUSB_SET_TIMEOUT, timeoutMs, unused, 4);
    uint32_t n = m_driver.Read(m_hDevice, transfer.data(), static_cast<uint32_t>(transfer.size()));
    n = std::min<uint32_t>(n, static_cast<uint32_t>(transfer.size()));
    buffer.Append(transfer.data(), static_cast<int>(n));
    received = n;
    return 1;
}

int UsbRealPort::Write(const ByteArray& buffer, int count, uint32_t& sent, uint32_t timeoutMs) {
    sent = 0;
    int check = CheckDevice();
    if (check != 1) return check;

    uint8_t unused[4] = {};
    Control(m_hDevice, IOCTL_HXUSB_PURGE_INPUT, 0, unused, 4);
    // Never more than the buffer holds.
    const int n = std::clamp(count, 0, buffer.GetSize());
    std::vector<uint8_t> transfer(buffer.data(), buffer.data() + n);
    Control(m_hDevice, IOCTL_HXUSB_SET_TIMEOUT, timeoutMs, unused, 4);
    uint32_t written = m_driver.Write(m_hDevice, transfer.data(), static_cast<uint32_t>(n));
    sent = std::min<uint32_t>(written, static_cast<uint32_t>(n));
    return 1;
}

int UsbRealPort::Purge(uint8_t which) {
    uint8_t unused[4] = {};
    switch (which) {
        case PURGE_BOTH:
            Control(m_hDevice, IOCTL_HXUSB_PURGE_OUTPUT, 0, unused, 4);
            Control(m_hDevice, IOCTL_HXUSB_PURGE_INPUT, 0, unused, 4);
            return 1;
        case PURGE_OUTPUT:
            Control(m_hDevice, IOCTL_HXUSB_PURGE_OUTPUT, 0, unused, 4);
            return 1;
        case PURGE_INPUT:
            Control(m_hDevice, IOCTL_HXUSB_PURGE_INPUT, 0, unused, 4);
            return 1;
        default:
            return 0;
    }
}

int UsbRealPort::Close() {
    if (m_hDevice != INVALID_HANDLE_VALUE) {
        m_driver.Close(m_hDevice);
        m_hDevice = INVALID_HANDLE_VALUE;
    }
    return 1;
}

}  // namespace varnock
