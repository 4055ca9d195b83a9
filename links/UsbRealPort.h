#pragma once
// The PLC's native USB device, "\\.\HXUSB-n". Remembers the serial number of
// the device it first opened and, when that device is lost, searches every
// index for it inside the next read or write.
#include <cstdint>
#include <string>

#include "links/RealPort.h"
#include "links/UsbDriver.h"

namespace varnock {

class UsbRealPort : public RealPort {
public:
    explicit UsbRealPort(UsbDriver& driver = SystemUsbDriver());
    ~UsbRealPort() override;

    OpenResult Open(const ChannelConfig& config) override;
    int ResetLine() override { return 1; }
    int Configure(const ChannelConfig&) override { return 1; }
    int Close() override;
    int Purge(uint8_t which) override;
    int Read(ByteArray& buffer, int count, uint32_t& received, uint32_t timeoutMs) override;
    int Write(const ByteArray& buffer, int count, uint32_t& sent, uint32_t timeoutMs) override;
    // Finds the device with the remembered serial number and reopens it.
    virtual OpenResult Reconnect();

    const char* SerialNumber() const { return m_szSerialNumber; }

    static constexpr int kOpenIndices = 3;
    static constexpr int kSearchIndices = 128;
    static constexpr uint32_t kReconnectPauseMs = 500;

private:
    DeviceHandle OpenIndex(int index, bool& denied);
    // The first node looked for, as the user would find it.
    static std::string NodeName(int index);
    // Control call with the 4-byte input every code takes.
    uint32_t Control(DeviceHandle handle, uint32_t code, uint32_t input, void* out, uint32_t outSize);
    void PurgeInputThenOutput();
    // First step of Read and Write: a lost or closed device is searched again.
    int CheckDevice();

    UsbDriver& m_driver;
    char m_szSerialNumber[256] = {};
    int m_bSerialKnown = 0;
};

}  // namespace varnock
