#pragma once
// The link description of one channel; a second instance in each channel
// holds the host-side serial parameters last sent to the PLC.
#include <cstdint>
#include <string>

namespace varnock {

struct ChannelConfig {
    std::string m_strLinkPort;     // real COM port name, or "USB" / "Ethernet"
    int m_nLinkType = 0;           // 0 serial, 1 Ethernet, 2 USB
    std::string m_strIPAddress;    // only for Ethernet
    std::string m_strVirtualPort;  // virtual COM port name
    int m_bNoConnectCommand = 0;   // no connect/disconnect command when non-zero
    int m_nBaudRate = 9600;
    uint8_t m_byDataBits = 8;
    uint8_t m_byParity = 2;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t m_byStopBits = 0;  // 0 one, 1 one and a half, 2 two
};

}  // namespace varnock
