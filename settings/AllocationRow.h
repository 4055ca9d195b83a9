#pragma once
// One row of the port allocation matrix: a virtual port and the PLC link it
// is bridged to. Stored as "virtual,link,port-or-address,extra,flag".
#include <string>

#include "common/LinkTypes.h"

namespace varnock {

class AllocationRow {
public:
    AllocationRow() = default;
    AllocationRow(const AllocationRow&) = default;
    AllocationRow& operator=(const AllocationRow&) = default;
    virtual ~AllocationRow() = default;

    std::string m_strVirtualPort;  // e.g. COM10
    std::string m_strLinkPort;     // real COM port name, or "USB" / "Ethernet" as stored
    std::string m_strExtra;        // fourth field, kept as read
    std::string m_strRealPort;     // third field; "Ethernet" for an Ethernet row
    std::string m_strIPAddress;    // third field of an Ethernet row
    LinkType m_nLinkType = LinkType::Serial;
    int m_bNoConnectCommand = 0;  // 1: no connect/disconnect command
};

}  // namespace varnock
