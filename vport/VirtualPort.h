#pragma once
// A channel's virtual COM port: the port the host software opens in place of
// the cable to the PLC.
#include <cstdint>
#include <optional>
#include <string>

#include "common/ByteArray.h"
#include "vport/VirtualPortOwner.h"

namespace varnock {

class VirtualPort {
public:
    virtual bool TryBind(std::string name) = 0;
    virtual bool Disconnect() = 0;
    // True when the port of that name is in service for the host software.
    virtual bool Open(std::string name) = 0;
    virtual void SetOwner(VirtualPortOwner& owner) = 0;
    // Returns the number of bytes handed to the driver; -1 when the driver
    // failed. No driver failure goes further than this interface.
    virtual int Write(const ByteArray& bytes) = 0;
    // What waits in the port for the host: room left for further writes
    // and the bytes the host has been handed so far (its progress).
    struct OutputQueue {
        int64_t room = INT64_MAX;
        uint64_t taken = 0;
    };
    virtual OutputQueue QueryOutput() { return {}; }
    // The address of the network client that has the port open ("10.0.0.5:51234");
    // empty for a pty port or while no client is connected.
    virtual std::string NetworkClient() { return {}; }
    // The host's line settings in DCB codes; none when the driver failed.
    virtual std::optional<int32_t> GetParity() = 0;
    virtual std::optional<int32_t> GetBaudRate() = 0;
    virtual std::optional<int32_t> GetByteSize() = 0;
    virtual std::optional<int32_t> GetStopBits() = 0;
    virtual ~VirtualPort() = default;
};

}  // namespace varnock
