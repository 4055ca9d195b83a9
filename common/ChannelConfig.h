#pragma once
// The link description of one channel; a second instance in each channel
// holds the host-side serial parameters last sent to the PLC.
#include <cstdint>
#include <string>

#include "common/LinkTypes.h"

namespace varnock {

struct ChannelConfig {
    std::string m_strLinkPort;  // real COM port name, or "USB" / "Ethernet"
    LinkType m_nLinkType = LinkType::Serial;
    std::string m_strIPAddress;    // only for Ethernet
    std::string m_strVirtualPort;  // virtual COM port name
    int m_bNoConnectCommand = 0;   // no connect/disconnect command when non-zero
    int m_nBaudRate = 9600;
    uint8_t m_byDataBits = 8;
    Parity m_byParity = Parity::Even;
    StopBits m_byStopBits = StopBits::One;
};

}  // namespace varnock
