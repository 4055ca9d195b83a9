#pragma once
// Makes the channels' virtual ports. One per process, made on first use.
#include <memory>

#include "common/LinkTypes.h"
#include "vport/DriverInterface.h"
#include "vport/VirtualPort.h"

namespace varnock {

class VirtualPortFactory {
public:
    static VirtualPortFactory& Instance();
    virtual ~VirtualPortFactory() = default;

    // Kind 1: a new driver port, even when the driver cannot start (it then
    // has no driver object and every Open fails). Any other kind: none.
    // byteSize and parity are "CommunicationSettings" ByteSize and Parity:
    // a pseudo-terminal cannot show them, so the port reports them.
    std::unique_ptr<VirtualPort> Create(int kind, int byteSize = 7,
                                        int parity = static_cast<int>(Parity::Even)) const;
    // As above; with a listen port in `options` the port is served over TCP
    // (RFC 2217) instead of as a pty.
    std::unique_ptr<VirtualPort> Create(int kind, const DriverOptions& options) const;

private:
    VirtualPortFactory() = default;
};

}  // namespace varnock
