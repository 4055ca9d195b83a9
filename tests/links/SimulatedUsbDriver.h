#pragma once
// The PLC's USB driver: indexed devices with serials, busy flags, input, unplugging (status < 0); a log.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "links/RealPortFactory.h"
#include "links/UsbDriver.h"
#include "tests/support/TestSupport.h"

namespace varnock::test {

class SimulatedUsbDriver : public UsbDriver {
public:
    struct Device {
        std::string serial;  // empty: reports no serial number
        int16_t count = 1;
        bool busy = false, held = false, plugged = true;
        std::vector<uint8_t> input;    // sent by the PLC, unread
        std::vector<uint8_t> reply;    // sent by the PLC once the link reads
        std::vector<uint8_t> written;  // sent by the link
    };

    Device& Plug(int index, const std::string& serial) {
        if (At(index)) Unplug(index);
        m_devices[index] = std::make_shared<Device>();
        m_devices[index]->serial = serial;
        return *m_devices[index];
    }
    void Unplug(int index) { m_devices.at(index)->plugged = false, m_devices.erase(index); }
    Device* At(int index) { return m_devices.count(index) ? m_devices[index].get() : nullptr; }
    int OpenHandles() const { return static_cast<int>(m_handles.size()); }

    std::vector<std::string> calls;
    std::function<void()> onRead;  // runs inside each read

    Handle Open(const std::string& name, UsbOpenError& error) override {
        calls.push_back("open " + name);
        const int index = std::atoi(name.c_str() + name.find("HXUSB-") + 6);
        Device* device = At(index);
        error = !device ? UsbOpenError::NotThere
                        : (device->busy || device->held ? UsbOpenError::AccessDenied : UsbOpenError::None);
        if (error != UsbOpenError::None) return kInvalidHandle;
        device->held = true;
        m_handles[m_next] = m_devices[index];
        return m_next++;
    }
    uint32_t Control(Handle handle, uint32_t code, const void* in, uint32_t, void* out,
                     uint32_t outSize) override {
        static const std::map<uint32_t, std::string> names{
            {IOCTL_HXUSB_GET_STATUS, "GET_STATUS"},   {IOCTL_HXUSB_SET_TIMEOUT, "SET_TIMEOUT"},
            {IOCTL_HXUSB_PURGE_INPUT, "PURGE_INPUT"}, {IOCTL_HXUSB_PURGE_OUTPUT, "PURGE_OUTPUT"},
            {IOCTL_HXUSB_GET_SERIAL, "GET_SERIAL"},   {IOCTL_HXUSB_GET_COUNT, "GET_COUNT"}};
        calls.push_back(names.at(code));
        Device* device = Live(handle);
        int32_t status = device ? 0 : -1;
        if (code == IOCTL_HXUSB_GET_STATUS) return std::memcpy(out, &status, 4), 4;
        if (!device) return 0;
        if (code == IOCTL_HXUSB_SET_TIMEOUT)
            calls.back() += " " + std::to_string(*static_cast<const uint32_t*>(in));
        if (code == IOCTL_HXUSB_PURGE_INPUT) device->input.clear();
        if (code == IOCTL_HXUSB_GET_COUNT) return std::memcpy(out, &device->count, 2), 2;
        if (code != IOCTL_HXUSB_GET_SERIAL || device->serial.empty()) return 0;
        uint32_t n = std::min<uint32_t>(outSize, static_cast<uint32_t>(device->serial.size() + 1));
        return std::memcpy(out, device->serial.c_str(), n), n;
    }
    uint32_t Read(Handle handle, uint8_t* buffer, uint32_t count) override {
        calls.push_back("read " + std::to_string(count));
        if (onRead) onRead();
        Device* device = Live(handle);
        if (!device) return 0;
        device->input.insert(device->input.end(), device->reply.begin(), device->reply.end());
        device->reply.clear();
        const auto n = static_cast<long>(std::min(size_t{count}, device->input.size()));
        std::copy_n(device->input.begin(), n, buffer);
        device->input.erase(device->input.begin(), device->input.begin() + n);
        return static_cast<uint32_t>(n);
    }
    uint32_t Write(Handle handle, const uint8_t* buffer, uint32_t count) override {
        calls.push_back("write " + std::to_string(count));
        Device* device = Live(handle);
        if (device) device->written.insert(device->written.end(), buffer, buffer + count);
        return device ? count : 0;
    }
    void Close(Handle handle) override {
        calls.push_back("close");
        if (m_handles.count(handle)) m_handles[handle]->held = false;
        m_handles.erase(handle);
    }

private:
    Device* Live(Handle handle) {
        auto it = m_handles.find(handle);
        return it != m_handles.end() && it->second->plugged ? it->second.get() : nullptr;
    }

    std::map<int, std::shared_ptr<Device>> m_devices;
    std::map<Handle, std::shared_ptr<Device>> m_handles;
    Handle m_next = 100;
};

// Links made with `driver`, beside an empty settings directory.
struct ScopedUsbEnvironment {
    explicit ScopedUsbEnvironment(SimulatedUsbDriver& driver) : env{&driver, dir.path(), dir.path()} {
        SetLinkEnvironment(&env);
    }
    ~ScopedUsbEnvironment() { SetLinkEnvironment(nullptr); }
    TempDir dir;
    LinkEnvironment env;
};

}  // namespace varnock::test
